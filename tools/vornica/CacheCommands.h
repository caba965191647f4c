// The cache commands' parts, one file each.
#pragma once

#include "tools/vornica/CacheScan.h"
#include "tools/vornica/Commands.h"

void addCacheLs(CLI::App& cache);
void addCacheShow(CLI::App& cache);
void addCacheClean(CLI::App& cache);
void addCacheSweep(CLI::App& cache);
