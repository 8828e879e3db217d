#pragma once
// Where Settings.ini lives. A copy run from a folder of its own that the user
// can write to (a build folder, an unpacked copy) keeps the file beside the
// program. An installed program never writes beside itself: one run as root
// would leave a file there that every user then reads and nobody can save.
// It uses the user's configuration folder instead.

#include <string>

#include "app/form/window_arguments.h"

namespace ql {

// The folder `cmake --install` puts the programs in, as configured.
extern const char* const kInstallBindir;

// Whether `executable_dir` is where an installed program runs from: the
// configured install folder `install_bindir`, a system folder (/usr, /bin,
// /sbin, /opt, /snap, /nix), or a folder the user cannot write to.
bool IsInstalledFolder(const std::string& executable_dir, const std::string& install_bindir);

// Settings.ini beside the program, or $XDG_CONFIG_HOME/quelloader/Settings.ini
// (~/.config/... when unset or relative) for an installed program.
std::string SettingsPath(const std::string& executable_dir, const std::string& install_bindir = kInstallBindir);

// The Linux window's --version line for Qt and its help's footer on the settings file.
WindowProgramText QtWindowProgramText();

}  // namespace ql
