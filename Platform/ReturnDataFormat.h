// The wire encoding of return data (see docs/return-data.md), shared by the writer
// (EvReturnData) and the reader (ReturnDataReader). All integers are little-endian.
//
//   header frame (24 bytes, once per reply, first on the wire):
//     magic "VNRD" | u32 version | u64 message type | i64 sequence number
//   field frame:  u32 tag | u32 length | length bytes
//   end frame:    u32 kEndTag | u32 8 | i64 code
#pragma once

#include <cstddef>
#include <cstdint>

namespace ReturnDataFormat {

constexpr unsigned char kMagic[4] = {'V', 'N', 'R', 'D'};
constexpr uint32_t kVersion = 1;
constexpr size_t kHeaderSize = 24;
constexpr size_t kFrameHeaderSize = 8;
// Tag of the end frame; no field may use it.
constexpr uint32_t kEndTag = 0xFFFFFFFFu;
constexpr uint32_t kMaxFieldTag = kEndTag - 1;
// Largest field the writer sends and the reader accepts (16 MiB). A line of results is at most
// 100 KB; the limit keeps a corrupt length from making a reader allocate gigabytes.
constexpr uint32_t kMaxFieldLength = 16u * 1024u * 1024u;

inline void putU32(unsigned char* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}
inline void putU64(unsigned char* out, uint64_t value) {
    for (int i = 0; i < 8; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}
inline uint32_t getU32(const unsigned char* in) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | in[i];
    return value;
}
inline uint64_t getU64(const unsigned char* in) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | in[i];
    return value;
}

}  // namespace ReturnDataFormat
