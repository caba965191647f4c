// Runs code on a thread for which a mode 0500 directory refuses writes with EACCES even under
// root: capabilities belong to a thread on Linux, and that thread drops CAP_DAC_OVERRIDE, so the
// owner's permission bits bind uid 0 too. (chattr +i would give EPERM, not EACCES.)
#pragma once

#include <functional>
#include <string>

// fn runs only when a probe in directory was really refused; returns whether it was.
bool runWhereDirectoryRefusesWrites(const std::string& directory, const std::function<void()>& fn);
