#include "core/full_stop.h"

namespace ql {

std::string WithFullStop(std::string_view text) {
  std::string s(text);
  if (!s.empty() && static_cast<unsigned char>(s.back()) > static_cast<unsigned char>('.')) s += '.';
  return s;
}

}  // namespace ql
