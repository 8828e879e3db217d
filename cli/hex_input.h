#pragma once
// Loading the HEX file a command names, with the loader's own texts on stderr
// when it is rejected.

#include <string>

#include "image/flash_image.h"

namespace ql::cli {

// True when the file loaded; otherwise the reason is on stderr.
bool LoadHexForCommand(const std::string& path, McuFamily family, FlashImage& image);

}  // namespace ql::cli
