#include "app/form/window_arguments.h"

#include <CLI/CLI.hpp>

#include <sstream>

#include "core/version.h"
#include "sim/simulated_bootloader.h"

namespace ql {

ParsedWindowArguments ParseWindowArguments(int argc, const char* const* argv, const WindowProgramText& text) {
  ParsedWindowArguments r;
  CLI::App app{"Uploads Intel HEX programs into PIC16/PIC18 microcontrollers through their USB HID bootloader: "
               "the window.",
               "quelloader"};
  app.set_version_flag("--version", std::string("quelloader ") + kVersion + text.version_extra + "\ncommit " + kCommit);
  std::string file;
  CLI::Option* file_option =
      app.add_option("FILE", file, "Intel HEX file (extension .hex) to open at start")->type_name("");
  // Windows' own slashes are not options: /path/to/app.hex stays a file.
  app.allow_windows_style_options(false);
  app.add_option("--simulate", r.args.simulate,
                 "Open the window with a simulated bootloader attached instead of USB devices")
      ->check(CLI::IsMember(sim::PresetNames()))
      ->type_name("PRESET");
  app.footer(text.footer);
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
