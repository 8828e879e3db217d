// Any bytes as a HEX file, under each family. Besides surviving every input
// (the sanitizers watch memory and undefined behaviour), a load that succeeds
// must give the same image as a second, deliberately plain reading of the
// file format written below, and a file that plain reading accepts within
// the image limits must load.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "image/flash_image.h"

namespace {

using ql::McuFamily;

int Digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The field of up to `width` characters at zero-based `index`; nothing when
// it starts past the line or holds a non-hex character.
std::optional<std::uint32_t> Field(std::string_view line, std::size_t index, std::size_t width) {
  if (index >= line.size()) return std::nullopt;
  std::uint32_t v = 0;
  for (char c : line.substr(index, width)) {
    if (Digit(c) < 0) return std::nullopt;
    v = v * 16 + static_cast<std::uint32_t>(Digit(c));
  }
  return v;
}

std::vector<std::string_view> Lines(std::string_view text) {
  text = text.substr(0, text.find('\0'));
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = start;
    while (end < text.size() && text[end] != '\r' && text[end] != '\n') ++end;
    lines.push_back(text.substr(start, end - start));
    if (end < text.size() && text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ++end;
    start = end + 1;
  }
  return lines;
}

bool Accepts(McuFamily f, std::int64_t a) {
  return f == McuFamily::Pic16 ? a < 0x400E : f == McuFamily::Pic18 ? a < 0x300000 : true;
}

std::uint8_t Fill(McuFamily f, std::int64_t a) { return f == McuFamily::Pic16 && (a & 1) ? 0x3F : 0xFF; }

// The image a well-behaved file gives; nothing when the file is refused.
// `too_big` is set when the file would pass the loader's own size limits.
std::optional<std::vector<std::uint8_t>> PlainLoad(std::string_view text, McuFamily family, bool& too_big) {
  too_big = false;
  const auto lines = Lines(text);
  for (std::string_view line : lines) {
    unsigned sum = 0;
    for (std::size_t j = 0; j < line.size() / 2; ++j) {
      auto v = Field(line, 1 + 2 * j, 2);
      if (!v) return std::nullopt;
      sum += *v;
    }
    if (sum % 256 != 0) return std::nullopt;
  }
  std::vector<std::uint8_t> image;
  image.reserve(4096);
  std::uint32_t upper = 0;
  for (std::string_view line : lines) {
    if (line.empty()) continue;
    auto type = Field(line, 7, 2);
    if (!type) return std::nullopt;
    if (*type == 4) {
      auto u = Field(line, 9, 4);
      if (!u) return std::nullopt;
      upper = *u;
    }
    auto count = Field(line, 1, 2);
    auto address = Field(line, 3, 4);
    if (!count || !address) return std::nullopt;
    const std::int64_t a = std::int64_t{upper} * 0x10000 + *address;
    if (*type != 0 || !Accepts(family, a)) continue;
    if (a + *count > ql::kMaxImageSize) {
      too_big = true;
      return std::nullopt;
    }
    for (std::size_t i = image.size(), end = static_cast<std::size_t>(a + *count); i < end; ++i)
      image.push_back(Fill(family, static_cast<std::int64_t>(i)));
    for (std::uint32_t i = 0; i < *count; ++i) {
      auto b = Field(line, 9 + 2 * i, 2);
      if (!b) return std::nullopt;
      image[a + i] = static_cast<std::uint8_t>(*b);
    }
  }
  return image;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const McuFamily family = data[0] % 3 == 0 ? McuFamily::Pic16 : data[0] % 3 == 1 ? McuFamily::Pic18 : McuFamily::None;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

  ql::FlashImage image;
  image.bytes.assign(5, 0xAB);  // an earlier image: every load replaces it
  const ql::LoadResult r = ql::LoadHexText(text, "fuzz.hex", family, image);

  bool too_big = false;
  const auto plain = PlainLoad(text, family, too_big);
  if (r.ok()) {
    if (!r.message.empty() || image.family != family) std::abort();
    if (!plain || *plain != image.bytes) std::abort();
  } else if (plain) {
    std::abort();  // a file the format allows was refused
  }
  using S = ql::LoadResult::Status;
  if ((r.status == S::ChecksumFailed || r.status == S::AddressTooHigh || r.status == S::TooLarge) && !image.empty())
    std::abort();
  if (image.ImageEnd() > ql::kMaxImageSize) std::abort();
  return 0;
}
