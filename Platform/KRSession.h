// A session runs one program for the library, on this machine or on another, and hands what
// the program reports to its caller as a queue of messages.
//
// Starting (dataAgentAttach): the program named in the command record ("NAME" or "NAME.exe")
// is found in [Session] ProgramDirectory, else in PATH; its argument line is split on blanks
// and tabs into separate arguments (no shell takes part). On this machine it is started
// directly. The host is this machine when it is "localhost", 127.0.0.1, ::1, [Session]
// HostName or the machine's host name, ignoring case; a short requested name also matches the
// first label of a qualified one, while a qualified requested name matches only itself (a
// name in another domain is another machine). On another host the command is [Session] RemoteShell (default "ssh", split on
// blanks), the host, then the program and its arguments, each quoted for the remote shell, so
// that every argument arrives there as one word, unchanged. The program runs in a process
// group of its own, with standard input on /dev/null, standard output on a pipe read by the
// session and standard error inherited from this process (where ssh and the program report
// their troubles).
//
// Messages (receiveMessage): each line the program writes becomes a KRS_MSG_PEER_LINE message
// (second word 0, data the line without "\n" or "\r\n"; a line longer than kMaxLineBytes comes
// in several messages of at most that size, in order); the end of its output together with its
// exit makes one KRS_MSG_PEER_END message whose second word is the exit code, 128 + the signal
// that ended it, or ~0 when its status could not be collected. postMessage queues further
// messages; the queue keeps the order in which messages were taken in, and the program's output
// is read only when the queue is empty.
//
// Results: 1 is success; any other value is a failure whose errno-style code and text
// getLastError gives. One thread drives a session; postMessage may come from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "Platform/JobControlTypes.h"
#include "Platform/KRSessionTypes.h"

class KRSession {
public:
    static constexpr size_t kMaxLineBytes = 1024 * 1024;
    // How long abortSession lets the program end on SIGTERM before it sends SIGKILL.
    static constexpr int kAbortGraceMs = 2000;

    KRSession();
    // Never blocks: a program that still runs is left to finish its work (a remote retrieval
    // program started by a session that is gone at once must not be cut off). The session's end
    // of its output is closed, and once the program has ended it is reaped, without waiting, by
    // the next call of any session of this process (created, destroyed, or any operation that
    // attaches, receives, posts, completes or aborts).
    ~KRSession();
    KRSession(const KRSession&) = delete;
    KRSession& operator=(const KRSession&) = delete;

    // Starts the command on host (see above). Fails with EINVAL for a missing or malformed
    // record or host, ENOENT for a program (or remote shell) not found, EISCONN while this
    // session's previous program has not ended (its end message taken in) or been ended, and
    // with the error of the start itself.
    int dataAgentAttach(krsExecuteRemoteCommandType* command, const char* host, KRS_PLATFORMTYPE platformType);

    // The last failure: code 0 and "" when there was none. The text belongs to the session and
    // stays valid until its next failure.
    void getLastError(unsigned long* code, char** text);

    // Takes the next message. Returns 1 with *received = 1 and the message in *type,
    // *secondWord (may be null) and *buffer (see krsDatabuf); returns 1 with *received = 0 when
    // no message came within timeoutSeconds (0: only look; negative: wait without limit).
    // Any other result is a failure (a missing type or buffer, a buffer without capacity, an
    // error reading the program's output); the message, if any, stays queued. A caller drains a
    // session with: receive; failure -> stop; *received == 0 -> no more messages.
    int receiveMessage(unsigned long* type, unsigned long* secondWord, krsDatabuf* buffer, int timeoutSeconds,
                       int* received);
    // Releases what receiveMessage put into buffer: a buffer the session allocated is freed
    // and data set to null; a caller's buffer is kept. The lengths and flags are reset.
    void freeReceivedMessage(unsigned long type, krsDatabuf* buffer);
    // Queues a message behind those already queued; data may be null when length is 0.
    int postMessage(unsigned long type, unsigned long secondWord, const void* data, size_t length);

    // Completes a session whose program has finished: stops reading its output (what it has not
    // been read is dropped) and waits for it to exit, at most timeoutSeconds (negative: without
    // limit; ETIMEDOUT when it does not end in time, and the session keeps it). 1 at once when
    // no program is attached. Queued messages stay.
    int completeSession(int timeoutSeconds = -1);
    // Ends the session without waiting for its program to finish its work: stops reading,
    // sends SIGTERM to the program's process group (also when the program itself has exited
    // and only descendants it left are still there), SIGKILL after kAbortGraceMs unless the
    // group is gone by then, and reaps the program before returning. Queued messages are
    // dropped. 1 (also when no program is attached).
    int abortSession();

    // A program is attached: started, and its end not yet taken in or brought about.
    bool attached() const { return attached_; }
    // The process id of the attached program, 0 without one.
    long peerProcessId() const { return attached_ ? pid_ : 0; }

private:
    struct Message {
        unsigned long type = 0;
        unsigned long secondWord = 0;
        std::string data;
    };

    int fail(unsigned long code, const char* format, ...) __attribute__((format(printf, 3, 4)));
    bool spawn(const std::string& path, const std::vector<std::string>& argv);
    bool pump(int64_t waitMs);
    bool readOutput();
    void takeOutput(const char* bytes, size_t count);
    void handOnPiece();
    void endLine();
    void queue(unsigned long type, unsigned long secondWord, std::string data);
    void tryReap(bool block);
    void noteEndIfComplete();
    bool waitForExit(int64_t timeoutMs);
    void signalGroup(int sig);
    bool waitForGroupEnd(int64_t timeoutMs);
    void closeOutput();
    void releasePeer();
    void wake();
    static void reapDetached();

    std::mutex queueMutex_;
    std::deque<Message> queue_;
    int wakeFd_ = -1;  // eventfd: postMessage from another thread ends a receive's wait

    bool attached_ = false;
    long pid_ = 0;
    bool reaped_ = false;
    unsigned long exitStatus_ = 0;
    int outputFd_ = -1;  // the read end of the program's standard output
    int pidFd_ = -1;     // becomes readable when the program exits; -1 where pidfds are missing
    std::string partialLine_;
    std::vector<char> readBuffer_;

    unsigned long lastErrorCode_ = 0;
    std::string lastErrorText_;
};
