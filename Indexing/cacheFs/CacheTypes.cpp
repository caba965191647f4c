#include "Indexing/cacheFs/CacheTypes.h"

const CacheTypeInfo& cacheTypeInfo(TCacheTypeEnum type) {
    static const CacheTypeInfo table[] = {
        {"KR_Index", "cannot access index cache", 0xE000073},
        {"KR_FcsIndex", "cannot access content index cache", 0xE000072},
        {"KR_SnapMetadata", "cannot access snap metadata cache", 0xE0000BC},
        {"KR_PageCache", "cannot access page cache", 0xE000073},
    };
    return table[type <= TCachePage ? type : TCacheIndex];
}
