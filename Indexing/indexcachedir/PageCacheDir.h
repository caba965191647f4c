// The page cache of a domain and a number: the backup-level directory whose time stamp is
// 4294967295, root/<domain>/<number>/4294967295 under the page cache's root.
#pragma once

#include <cstdint>
#include <string>

#include "Indexing/indexcachedir/JobResultsCacheDir.h"

// The first level of the page cache (the talCell position of an index); callers choose it.
enum PageCacheDirDomain : uint32_t { ePageCacheDomainDefault = 0 };

class PageCacheDir : public JobResultsCacheDir {
public:
    static constexpr uint32_t kPageCacheTimeStamp = 0xFFFFFFFFu;

    PageCacheDir(PageCacheDirDomain domain, unsigned long number);
    ~PageCacheDir() override;

    // The page cache directory's path; empty until the object is initialized.
    std::string getPageCacheDir();
};
