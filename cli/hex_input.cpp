#include "cli/hex_input.h"

#include <cstdio>

#include "cli/console.h"
#include "core/full_stop.h"

namespace ql::cli {

bool LoadHexForCommand(const std::string& path, McuFamily family, FlashImage& image) {
  const LoadResult r = LoadHexFile(path, family, image);
  if (r.ok()) return true;
  std::string text;
  switch (r.status) {
    case LoadResult::Status::ChecksumFailed:
      text = r.message;  // complete as it stands: it names the line and the file
      break;
    case LoadResult::Status::ConversionError:
      text = path + ", line " + std::to_string(r.line) + ": " + WithFullStop(r.message);
      break;
    default:
      text = WithFullStop(r.message);
      break;
  }
  std::fprintf(stderr, "quelloader-cli: %s\n", TerminalText(text).c_str());
  return false;
}

}  // namespace ql::cli
