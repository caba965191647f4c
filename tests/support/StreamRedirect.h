// Points standard input or output at a file while test code runs.
#pragma once

#include <functional>
#include <string>

// Runs fn with descriptor fd (0, 1 or 2) on the file at path, read for 0, written otherwise.
void withStreamAt(int fd, const std::string& path, const std::function<void()>& fn);
