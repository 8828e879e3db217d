#pragma once
// Where Settings.ini lives on Windows. A copy run from a folder of its own
// that the user can write to (an unpacked zip, a USB stick) keeps the file
// beside the program: a portable copy. An installed program (below Program
// Files, or a user's own %LOCALAPPDATA%\Programs, which the user can write
// to) or one in a folder the user cannot write to keeps it in
// %APPDATA%\Quelloader instead, where the uninstaller leaves it.

#include <string>
#include <vector>

#include "app/form/window_arguments.h"

namespace ql {

// Whether a file can be made in `dir` (UTF-8) by this user now.
bool FolderWritable(const std::string& dir);

// The choice, given the program's folder, the install roots (Program Files)
// and the user's roaming application-data folder; all UTF-8.
std::string ChooseSettingsPath(const std::string& executable_dir, const std::vector<std::string>& install_roots,
                               const std::string& app_data);

// The choice for the running program.
std::string WindowsSettingsPath();

// The Windows window's --version line and its help's footer on the settings file.
WindowProgramText Win32WindowProgramText();

}  // namespace ql
