#include "Platform/TempNames.h"

#include <cstdio>
#include <random>

#include "Platform/PlatformEnv.h"

namespace TempNames {
namespace {

std::string sanitizedHost(const std::string& host) {
    std::string out;
    for (char c : host) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                          c == '_';
        out += keep ? c : '_';
    }
    return out.empty() ? std::string("localhost") : out;
}

unsigned randomPart() {
    // One engine per thread, seeded from the system's entropy: names made in the same
    // microsecond by two processes (or two hosts with the same pid) still differ.
    thread_local std::mt19937 engine{std::random_device{}()};
    return static_cast<unsigned>(engine());
}

bool allDigits(std::string_view s) {
    if (s.empty() || s.size() > 10) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

bool allHex(std::string_view s) {
    if (s.size() != 8) return false;
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

}  // namespace

const std::string& hostPart() {
    // Read once: a host's name does not change under a running process that shares files.
    static const std::string host = sanitizedHost(PlatformEnv::machineName());
    return host;
}

std::string make(std::string_view base, std::string_view tag) {
    char tail[64];
    snprintf(tail, sizeof tail, ".%ld.%08x", PlatformEnv::processId(), randomPart());
    std::string name(base);
    name += '.';
    name += tag;
    name += '.';
    name += hostPart();
    name += tail;
    return name;
}

bool parse(std::string_view name, std::string_view baseName, std::string_view tag, Parsed& out) {
    const size_t prefixLength = baseName.size() + 1 + tag.size() + 1;
    if (name.size() <= prefixLength || name.substr(0, baseName.size()) != baseName) return false;
    if (name[baseName.size()] != '.' || name.substr(baseName.size() + 1, tag.size()) != tag ||
        name[prefixLength - 1] != '.')
        return false;
    std::string_view rest = name.substr(prefixLength);
    const size_t lastDot = rest.rfind('.');
    if (lastDot == std::string_view::npos || !allHex(rest.substr(lastDot + 1))) return false;
    rest = rest.substr(0, lastDot);
    const size_t pidDot = rest.rfind('.');
    if (pidDot == std::string_view::npos || pidDot == 0 || !allDigits(rest.substr(pidDot + 1))) return false;
    const std::string_view host = rest.substr(0, pidDot);
    if (host.find('.') != std::string_view::npos) return false;
    out.host = std::string(host);
    out.pid = std::stol(std::string(rest.substr(pidDot + 1)));
    return true;
}

}  // namespace TempNames
