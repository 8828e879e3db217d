#pragma once
// srec_cat as an oracle: the flash image a HEX file describes, made by a
// tool that shares no code with the loader.

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace ql::test {

inline bool HaveSrecCat() { return std::system("srec_cat -VERSion >/dev/null 2>&1") == 0; }

inline std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// srec_cat's binary image of `hex` from address 0 to its highest written
// address, holes filled with `fill`, made in `out`; `crop_below` ("0x300000")
// keeps only the addresses below it. std::nullopt when srec_cat fails.
inline std::optional<std::vector<std::uint8_t>> SrecImage(const std::filesystem::path& hex, int fill,
                                                          const std::filesystem::path& out,
                                                          const std::string& crop_below = "") {
  const std::string input = "'" + hex.string() + "' -Intel" + (crop_below.empty() ? "" : " -crop 0 " + crop_below);
  const std::string cmd = "srec_cat " + input + " -fill " + std::to_string(fill) + " 0 -maximum-addr '(' " + input +
                          " ')' -o '" + out.string() + "' -binary";
  std::filesystem::remove(out);
  if (std::system(cmd.c_str()) != 0) return std::nullopt;
  return ReadBytes(out);
}

}  // namespace ql::test
