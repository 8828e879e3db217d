#include "app/form/path_fit.h"

namespace ql {

std::string DropFirstDirectory(std::string_view dir, char sep) {
  const std::string sep_text(1, sep);
  if (dir == sep_text) return {};
  std::string d(dir);
  bool root = false;
  if (!d.empty() && d.front() == sep) {
    d.erase(0, 1);
    root = true;
  }
  if (!d.empty() && d.front() == '.') d.erase(0, std::min<std::size_t>(4, d.size()));  // a former ".../"
  const std::size_t slash = d.find(sep);
  if (slash != std::string::npos) {
    d = "..." + sep_text + d.substr(slash + 1);
  } else {
    d.clear();
  }
  if (root) d.insert(0, sep_text);
  return d;
}

std::string FitPathToWidth(std::string_view text, const std::function<int(std::string_view)>& width_of, int max_width,
                           char sep) {
  const std::string ellipsis_dir = "..." + std::string(1, sep);
  const std::size_t last = text.rfind(sep);
  const std::size_t cut = last == std::string_view::npos ? 0 : last + 1;  // 0 when there is no directory
  std::string dir(text.substr(0, cut));
  const std::string name(text.substr(cut));
  std::string drive;
  if (dir.size() >= 2 && dir[1] == ':') {
    drive = dir.substr(0, 2);
    dir.erase(0, 2);
  }
  std::string result(text);
  while (!drive.empty() || !dir.empty()) {
    if (width_of(result) <= max_width) break;
    if (dir == std::string(1, sep) + ellipsis_dir) {
      drive.clear();
      dir = ellipsis_dir;
    } else if (!dir.empty()) {
      dir = DropFirstDirectory(dir, sep);
    } else {
      drive.clear();
    }
    result = drive + dir + name;
  }
  return result;
}

}  // namespace ql
