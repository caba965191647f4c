// The directory-based reader and the serving of a page: the map says where the page's lines
// begin and end, and exactly those bytes are sent, one field per line.
#include "JobResults/RetrieveResults.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <memory>

#include "Indexing/idxport/CXErrors.h"
#include "Indexing/idxport/PathSep.h"
#include "JobResults/LineMap.h"
#include "JobResults/PagingResultsDir.h"
#include "JobResults/VornicaConstants.h"
#include "Platform/EvReturnData.h"

namespace {

// The bytes of a results file read forward from one offset, in large reads, so that a page of
// short lines costs one read. A line (with its line end) fits the buffer or is refused.
class LineWindow {
public:
    static constexpr size_t kCapacity = RetrieveResults::kLineBuffer + 1;
    static constexpr size_t kReadAhead = 32 * 1024;
    static constexpr long kTooLong = -2;

    explicit LineWindow(CXFile& file) : file_(file), buffer_(new char[kCapacity]) {}

    // At least need bytes available (fewer only at the end of the file); false on a read error.
    bool fill(size_t need) {
        if (end_ - begin_ >= need) return true;
        if (begin_ > 0) {
            memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
            end_ -= begin_;
            begin_ = 0;
        }
        while (end_ < need && !atEnd_) {
            const size_t ask = std::min(kCapacity - end_, std::max(need - end_, kReadAhead));
            const long got = file_.read(buffer_.get() + end_, ask);
            if (got < 0) return false;
            if (got == 0) atEnd_ = true;
            end_ += static_cast<size_t>(got);
        }
        return true;
    }
    // Where the first line available ends (its '\n' included): 0 when the file ends before a
    // line end (an unfinished line), kTooLong for a line longer than the buffer, -1 on a read
    // error.
    long findLineEnd() {
        size_t searched = 0;
        for (;;) {
            const char* from = buffer_.get() + begin_ + searched;
            const void* found = memchr(from, '\n', available() - searched);
            if (found != nullptr) return static_cast<const char*>(found) - (buffer_.get() + begin_) + 1;
            searched = available();
            if (atEnd_) return 0;
            if (searched >= kCapacity) return kTooLong;
            if (!fill(searched + 1)) return -1;
        }
    }
    size_t available() const { return end_ - begin_; }
    const char* data() const { return buffer_.get() + begin_; }
    void consume(size_t length) { begin_ += length; }

private:
    CXFile& file_;
    std::unique_ptr<char[]> buffer_;
    size_t begin_ = 0;
    size_t end_ = 0;
    bool atEnd_ = false;
};

// A line's text: its bytes without the line end.
size_t textLength(const char* line, size_t length) {
    if (length > 0 && line[length - 1] == '\n') --length;
    if (length > 0 && line[length - 1] == '\r') --length;
    return length;
}
}  // namespace

// One page reply: the header fields, the lines, the last line's number and the end frame.
class RetrieveResults::PageReply {
public:
    // numLines and lineNumber: as requested.
    PageReply(int64_t seqNo, const CYuSocket* socket, int sendTimeoutMs, int64_t numLines, int64_t lineNumber)
        : reply_(kReplyMessageType, seqNo, socket != nullptr ? *socket : CYuSocket(), true),
          numLines_(numLines),
          lineNumber_(lineNumber) {
        reply_.setSendTimeout(sendTimeoutMs);
    }
    void begin(int64_t total) {
        reply_.add(kTagTotalLines, &total, sizeof total);
        reply_.add(kTagNumLines, &numLines_, sizeof numLines_);
        reply_.send(kTagLineNumber, &lineNumber_, sizeof lineNumber_);
    }
    bool line(const char* text, size_t length) { return reply_.add(kTagLine, text, length) == 0; }
    void finish(int64_t lastLine, int64_t outcome) {
        reply_.add(kTagLastLine, &lastLine, sizeof lastLine);
        reply_.dumpBuffer(9);
        reply_.end(outcome);
    }
    // The whole reply for a request that is answered without lines.
    void whole(int64_t total, int64_t lastLine, int64_t outcome) {
        begin(total);
        finish(lastLine, outcome);
    }
    bool failed() const { return reply_.hasFailed(); }
    int error() const { return reply_.lastError(); }

private:
    EvReturnData reply_;
    int64_t numLines_;
    int64_t lineNumber_;
};

