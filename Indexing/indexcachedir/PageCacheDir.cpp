#include "Indexing/indexcachedir/PageCacheDir.h"

PageCacheDir::PageCacheDir(PageCacheDirDomain domain, unsigned long number)
    : JobResultsCacheDir(1, domain, number, 0, static_cast<BackupType>(6), 0, TCachePage) {}

PageCacheDir::~PageCacheDir() = default;

std::string PageCacheDir::getPageCacheDir() {
    if (!isInitialized() || cacheFs_ == nullptr) return std::string();
    return joinPath(joinPath(joinPath(cacheFs_, std::to_string(talCell_)), std::to_string(appNumber_)),
                    std::to_string(kPageCacheTimeStamp));
}
