#include "JobResults/LineMap.h"

void encodeMapEntry(uint64_t offset, unsigned char entry[kMapEntrySize]) {
    for (size_t i = 0; i < kMapEntrySize; ++i) entry[i] = static_cast<unsigned char>(offset >> (8 * i));
}

uint64_t decodeMapEntry(const unsigned char entry[kMapEntrySize]) {
    uint64_t offset = 0;
    for (size_t i = kMapEntrySize; i-- > 0;) offset = (offset << 8) | entry[i];
    return offset;
}
