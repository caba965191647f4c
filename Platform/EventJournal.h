// The journal that stands for the product's event, debug and job-control services: one JSON
// line per record, appended to "vornica-events.jsonl" in the log directory, and handed to every
// registered observer (an embedding program or a test). See docs/events.md for the line format.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One streamed argument of an event, kept with its type.
struct JournalArg {
    enum class Kind { Text, Signed, Unsigned };
    Kind kind = Kind::Text;
    std::string text;
    int64_t signedValue = 0;
    uint64_t unsignedValue = 0;

    static JournalArg ofText(const char* value);
    static JournalArg ofSigned(int64_t value);
    static JournalArg ofUnsigned(uint64_t value);
    std::string toString() const;
    bool operator==(const JournalArg& other) const = default;
};

struct JournalRecord {
    std::string kind;        // "event", "debug" or "jobcontrol"
    int64_t timeMs = 0;      // milliseconds since 1970; filled in when 0
    long pid = 0;            // filled in when 0
    std::string program;     // filled in when empty
    int64_t jobId = 0;
    std::string severity;    // events: "major", "critical", "info"; debug lines: "debug"
    uint32_t messageId = 0;  // events only
    int level = 0;           // debug lines: the level they were written at
    std::string function;    // debug lines: the function name given to Debug/DebugJob
    std::string message;     // debug lines: the text; job control: the request
    std::vector<JournalArg> args;  // events: the streamed arguments; job control: the request's
};

class JournalObserver {
public:
    virtual ~JournalObserver() = default;
    virtual void onRecord(const JournalRecord& record) = 0;
};

class EventJournal {
public:
    // Completes the record, appends its line (one write) and notifies the observers.
    // Events are kept out of the file while the server is offline; observers still see them.
    static void record(JournalRecord record);

    static void addObserver(JournalObserver* observer);
    static void removeObserver(JournalObserver* observer);

    static std::string journalPath();
    // Closes the process's journal file; the next record opens it again.
    static void closeJournal();

    static void setServerOffline(bool offline);
    static bool isServerOffline();

    static std::string toJsonLine(const JournalRecord& record);
};
