#pragma once
// Where Settings.ini lives: beside the executable when that folder is
// writable or the file is already there; otherwise (an installed program in a
// system folder) in the user's configuration folder, so that settings are
// never silently lost.

#include <string>

namespace ql {

std::string SettingsPath(const std::string& executable_dir);

}  // namespace ql
