// The numbered steps the example prints, shared by its parts.
#pragma once
#include <cstdio>
#include <string>

inline void step(const char* what) {
    static int number = 0;
    std::printf("\n[%d] %s\n", ++number, what);
}

// The road of a page of job results (JobResultsRoad.cpp). dir: the scratch instance.
void walkTheRoadOfAPage(const std::string& dir);
