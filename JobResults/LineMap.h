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
void encodeMapEntry(uint64_t offset, unsigned char entry[kMapEntrySize]);
uint64_t decodeMapEntry(const unsigned char entry[kMapEntrySize]);
