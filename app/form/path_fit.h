#pragma once
// Shortening a path to the status panel's width: the leading directories are
// dropped one by one and replaced by ".../" (Windows: "...\") until the text
// fits; at last the bare file name remains. Texts are UTF-8.

#include <functional>
#include <string>
#include <string_view>

namespace ql {

// The separator of the system's paths.
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// Drops the first directory of a directory part ("a/b/" -> ".../b/").
std::string DropFirstDirectory(std::string_view dir, char sep = kPathSeparator);

// `width_of` measures a text in the font it will be drawn with.
std::string FitPathToWidth(std::string_view text, const std::function<int(std::string_view)>& width_of, int max_width,
                           char sep = kPathSeparator);

}  // namespace ql
