// The numbered steps the example prints, shared by its parts.
#pragma once
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// Each step is printed at once; when nobody reads the output any more (a closed pipe, a quit
// pager) the walk stops there and the scratch instance is cleaned up on the way out.
inline void step(const char* what) {
    static int number = 0;
    std::printf("\n[%d] %s\n", ++number, what);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) std::exit(0);
}

// The name of a page reply's field tag ("total lines", "line", ...).
const char* pageTagName(uint32_t tag);

// The road of a page of job results (JobResultsRoad.cpp). dir: the scratch instance.
void walkTheRoadOfAPage(const std::string& dir);
