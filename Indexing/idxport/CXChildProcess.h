// Starts another program, either disconnected (a session of its own, its standard streams on
// /dev/null) or connected to the caller through pipes: the object itself is then the connection
// to the child's standard input and output (read, getLine, write and putLine of CXFile), and a
// separately asked-for standard error is read through the error file.
//
// The program is started with an argument vector, never through a shell: argv[0] passed to it
// is path, then argv[1], argv[2], ... up to the first null entry (the caller's argv[0] is not
// used). A path without '/' is looked up in PATH. Path and arguments joined by blanks (the
// command line) must be shorter than kCommandSize.
//
// A connected child that ends is reaped by wait(); the destructor reaps it when it has already
// ended. A connected child still running when its object is destroyed is left to run, and stays
// a zombie from its end until the calling process ends: call wait() to avoid that.
// A disconnected child is never a child of the caller (it is started through a short-lived
// intermediate process and watched by a process of its own), so it leaves no zombie whether or
// not wait() is called; wait() still reports its exit code.
#pragma once

#include "Indexing/idxport/CXFile.h"

class CXChildProcess : public CXFile {
public:
    static constexpr size_t kCommandSize = 2053;
    static constexpr size_t kFailureMessageSize = 64;

    CXChildProcess();
    // Closes the connection and the error file (the pipe ends), reaps a child that has ended.
    ~CXChildProcess() override;

    // 0, or -1 with the last error (the system's error number; -1 when this object already
    // spawned or the arguments do not fit) and the failure message.
    int spawnDisconnected(const char* path, char* const argv[]);
    // redirectError false: the child writes its errors where the caller does; true with
    // separateError false: into the same pipe as its output; both true: into a pipe of its own,
    // read through getErrorFile().
    int spawnConnected(const char* path, char* const argv[], bool redirectError, bool separateError);
    // Ends the child's input (it reads end of file), then waits without limit for the child to
    // end. 0 for exit code 0; else -1 with "Child exited with error" and the exit code as last
    // error (128 + the signal number when a signal ended it), or "GetExitCodeProcess failed"
    // and the system's error. Output the child left in the pipes can still be read afterwards.
    int wait();
    // Ends the child's standard input: buffered bytes are written, later writes fail. 0 or -1.
    int closeInput();
    char* getFailureMessage() { return failureMessage_; }
    CXFile& getErrorFile() { return errorFile_; }
    // The child's process id; 0 before a spawn.
    long getPid() const { return process_.pid; }

private:
    struct ProcessInformation {
        long pid = 0;
        int inputFd = -1;  // our end of the child's standard input while connected
        int reaped = 0;
        int status = 0;    // wait status, once reaped
        bool disconnected = false;
        int reportFd = -1;  // a disconnected child's wait status arrives here when it ends
    };

    int spawn(const char* path, char* const argv[], bool connected, bool redirectError, bool separateError);
    int failWith(const char* message, int error);

    int spawned_ = 0;
    CXFile errorFile_;
    char failureMessage_[kFailureMessageSize];
    ProcessInformation process_;
};
