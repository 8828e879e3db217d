// `quelloader-cli image FILE`: the flash image a HEX file loads to, as raw
// bytes from address 0, exactly what an upload would start from.

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "cli/commands.h"
#include "cli/console.h"
#include "cli/failure.h"
#include "cli/hex_input.h"
#include "core/mcu_family.h"
#include "core/write_file.h"

namespace ql::cli {

namespace {

struct ImageOptions {
  std::string file;
  std::string family = "none";
  std::string output;
};

ExitCode RunImage(const ImageOptions& o) {
  if (o.output.empty() && IsTerminal(STDOUT_FILENO)) {
    throw Failure(ExitCode::Usage, "refusing to write binary data to a terminal; use -o FILE or redirect stdout");
  }
  FlashImage image;
  const McuFamily family = FamilyFromOption(o.family).value_or(McuFamily::None);
  if (!LoadHexForCommand(o.file, family, image)) throw QuietFailure(ExitCode::HexRejected);

  if (o.output.empty()) {
    SetBinaryOutput(STDOUT_FILENO);
    if (const int error = WriteAll(STDOUT_FILENO, image.bytes)) {
      throw Failure(ExitCode::Failed, std::string("cannot write to stdout: ") + std::strerror(error));
    }
    return ExitCode::Success;
  }
  if (const int error = WriteFile(o.output, image.bytes)) throw Failure(ExitCode::Failed, WriteFailureText(o.output, error));
  return ExitCode::Success;
}

}  // namespace

Command AddImageCommand(CLI::App& app) {
  auto o = std::make_shared<ImageOptions>();
  CLI::App* cmd = app.add_subcommand(
      "image",
      "Load a HEX file and write its flash image: the bytes from address 0 to the highest address the file fills, "
      "gaps holding the family's erased value");
  cmd->add_option("FILE", o->file, "Intel HEX file")->required();
  cmd->add_option("--family", o->family,
                  "Address limit and fill value: pic16 (records from 0x400E left out, gaps read 0x3FFF), "
                  "pic18 (records from 0x300000 left out, gaps 0xFF) or none (default: every record, gaps 0xFF)")
      ->transform(CLI::IsMember({"pic16", "pic18", "none"}, CLI::ignore_case))
      ->type_name("FAMILY");
  cmd->add_option("-o,--output", o->output, "Write the image to OUT instead of stdout")->type_name("OUT");
  return {cmd, [o] { return RunImage(*o); }};
}

}  // namespace ql::cli
