// Receives every journal record of this process while it lives.
#pragma once

#include <mutex>
#include <vector>

#include "Platform/EventJournal.h"

class EventCapture : public JournalObserver {
public:
    EventCapture() { EventJournal::addObserver(this); }
    ~EventCapture() override { EventJournal::removeObserver(this); }

    void onRecord(const JournalRecord& record) override {
        std::lock_guard<std::mutex> guard(mutex_);
        records_.push_back(record);
    }
    std::vector<JournalRecord> records() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return records_;
    }
    std::vector<JournalRecord> ofKind(const std::string& kind) const {
        std::vector<JournalRecord> out;
        for (const JournalRecord& r : records())
            if (r.kind == kind) out.push_back(r);
        return out;
    }
    // The messages of the debug records, in order.
    std::vector<std::string> debugMessages() const {
        std::vector<std::string> out;
        for (const JournalRecord& r : ofKind("debug")) out.push_back(r.message);
        return out;
    }
    // How many debug messages hold text.
    size_t debugLinesWith(const std::string& text) const {
        size_t n = 0;
        for (const std::string& m : debugMessages()) n += m.find(text) != std::string::npos ? 1 : 0;
        return n;
    }
    void clear() {
        std::lock_guard<std::mutex> guard(mutex_);
        records_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<JournalRecord> records_;
};
