// A results file's line map: one 5-byte entry per line, the byte offset at which the line
// starts, bits 0-31 little-endian in bytes 0-3 and bits 32-39 in byte 4. No header.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr size_t kMapEntrySize = 5;
// A mapped results file may not grow beyond this: a line starting later cannot be mapped.
constexpr uint64_t kMaxMappedOffset = (uint64_t(1) << 40) - 1;
// The longest line text a reader serves: the text and its CR LF fill its 102401-byte line
// buffer. Writers refuse longer lines; a map rebuild still maps one that got in otherwise.
constexpr int64_t kLongestLineText = 102399;

// Writes the entry of offset (which must not exceed kMaxMappedOffset).
inline void encodeMapEntry(uint64_t offset, unsigned char entry[kMapEntrySize]) {
    for (size_t i = 0; i < kMapEntrySize; ++i) entry[i] = static_cast<unsigned char>(offset >> (8 * i));
}

inline uint64_t decodeMapEntry(const unsigned char entry[kMapEntrySize]) {
    uint64_t offset = 0;
    for (size_t i = kMapEntrySize; i-- > 0;) offset = (offset << 8) | entry[i];
    return offset;
}

// The bytes of text before its first NUL, CR or LF: a stored line's length, and where it is
// cut if it holds a line break (text[result] is then CR or LF). One pass over the text.
size_t lineTextLength(const char* text);
