// Thresholds of one client: DiskFullThreshold and CacheAgingThreshold of [~Machines\<name>].
#pragma once

#include <optional>

class KRClientProperties {
public:
    KRClientProperties(std::optional<long long> diskFull, std::optional<long long> cacheAging)
        : diskFull_(diskFull), cacheAging_(cacheAging) {}

    // 0 and the value on success; ENOENT when the value is not configured.
    int getDiskFullThreshold(int* value, int reserved) const { return give(diskFull_, value, reserved); }
    int getCacheAgingThreshold(int* value, int reserved) const { return give(cacheAging_, value, reserved); }

private:
    static int give(const std::optional<long long>& source, int* value, int reserved);

    std::optional<long long> diskFull_;
    std::optional<long long> cacheAging_;
};