RetrieveResults::RetrieveResults(unsigned long talCell, int64_t jobId, ResultsFile kind, const char* clientName)
    : ResultsBase(talCell, jobId, false, clientName) {
    setDebugPrefix("RETRIEVERESULTS");
    fileType_ = kind;
    if (clientName != nullptr) clientName_ = clientName;
    cacheDir_ = resultsDir_.getCacheDir();
    if (cacheDir_ == nullptr) {
        debug(1, "no cacheDir for talCell %lu jobId %" PRIu64 "\n", talCell, static_cast<uint64_t>(jobId));
        return;
    }
    if (isRestoreFilterKind(kind))
        setUpRestoreFilter(clientName);
    else
        computeFileNames(kind);
}

RetrieveResults::~RetrieveResults() = default;

// Another reader of the same filter file was done with it and deleted it (line -1): this one
// is not done yet, so the file is made again from the restore results and opened.
void RetrieveResults::remakeRestoreFilter() {
    debug(1, "getPage: %s is gone, making it again\n", fileName_);
    freeNames();
    setUpRestoreFilter(clientName_.empty() ? nullptr : clientName_.c_str());
    if (fileName_ != nullptr && mapName_ != nullptr && !pagingDir_->open())
        resultsFile_.open(fileName_, sfReadOnly, 0, 0, sfRegularFileOnly);
}

char* RetrieveResults::getPath() {
    if (fileName_ != nullptr) return fileName_;
    return pagingDir_ == nullptr ? cacheDir_ : nullptr;
}

void RetrieveResults::closeUp() {
    if (pagingDir_ != nullptr)
        pagingDir_->close();
    else
        resultsDir_.close();
    if (resultsFile_.isOpen()) resultsFile_.close();
    if (mapFile_.isOpen()) mapFile_.close();
}

bool RetrieveResults::getPage(int64_t seqNo, int64_t lineNumber, int64_t numLines, const CYuSocket* socket) {
    if (isRestoreFilterKind(fileType_) && lineNumber < 0) {
        cleanup();  // the caller is done with the filtered file
        return false;
    }
    if ((pagingDir_ == nullptr && cacheDir_ == nullptr) || fileName_ == nullptr || mapName_ == nullptr) {
        PageReply(seqNo, socket, sendTimeoutMs_, numLines, lineNumber).whole(0, 0, kPageNotInitialized);
        debug(1, "getPage: initializations failed\n");
        return true;
    }
    if (lineNumber < 1) {
        debug(1, "getPage: illegal line number\n");
        return true;
    }
    PageReply reply(seqNo, socket, sendTimeoutMs_, numLines, lineNumber);
    if (pagingDir_ != nullptr ? pagingDir_->open() : resultsDir_.open(true)) {
        reply.whole(0, 0, kPageDirOpen);
        debug(1, "getPage: cache open failed (dir %s)\n", cacheDir_ != nullptr ? cacheDir_ : pagingDir_->getPath());
        return true;
    }
    // Only a regular file is served: a FIFO in its place would hang the reader.
    if (resultsFile_.open(fileName_, sfReadOnly, 0, 0, sfRegularFileOnly) != 0 &&
        resultsFile_.getLastError() == kErrNotFound) {
        if (pagingDir_ == nullptr) {
            if (!generateFile(fileName_)) resultsFile_.open(fileName_, sfReadOnly, 0, 0, sfRegularFileOnly);
        } else if (isRestoreFilterKind(fileType_) && cacheDir_ != nullptr) {
            remakeRestoreFilter();
        }
    }
    if (!resultsFile_.isOpen()) {
        reply.whole(0, 0, kPageUnavailable);
        debug(1, "openFile: cannot open or create file %s, code %d\n", fileName_ != nullptr ? fileName_ : "(none)",
              resultsFile_.getLastError());
        closeUp();
        return true;
    }
    int64_t total = 0;
    bool writerAtWork = false;
    if (!openMapForPage(reply, total, writerAtWork)) {
        closeUp();
        return true;
    }
    if (lineNumber > total) {
        const bool empty = total == 0 && lineNumber == 1;
        reply.whole(0, empty ? 1 : 0, empty ? kPageDone : kPageBeyondEnd);
        if (empty)
            debug(1, "job results is empty.\n");
        else
            debug(1, "lineNumber %" PRId64 " but there are only %" PRId64 " lines\n", lineNumber, total);
        closeUp();
        return !empty;
    }
    // Lines past the map's count are not served (a writer may be appending them), and a count
    // beyond the end of the file is cut to it, however large.
    const int64_t count = numLines <= 0 ? 0 : std::min(numLines, total - lineNumber + 1);
    int64_t curLine = lineNumber - 1;
    const bool ok = sendLines(reply, seqNo, lineNumber, numLines, count, total, !writerAtWork, curLine);
    closeUp();
    return !ok;
}

