#include "Platform/KRPI_Base.h"

const char* KRPI_Base::getHalcyTempDirectory() { return keep(text("Platform", "TempDirectory")); }

const char* KRPI_Base::keep(const std::optional<std::string>& value) {
    if (!value || value->empty()) return nullptr;
    kept_ = *value;
    return kept_.c_str();
}
