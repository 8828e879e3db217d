#include "core/write_file.h"

#include <cstring>
#include <string>

namespace ql {

std::string WriteFailureText(std::string_view path, int error) {
  return "cannot write \"" + std::string(path) + "\": " + std::strerror(error);
}

}  // namespace ql
