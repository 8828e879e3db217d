// quelloader-cli: the command-line front end. Parses the command line, runs
// the chosen subcommand and turns its result into the process's exit code.

#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "cli/commands.h"
#ifdef QUELLOADER_HAVE_HID
#include "cli/device_select.h"
#endif
#include "cli/exit_codes.h"
#include "cli/failure.h"
#include "core/parse_number.h"
#include "core/version.h"

namespace ql::cli {

namespace {

int Main(int argc, char** argv) {
  CLI::App app{"Uploads Intel HEX programs into PIC16/PIC18 microcontrollers through their USB HID bootloader.",
               "quelloader-cli"};
  app.set_version_flag("--version", std::string("quelloader-cli ") + kVersion + "\nQt: not used\ncommit " + kCommit);
  app.footer(std::string(kExitCodesHelp));
  app.require_subcommand(1);

  std::vector<Command> commands = {AddImageCommand(app), AddFlashCommand(app)};
#ifdef QUELLOADER_HAVE_HID
  commands.push_back(AddListCommand(app));
  commands.push_back(AddInfoCommand(app));
#endif
  for (auto& c : commands) c.app->footer(std::string(kExitCodesHelp));

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);  // prints help, version or the error
    return code == 0 ? 0 : ToInt(ExitCode::Usage);
  }
  for (auto& c : commands) {
    if (!c.app->parsed()) continue;
    // Every failure of a command ends here, printed once.
    try {
      return ToInt(c.run());
    } catch (const Failure& f) {
      if (*f.what() != '\0') std::fprintf(stderr, "quelloader-cli: %s\n", f.what());
      return ToInt(f.code());
    }
  }
  return ToInt(ExitCode::Usage);
}

}  // namespace
}  // namespace ql::cli

int main(int argc, char** argv) {
  try {
    return ql::cli::Main(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quelloader-cli: %s\n", e.what());
    return ql::cli::ToInt(ql::cli::ExitCode::Failed);
  }
}