int RetrieveResults::writerHoldsDirectory() {
    const std::string state = joinPath(cacheDir_, "State");
    CXFile probe;
    if (probe.open(state.c_str(), sfReadOnly, 0, 0, sfRegularFileOnly) != 0) {
        debug(1, "getPage: cannot open '%s' to see whether a writer holds it, code %d\n", state.c_str(),
              probe.getLastError());
        return -1;
    }
    // One attempt at a shared lock, let go at once: refused only while a writer holds the
    // exclusive one. Other readers hold shared locks and do not count.
    const int locked = probe.lock(sfLockShared, 0);
    if (locked < 0) {
        debug(1, "getPage: cannot probe the lock of '%s', code %d\n", state.c_str(), probe.getLastError());
        return -1;
    }
    return locked == 0 ? 1 : 0;
}

bool RetrieveResults::openMapForPage(PageReply& reply, int64_t& total, bool& writerAtWork) {
    total = 0;
    writerAtWork = false;
    if (pagingDir_ == nullptr) {
        const int held = writerHoldsDirectory();
        if (held < 0) {
            reply.whole(0, 0, kPageUnavailable);
            return false;
        }
        writerAtWork = held == 1;
    }
    int error = 0;
    if (mapFile_.open(mapName_, sfReadOnly, 0, 0, sfRegularFileOnly) != 0) {
        error = mapFile_.getLastError();
        // A generation makes the map after it has removed its input: raw files it merged may be
        // left (it was killed). It removes them under its lock, and the map is made below.
        if (pagingDir_ == nullptr && !writerAtWork && !mergedRawFiles().empty()) generateFile(fileName_);
        if (generateMap()) {
            debug(1, "getPage: cannot open/generate map file %s, code %d\n", mapName_, error);
            reply.whole(0, 0, kPageUnavailable);
            return false;
        }
        debug(1, "getPage: missing map %s automatically replaced\n", mapName_);
    }
    MapCheck check = checkMap(total);
    if (check == MapCheck::Unsound && writerAtWork) {
        // A writer is at work on both files: its map may end in part of an entry. Rebuilding
        // would send its later entries to a map that nobody reads any more, so the whole entries
        // serve, each line checked as it is read.
        debug(2, "getPage: map %s is being written, %" PRId64 " whole entries\n", mapName_, total);
        return true;
    }
    MapTail tail = check == MapCheck::Sound ? mapTail(total) : MapTail::Error;
    // Without a writer nothing will complete the map any more: lines it lacks (a writer that
    // died before writing out its entries) would never be served.
    const bool behind = tail == MapTail::Behind && !writerAtWork;
    if (check == MapCheck::Unsound || behind) {
        debug(1, behind ? "getPage: map %s lags behind %s and no writer holds it, rebuilding it\n"
                        : "getPage: map %s does not fit %s, rebuilding it\n",
              mapName_, fileName_);
        check = generateMap() ? MapCheck::Error : checkMap(total);
        if (check == MapCheck::Sound) tail = mapTail(total);
    }
    if (check == MapCheck::Sound && tail != MapTail::Error) {
        // A last line that its writer is still writing is neither counted nor served.
        if (tail == MapTail::Unterminated && writerAtWork) --total;
        return true;
    }
    if (check != MapCheck::Unsound)
        debug(1, "seek to end in file %s failed, code %d\n", mapName_, mapFile_.getLastError());
    else
        debug(1, "getPage: cannot open/generate map file %s, code %d\n", mapName_, kErrWrongState);
    reply.whole(0, 0, kPageUnavailable);
    return false;
}

