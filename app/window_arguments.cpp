#include "app/window_arguments.h"

#include <CLI/CLI.hpp>
#include <QtGlobal>

#include <sstream>

#include "core/version.h"
#include "sim/simulated_bootloader.h"

namespace ql {

ParsedWindowArguments ParseWindowArguments(int argc, const char* const* argv) {
  ParsedWindowArguments r;
  CLI::App app{"Uploads Intel HEX programs into PIC16/PIC18 microcontrollers through their USB HID bootloader: "
               "the window.",
               "quelloader"};
  app.set_version_flag("--version", std::string("quelloader ") + kVersion + "\nQt " + qVersion() + "\ncommit " + kCommit);
  std::string file;
  CLI::Option* file_option =
      app.add_option("FILE", file, "Intel HEX file (extension .hex) to open at start")->type_name("");
  app.add_option("--simulate", r.args.simulate,
                 "Open the window with a simulated bootloader attached instead of USB devices")
      ->check(CLI::IsMember(sim::PresetNames()))
      ->type_name("PRESET");
  app.footer(
      "Files:\n"
      "  Settings.ini beside the program when it runs from a folder of its own that you can write to\n"
      "  (a build folder); an installed program uses $XDG_CONFIG_HOME/quelloader/Settings.ini\n"
      "  (~/.config/quelloader/Settings.ini)");
  std::ostringstream out;
  std::ostringstream err;
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e, out, err);  // help, version or the error
    r.exit_code = code == 0 ? 0 : 2;
  }
  if (file_option->count() > 0) r.args.file = file;
  r.out = out.str();
  r.err = err.str();
  return r;
}

}  // namespace ql
