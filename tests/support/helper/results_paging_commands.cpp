// Stand-ins for the retrieval program that a session starts for remote page requests.
#include <algorithm>
#include <cstdio>
#include <iterator>
#include <string>

#include "HelperCommand.h"
#include "JobResults/RemoteReply.h"
#include "Platform/ReturnDataFormat.h"

namespace {

void putField(std::string& stream, uint32_t tag, const std::string& bytes) {
    unsigned char frame[8];
    ReturnDataFormat::putU32(frame, tag);
    ReturnDataFormat::putU32(frame + 4, static_cast<uint32_t>(bytes.size()));
    stream.append(reinterpret_cast<const char*>(frame), sizeof frame);
    stream += bytes;
}

std::string int64Bytes(int64_t value) {
    unsigned char bytes[8];
    ReturnDataFormat::putU64(bytes, static_cast<uint64_t>(value));
    return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

}  // namespace

// paging_program_args FILE WORDS...: writes the words, blank-separated, to FILE and exits
// without a reply.
HELPER_COMMAND(paging_program_args) {
    if (args.empty()) return 64;
    std::string line;
    for (size_t i = 1; i < args.size(); ++i) line += (i > 1 ? " " : "") + args[i];
    FILE* out = std::fopen(args[0].c_str(), "w");
    if (out == nullptr) return 1;
    std::fputs(line.c_str(), out);
    return std::fclose(out) == 0 ? 0 : 1;
}

// paging_program_partial SEQ [ARGUMENTS...]: writes the start of a page reply (header, total 3, numLines 10,
// lineNumber 1, one line "first") as reply lines, with a noise line between, and exits 1
// before the rest.
HELPER_COMMAND(paging_program_partial) {
    if (args.empty()) return 64;
    unsigned char header[ReturnDataFormat::kHeaderSize];
    std::copy(std::begin(ReturnDataFormat::kMagic), std::end(ReturnDataFormat::kMagic), header);
    ReturnDataFormat::putU32(header + 4, ReturnDataFormat::kVersion);
    ReturnDataFormat::putU64(header + 8, 1084);
    ReturnDataFormat::putU64(header + 16, std::stoull(args[0]));
    std::string stream(reinterpret_cast<const char*>(header), sizeof header);
    putField(stream, 4140, int64Bytes(3));
    putField(stream, 4141, int64Bytes(10));
    putField(stream, 4142, int64Bytes(1));
    putField(stream, 4148, "first");
    // Split inside a frame: the lines together are the stream.
    const size_t cut = stream.size() - 3;
    const auto* bytes = reinterpret_cast<const unsigned char*>(stream.data());
    helperSay(RemoteReply::encodeLine(bytes, cut));
    helperSay("not a reply line");
    helperSay(RemoteReply::encodeLine(bytes + cut, stream.size() - cut));
    return 1;
}
