// The settings file as an administrator or a damaged disk may leave it: the input becomes the
// instance's INI file, which is read through the settings store and the platform information
// getters. The store must agree with itself: every listed entry is found by name, with the same
// value, and a section is present exactly when it lists entries.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "Platform/KRPlatformInfo.h"
#include "Platform/PlatformEnv.h"
#include "Platform/SettingsStore.h"
#include "fuzz/FuzzSandbox.h"

namespace {
const char* const kSections[] = {"MediaAgent", "~MediaAgent", "~Machines\\client1", "Platform", "Focus", "Debug"};

void readStore(const std::string& path) {
    SettingsStore store(path);
    if (!store.fileRead()) __builtin_trap();
    for (const char* section : kSections) {
        const auto entries = store.entries(section);
        if (store.hasSection(section) != !entries.empty()) __builtin_trap();
        for (const auto& [name, value] : entries) {
            if (store.getText(section, name) != value) __builtin_trap();
            store.getInteger(section, name);
            store.getBool(section, name);
        }
    }
}

void readPlatformInfo() {
    KRPlatformInfo info;
    if (info.setFocus(PlatformEnv::instanceName().c_str()) == 0) return;
    int regInt = 0;
    info.getRegInt("~MediaAgent", "nPRESERVEFAILEDICD", &regInt);
    unsigned long number = 0;
    info.getNumber("MediaAgent", "nINDEXCLEANALLDAYS", &number);
    char small[16];
    char large[1027];
    int smallLength = sizeof small;
    int largeLength = sizeof large;
    const int inSmall = info.getString("MediaAgent", "IndexCacheDirectory", small, &smallLength);
    const int inLarge = info.getString("MediaAgent", "IndexCacheDirectory", large, &largeLength);
    // A value too long for the small buffer tells the size it needs; one that fits is the same.
    if (inSmall != 0 && (inLarge == 0 || strcmp(small, large) != 0)) __builtin_trap();
    if (inSmall == 0 && inLarge != 0 && smallLength != static_cast<int>(strlen(large)) + 1) __builtin_trap();
    info.getClientHostName("client1", large, sizeof large);
    info.getClientHostNameMangled("client1", large, sizeof large);
    info.getPhysicalMachine();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static FuzzSandbox sandbox;
    sandbox.writeSettings(std::string(reinterpret_cast<const char*>(data), size));
    readStore(sandbox.settingsPath());
    readPlatformInfo();
    sandbox.trimJournal();
    return 0;
}
