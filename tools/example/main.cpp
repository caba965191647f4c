#include <cstdio>

#include "Platform/EvEvent.h"

int main() {
    EvEvent event;
    event.initialize(2, "vornica-example", 0);
    event << "hello";
    event.InfoEvent(0xE000008, 0, 0);
    std::printf("ok\n");
    return 0;
}
