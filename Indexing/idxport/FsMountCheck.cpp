#include "Indexing/idxport/FsMountCheck.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <vector>

#include "Platform/EvDebug.h"

namespace {
std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos) return parts;
        start = end + 1;
    }
}
}  // namespace

bool fsMountLocksAreLocal(std::string_view mountinfo, unsigned major, unsigned minor, std::string& mountPoint,
                          std::string& option) {
    const std::string device = std::to_string(major) + ":" + std::to_string(minor);
    for (std::string_view line : split(mountinfo, '\n')) {
        // "<id> <parent> <major:minor> <root> <mount point> <options> [optional fields] - <type> <source> <super options>"
        const std::vector<std::string_view> fields = split(line, ' ');
        if (fields.size() < 10 || fields[2] != device) continue;
        size_t dash = 6;
        while (dash < fields.size() && fields[dash] != "-") ++dash;
        if (dash + 3 >= fields.size()) continue;
        const std::string_view type = fields[dash + 1];
        if (type != "nfs" && type != "nfs4") continue;
        for (std::string_view o : split(fields[dash + 3], ',')) {
            if (o == "nolock" || (o.substr(0, 11) == "local_lock=" && o != "local_lock=none")) {
                mountPoint = std::string(fields[4]);
                option = std::string(o);
                return true;
            }
        }
    }
    return false;
}

void fsWarnOnceIfLocksAreLocal(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return;
    // Most locks fall on the device of the one before: that costs one comparison.
    static std::atomic<dev_t> last{0};
    if (last.exchange(st.st_dev, std::memory_order_relaxed) == st.st_dev) return;
    static std::mutex mutex;
    static std::set<dev_t> seen;
    {
        std::lock_guard<std::mutex> guard(mutex);
        if (!seen.insert(st.st_dev).second) return;
    }
    std::ifstream in("/proc/self/mountinfo");
    std::ostringstream text;
    text << in.rdbuf();
    std::string mountPoint, option;
    if (!fsMountLocksAreLocal(text.str(), major(st.st_dev), minor(st.st_dev), mountPoint, option)) return;
    EvDebug log;
    log.Debug("CXFile::lock",
              "locks on %s are local to this host (NFS option %s): several hosts sharing a cache there can take "
              "each other's directories and lines; mount it with network locks (NFSv4, or NFSv3 with lockd and "
              "without nolock/local_lock)\n",
              mountPoint.c_str(), option.c_str());
}
