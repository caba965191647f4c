// The checks that follow a lock grant: is the locked file still the one at its path, and the
// conversion of a held lock without letting go of it in between.
#include <errno.h>
#include <fcntl.h>

#include "Indexing/idxport/CXFile.h"
#include "Indexing/idxport/FsPrimitives.h"

int CXFile::convertLock(sfLockMode_t mode) {
    if (openFlag_ == 0 || lockedFlag_ == 0) return fail(kErrWrongState);
    struct flock byte {};
    byte.l_type = mode == sfLockExclusive ? F_WRLCK : F_RDLCK;
    byte.l_whence = SEEK_SET;
    byte.l_start = kLockOffset;
    byte.l_len = 1;
    while (fcntl(fileFd_, F_OFD_SETLK, &byte) != 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EACCES) {
            lastError_ = kErrLockViolation;
            return 0;
        }
        return fail(errno);
    }
    return 1;
}

bool CXFile::isStillAt(const char* path) {
    if (openFlag_ == 0 || path == nullptr) {
        lastError_ = kErrWrongState;
        return false;
    }
    if (fsDescriptorIsAt(fileFd_, path)) return true;
    lastError_ = errno;
    return false;
}
