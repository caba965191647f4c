#include <gtest/gtest.h>

#include "Indexing/icommon/VersionsPath.h"

TEST(VersionsPath, MarkerBetweenTwoEqualSeparatorsThenNumbers) {
    const std::string m = kVersionsMarker;
    using V = std::vector<unsigned long>;
    const struct {
        std::string path;
        V versions;  // empty: not a versions path
    } cases[] = {
        {"/" + m + "/12/34", {12, 34}},         {"\\" + m + "\\7/x\\8", {7, 8}},
        {"/" + m + "/", {}},                    {"/" + m + "x12", {}},
        {"/" + m + "\\12", {}},                 {"/\x15vErSiOns\x15/12", {}},
        {"/\x15vEr", {}},                       {"", {}},
        {"/" + m + "/-1/ 5", {}},  // no sign or blank: "-1" would wrap to a huge version
    };
    for (const auto& c : cases) {
        V versions{99};
        EXPECT_EQ(isVersionsPath(c.path.c_str(), &versions), !c.versions.empty()) << c.path;
        V expected{99};
        expected.insert(expected.end(), c.versions.begin(), c.versions.end());
        EXPECT_EQ(versions, expected) << c.path << ": appended behind what the list held";
        EXPECT_EQ(isVersionsPath(c.path.c_str(), nullptr), !c.versions.empty()) << c.path;
    }
}
