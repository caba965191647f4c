#include "Platform/KRTalCell.h"

#include <errno.h>

#include <cstdlib>
#include <string>

#include "Platform/PlatformEnv.h"

KRTalCell::KRTalCell(unsigned long id) : id_(id), settings_(PlatformEnv::configPath()) {}

int KRTalCell::getTalCellNumber(unsigned long& number) const {
    if (id_ == 0) return ENOENT;
    auto value = settings_.getInteger("TalCells", std::to_string(id_));
    if (!value || *value <= 0) return ENOENT;
    number = static_cast<unsigned long>(*value);
    return 0;
}

int KRTalCell::getTalCellId(unsigned long& id) const {
    if (number_ == 0) return ENOENT;
    for (const auto& [name, value] : settings_.entries("TalCells")) {
        char* end = nullptr;
        unsigned long candidate = strtoul(name.c_str(), &end, 10);
        if (*end != '\0' || candidate == 0) continue;
        if (std::strtoull(value.c_str(), &end, 0) == number_ && *end == '\0') {
            id = candidate;
            return 0;
        }
    }
    return ENOENT;
}
