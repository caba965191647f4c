// Recognising a file system on which this library's locks cannot work across hosts: an NFS
// mount with `nolock` (locks are then only local to each client) or `local_lock=` other than
// `none` (flock, posix or all locks kept local). Several hosts sharing a cache root there would
// each think they hold what the others hold too. The first lock taken on such a mount logs it
// once per mount with what to do (docs/deployment.md).
#pragma once

#include <string>
#include <string_view>

// When the mount with device number major:minor in mountinfo (the text of
// /proc/self/mountinfo) keeps its locks local, true with its mount point and the option that
// says so; false otherwise (another file system, or NFS with network locks).
bool fsMountLocksAreLocal(std::string_view mountinfo, unsigned major, unsigned minor, std::string& mountPoint,
                          std::string& option);

// Called with the descriptor of a file just locked: logs once per device when that device is
// such a mount. Cheap after the first call for a device.
void fsWarnOnceIfLocksAreLocal(int fd);
