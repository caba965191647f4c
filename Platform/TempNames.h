// Names for temporary and claim files in directories that several hosts share (a cache root on
// an NFS or SMB share). A process id identifies a process only on its own host, so every such
// name carries the host, the process id and a random part:
//   "<base>.<tag>.<host>.<pid>.<random>"
// <host> is this machine's name with anything but letters, digits, '-' and '_' made '_'
// (dots too, so the name splits without doubt); <random> is 8 hex digits. Create the file with
// O_EXCL (a collision then fails instead of sharing a file) and delete only names this process
// made, or, for this host, names of processes that no longer run; other hosts' leftovers go by age.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace TempNames {

// This host's part of a temporary name.
const std::string& hostPart();

// A fresh name for a temporary file beside base (a full path or a bare name).
std::string make(std::string_view base, std::string_view tag);

struct Parsed {
    std::string host;
    long pid = 0;
};

// True when name (a bare file name) is of the form make(baseName, tag) gives.
bool parse(std::string_view name, std::string_view baseName, std::string_view tag, Parsed& out);

// True when a parsed name was made on this host.
inline bool madeOnThisHost(const Parsed& p) { return p.host == hostPart(); }

// How long another host's temporary must have stayed unchanged before a process here takes it
// for a leftover: no process here can tell whether that host's process still runs, but a live
// writer keeps its file's modification time fresh. A week leaves room for the slowest writer,
// a host that was down for a while and clocks that differ by hours.
constexpr int64_t kOtherHostLeftoverSeconds = 7 * 24 * 3600;

// True when the temporary at path (a file, or a writer's work directory), whose name parsed as
// p, is a leftover that nobody finishes: made on this host by a process that no longer runs, or
// made on another host and unchanged (a directory: nor any entry in it) for
// kOtherHostLeftoverSeconds. An entry that cannot be examined is not a leftover.
bool isLeftover(const Parsed& p, const std::string& path);

}  // namespace TempNames
