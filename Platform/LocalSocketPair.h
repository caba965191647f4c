// Both ends of a local stream socket, for a program that asks the library for a reply on a
// socket and reads it back itself (a page of job results). Closed at the end.
#pragma once

class LocalSocketPair {
public:
    LocalSocketPair();
    ~LocalSocketPair();
    LocalSocketPair(const LocalSocketPair&) = delete;
    LocalSocketPair& operator=(const LocalSocketPair&) = delete;

    int error() const { return error_; }  // errno of socketpair; 0 when made
    int writer() const { return fds_[0]; }
    int reader() const { return fds_[1]; }
    // Closes the writing end: the reader then sees the end of the stream after the reply.
    void closeWriter();

private:
    int fds_[2] = {-1, -1};
    int error_ = 0;
};