bool RetrieveResults::sendLines(PageReply& reply, int64_t seqNo, int64_t lineNumber, int64_t numLines, int64_t count,
                                int64_t total, bool finished, int64_t& curLine) {
    unsigned char entry[kMapEntrySize];
    const int64_t mapOffset = (lineNumber - 1) * static_cast<int64_t>(kMapEntrySize);
    if (mapFile_.seek(mapOffset, sfSeekSet) != 0) {
        reply.whole(0, 0, kPageMapRead);
        debug(1,
              "getPage seqNo=%" PRId64 " lineNumber=%" PRId64 " numLines=%" PRId64
              " fileName=%s: map seek failed code %d\n",
              seqNo, lineNumber, numLines, mapName_, mapFile_.getLastError());
        return false;
    }
    if (mapFile_.bufRead(reinterpret_cast<char*>(entry), kMapEntrySize) != static_cast<long>(kMapEntrySize)) {
        reply.whole(0, 0, kPageMapRead);
        debug(1, "read file %s failed, code %d\n", mapName_, mapFile_.getLastError());
        return false;
    }
    uint64_t start = decodeMapEntry(entry);
    reply.begin(total);
    if (resultsFile_.seek(static_cast<int64_t>(start), sfSeekSet) != 0) {
        reply.finish(0, kPageMapRead);
        debug(1,
              "getPage seqNo=%" PRId64 " line %" PRId64 " offset=%" PRIu64 " numLines=%" PRId64
              " fileName=%s: seek failed code %d\n",
              seqNo, lineNumber, start, numLines, fileName_, resultsFile_.getLastError());
        return false;
    }
    LineWindow window(resultsFile_);
    const auto lineFailed = [&](int code) {
        reply.finish(curLine, kPageLineRead);
        debug(1,
              "getPage seqNo=%" PRId64 " lineNumber/curLine=%" PRId64 "/%" PRId64 " lines=%" PRId64 "/%" PRId64
              " fileName=%s: getLine failed code %d\n",
              seqNo, lineNumber, curLine, curLine - lineNumber + 2, numLines, fileName_, code);
        return false;
    };
    for (int64_t sent = 0; sent < count; ++sent) {
        long length;
        if (curLine + 1 < total) {
            // The next entry bounds this line.
            if (mapFile_.bufRead(reinterpret_cast<char*>(entry), kMapEntrySize) != static_cast<long>(kMapEntrySize))
                return lineFailed(mapFile_.getLastError());
            const uint64_t next = decodeMapEntry(entry);
            if (next <= start || next - start > LineWindow::kCapacity) return lineFailed(kErrShortWrite);
            length = static_cast<long>(next - start);
            if (!window.fill(static_cast<size_t>(length))) return lineFailed(resultsFile_.getLastError());
            if (window.available() < static_cast<size_t>(length)) return lineFailed(kErrShortWrite);  // file cut
            // Entries that do not start lines would join lines into one.
            if (memchr(window.data(), '\n', static_cast<size_t>(length) - 1) != nullptr) return lineFailed(kErrShortWrite);
            start = next;
        } else {
            // The map's last line ends at the next line end. Without one it is served only from
            // a finished file, as the map counts it; a writer may still be writing it.
            if (!window.fill(1)) return lineFailed(resultsFile_.getLastError());
            length = window.findLineEnd();
            if (length < 0)
                return lineFailed(length == LineWindow::kTooLong ? kErrShortWrite : resultsFile_.getLastError());
            if (length == 0 && finished) length = static_cast<long>(window.available());
            if (length == 0) break;
        }
        if (!reply.line(window.data(), textLength(window.data(), static_cast<size_t>(length)))) break;
        window.consume(static_cast<size_t>(length));
        ++curLine;
    }
    if (reply.failed()) {
        reply.finish(curLine, kPageLineRead);
        debug(1, "getPage seqNo=%" PRId64 " fileName=%s: reply failed after line %" PRId64 ", code %d\n", seqNo,
              fileName_, curLine, reply.error());
        return false;
    }
    reply.finish(curLine, kPageDone);
    return true;
}
