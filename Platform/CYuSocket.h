// A socket descriptor handed between the library and its callers. A plain value: copying it
// copies the number, and it never closes the descriptor (whoever opened it does).
#pragma once

class CYuSocket {
public:
    CYuSocket() = default;
    explicit CYuSocket(int fd) : fd_(fd) {}

    int fd() const { return fd_; }
    // True for a descriptor number (>= 0); says nothing about whether it is still open.
    bool isValid() const { return fd_ >= 0; }

    bool operator==(const CYuSocket& other) const = default;

private:
    int fd_ = -1;
};
