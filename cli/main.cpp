// quelloader-cli: the command-line front end. Parses the command line, runs
// the chosen subcommand and turns its result into the process's exit code.

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "cli/commands.h"
#include "cli/console.h"
#ifdef QUELLOADER_HAVE_HID
#include "cli/device_select.h"
#endif
#include "cli/exit_codes.h"
#include "cli/failure.h"
#include "cli/interrupt.h"
#include "core/parse_number.h"
#include "core/version.h"

namespace ql::cli {

namespace {

// --wait takes its number only attached (--wait=5), so that "--wait FILE"
// never takes the file for the number; "--wait 5" leaves the 5 as a stray
// argument, and the parser's error alone does not say why.
void SuggestAttachedWait(int argc, char** argv) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::string_view(argv[i]) != "--wait" || !ql::ParseNumber(argv[i + 1], 0xFFFFFFFFu)) continue;
    std::fprintf(stderr, "quelloader-cli: --wait takes its number attached: --wait=%s\n", argv[i + 1]);
    return;
  }
}

int Main(int argc, char** argv) {
  CLI::App app{"Uploads Intel HEX programs into PIC16/PIC18 microcontrollers through their USB HID bootloader.",
               "quelloader-cli"};
  app.set_version_flag("--version", std::string("quelloader-cli ") + kVersion + "\nQt: not used\ncommit " + kCommit);
  app.footer(std::string(kExitCodesHelp));
  app.require_subcommand(1);
  // The same options on every system: on Windows, a file such as
  // /firmware/app.hex (the current drive's root) stays a file, not an option.
  app.allow_windows_style_options(false);

  struct Registration {
    const char* name;
    Command (*add)(CLI::App&);
  };
  static constexpr Registration kCommands[] = {
      {"image", AddImageCommand},
      {"flash", AddFlashCommand},
#ifdef QUELLOADER_HAVE_HID
      {"list", AddListCommand},
      {"info", AddInfoCommand},
#endif
  };
  // A command line that starts with a subcommand's name needs only that
  // subcommand's options: setting up all of them was about a tenth of a
  // short run such as `image`. Anything else (help, version, a mistake)
  // sees every subcommand.
  const std::string first = argc > 1 ? argv[1] : "";
  const bool named = std::any_of(std::begin(kCommands), std::end(kCommands),
                                 [&](const Registration& r) { return first == r.name; });
  std::vector<Command> commands;
  for (const Registration& r : kCommands) {
    if (!named || first == r.name) commands.push_back(r.add(app));
  }
  for (auto& c : commands) c.app->footer(std::string(kExitCodesHelp));

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);  // prints help, version or the error
    if (code != 0) SuggestAttachedWait(argc, argv);
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
  ql::cli::IgnoreWriteSignals();
  try {
    // UTF-8 on every system, so that a file under C:\Users\Zoë\ is found.
    std::vector<std::string> args = ql::cli::ProgramArguments(argc, argv);
    std::vector<char*> pointers;
    for (std::string& a : args) pointers.push_back(a.data());
    pointers.push_back(nullptr);
    return ql::cli::Main(static_cast<int>(args.size()), pointers.data());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quelloader-cli: %s\n", e.what());
    return ql::cli::ToInt(ql::cli::ExitCode::Failed);
  }
}
