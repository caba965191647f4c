#include <cstdlib>

#include "HelperCommand.h"
#include "Platform/SettingsStore.h"

// set-setting PATH SECTION NAME VALUE COUNT: writes NAME<i>=VALUE for i in 0..COUNT-1.
HELPER_COMMAND(set_settings) {
    if (args.size() != 5) return 64;
    int count = std::atoi(args[4].c_str());
    for (int i = 0; i < count; ++i)
        if (!SettingsStore::setText(args[0], args[1], args[2] + std::to_string(i), args[3])) return 1;
    return 0;
}
