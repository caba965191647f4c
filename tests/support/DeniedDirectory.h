// Runs code on a thread for which the permission bits bind even under root: capabilities belong
// to a thread on Linux, and that thread drops CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH, so a
// mode 0500 directory refuses writes with EACCES to uid 0 too. (chattr +i would give EPERM.)
#pragma once

#include <functional>
#include <string>

// fn runs only when the capabilities could be dropped; returns whether they were.
bool runWithoutFileOverrides(const std::function<void()>& fn);
// fn runs only when a probe in directory was really refused; returns whether it was.
bool runWhereDirectoryRefusesWrites(const std::string& directory, const std::function<void()>& fn);
