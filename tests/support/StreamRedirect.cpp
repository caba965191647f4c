#include "tests/support/StreamRedirect.h"

#include <stdio.h>
#include <unistd.h>

void withStreamAt(int fd, const std::string& path, const std::function<void()>& fn) {
    fflush(stdout);
    const int saved = dup(fd);
    FILE* file = fopen(path.c_str(), fd == 0 ? "r" : "w");
    dup2(fileno(file), fd);
    clearerr(stdin);
    fn();
    fflush(stdout);
    dup2(saved, fd);
    close(saved);
    fclose(file);
}
