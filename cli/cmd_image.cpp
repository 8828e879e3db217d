// `quelloader-cli image FILE`: the flash image a HEX file loads to, as raw
// bytes from address 0, exactly what an upload would start from.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "cli/commands.h"
#include "cli/hex_input.h"

namespace ql::cli {

namespace {

struct ImageOptions {
  std::string file;
  std::string family = "none";
  std::string output;
};

bool WriteAll(int fd, const std::vector<std::uint8_t>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

ExitCode RunImage(const ImageOptions& o) {
  if (o.output.empty() && ::isatty(STDOUT_FILENO) == 1) {
    std::fprintf(stderr, "quelloader-cli: refusing to write binary data to a terminal; use -o FILE or redirect stdout\n");
    return ExitCode::Usage;
  }
  FlashImage image;
  const McuFamily family = o.family == "pic16"   ? McuFamily::Pic16
                           : o.family == "pic18" ? McuFamily::Pic18
                                                 : McuFamily::None;
  if (!LoadHexForCommand(o.file, family, image)) return ExitCode::HexRejected;

  if (o.output.empty()) {
    if (!WriteAll(STDOUT_FILENO, image.bytes)) {
      std::fprintf(stderr, "quelloader-cli: cannot write to stdout: %s\n", std::strerror(errno));
      return ExitCode::Failed;
    }
    return ExitCode::Success;
  }
  const int fd = ::open(o.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0 || !WriteAll(fd, image.bytes)) {
    std::fprintf(stderr, "quelloader-cli: cannot write \"%s\": %s\n", o.output.c_str(), std::strerror(errno));
    if (fd >= 0) ::close(fd);
    return ExitCode::Failed;
  }
  if (::close(fd) != 0) {
    std::fprintf(stderr, "quelloader-cli: cannot write \"%s\": %s\n", o.output.c_str(), std::strerror(errno));
    return ExitCode::Failed;
  }
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
