#include "image/flash_image.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <memory>
#include <new>

#include "core/read_file.h"

namespace ql {

namespace {

// Hex digit values by character; -1 for anything that is not a hex digit.
constexpr std::array<std::int8_t, 256> MakeHexTable() {
  std::array<std::int8_t, 256> t{};
  for (auto& v : t) v = -1;
  for (int c = '0'; c <= '9'; ++c) t[c] = static_cast<std::int8_t>(c - '0');
  for (int c = 'A'; c <= 'F'; ++c) t[c] = static_cast<std::int8_t>(c - 'A' + 10);
  for (int c = 'a'; c <= 'f'; ++c) t[c] = static_cast<std::int8_t>(c - 'a' + 10);
  return t;
}
constexpr std::array<std::int8_t, 256> kHex = MakeHexTable();

inline int HexDigit(char c) { return kHex[static_cast<unsigned char>(c)]; }

// Splits text into lines: a line ends at CR, LF or a CR LF pair; the last
// line counts without a break, and a break at the very end adds no line.
// The next CR and the next LF are each found with memchr and kept until the
// cursor passes them, so a file using only one of the two is still read in
// one sweep.
class LineCursor {
 public:
  explicit LineCursor(std::string_view text) : text_(text) {}

  bool Next(std::string_view& line) {
    const std::size_t size = text_.size();
    if (pos_ >= size) return false;
    const char* data = text_.data();
    std::size_t i = std::min(Find('\n', next_lf_), Find('\r', next_cr_));
    line = std::string_view(data + pos_, i - pos_);
    if (i < size) {
      ++i;
      if (data[i - 1] == '\r' && i < size && data[i] == '\n') ++i;
    }
    pos_ = i;
    return true;
  }

 private:
  static constexpr std::size_t kUnknown = static_cast<std::size_t>(-1);

  // Position of the next `c` at or after the cursor, or the text's size.
  std::size_t Find(char c, std::size_t& cached) {
    if (cached == kUnknown || cached < pos_) {
      const void* at = std::memchr(text_.data() + pos_, c, text_.size() - pos_);
      cached = at ? static_cast<std::size_t>(static_cast<const char*>(at) - text_.data()) : text_.size();
    }
    return cached;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  std::size_t next_lf_ = kUnknown;
  std::size_t next_cr_ = kUnknown;
};

std::string ConversionMessage(std::string_view chars) {
  std::string m = "'$";
  m.append(chars);
  m += "' is not a valid integer value";
  return m;
}

// Reads the hex field of `width` characters at zero-based `index` of `line`.
// A field cut short by the line's end is read from the characters present; a
// field that starts past the end reads as "$" alone and fails.
bool ReadField(std::string_view line, std::size_t index, std::size_t width, std::uint32_t& value,
               LoadResult& failure) {
  std::string_view chars = index < line.size() ? line.substr(index, width) : std::string_view{};
  std::uint32_t v = 0;
  bool ok = !chars.empty();
  for (char c : chars) {
    const int d = HexDigit(c);
    if (d < 0) {
      ok = false;
      break;
    }
    v = v * 16 + static_cast<std::uint32_t>(d);
  }
  if (!ok) {
    failure.status = LoadResult::Status::ConversionError;
    failure.message = ConversionMessage(chars);
    return false;
  }
  value = v;
  return true;
}

// Two-character field, the common case, with the general reader as fallback.
inline bool ReadByte(std::string_view line, std::size_t index, std::uint32_t& value, LoadResult& failure) {
  if (index + 1 < line.size()) {
    const int hi = HexDigit(line[index]);
    const int lo = HexDigit(line[index + 1]);
    if ((hi | lo) >= 0) {
      value = static_cast<std::uint32_t>(hi * 16 + lo);
      return true;
    }
  }
  return ReadField(line, index, 2, value, failure);
}

// The value of the full digit pair at `index`, or a negative number when
// either character is not a hex digit. The caller has checked that both
// characters are present.
inline int PairAt(const char* line, std::size_t index) {
  const int hi = kHex[static_cast<unsigned char>(line[index])];
  const int lo = kHex[static_cast<unsigned char>(line[index + 1])];
  return (hi | lo) < 0 ? -1 : hi * 16 + lo;
}

// The file name without its folder. Windows paths end their folders with "\"
// or "/", and a drive with ":" ("C:prog.hex").
std::string BaseName(const std::string& path) {
#ifdef _WIN32
  const auto slash = path.find_last_of("/\\:");
#else
  const auto slash = path.find_last_of('/');
#endif
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

LoadResult Failure(LoadResult::Status status, std::string message, int line = -1) {
  LoadResult r;
  r.status = status;
  r.message = std::move(message);
  r.line = line;
  return r;
}

std::string Hex32(std::int64_t v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%08llX", static_cast<unsigned long long>(v));
  return buf;
}

// Checks every line's digit pairs before anything is placed.
LoadResult ChecksumPass(std::string_view text, const std::string& name) {
  LineCursor lines(text);
  std::string_view line;
  LoadResult failure;
  for (int n = 0; lines.Next(line); ++n) {
    const std::size_t k = line.size() / 2;
    // Pairs with both characters on the line; a line of even length ends in
    // a pair cut short, read by the general field reader.
    const std::size_t full = line.empty() ? 0 : (line.size() - 1) / 2;
    std::uint32_t sum = 0;
    int bad = 0;
    for (std::size_t j = 0; j < full; ++j) {
      const int hi = kHex[static_cast<unsigned char>(line[1 + 2 * j])];
      const int lo = kHex[static_cast<unsigned char>(line[2 + 2 * j])];
      bad |= hi | lo;
      sum += static_cast<std::uint32_t>(hi * 16 + lo);
    }
    if (bad < 0 || k > full) {
      // A character that is no digit, or the pair cut short: read the line
      // again pair by pair, which names the first failing field.
      sum = 0;
      for (std::size_t j = 0; j < k; ++j) {
        std::uint32_t v = 0;
        if (!ReadByte(line, 1 + 2 * j, v, failure)) {
          failure.line = n;
          return failure;
        }
        sum += v;
      }
    }
    if ((sum & 0xFF) != 0) {
      return Failure(LoadResult::Status::ChecksumFailed,
                     "CRC check failed. Invalid CRC at line " + std::to_string(n) + " in file '" + name +
                         "'.\r\nNo data will be loaded.",
                     n);
    }
  }
  return {};
}

LoadResult LoadingPass(std::string_view text, McuFamily family, FlashImage& image) {
  LineCursor lines(text);
  std::string_view line;
  std::uint32_t upper_address = 0;
  LoadResult failure;
  // Room for the image a file of this size most likely fills, so that it
  // is not copied as it grows; a sparse file still grows past it.
  image.bytes.reserve(static_cast<std::size_t>(std::min<std::int64_t>(
      static_cast<std::int64_t>(text.size() / 2), kMaxImageSize)));
  for (int n = 0; lines.Next(line); ++n) {
    if (line.empty()) continue;
    failure.line = n;
    std::uint32_t type = 0, count = 0, address = 0;
    const char* chars = line.data();
    // Count, address and type on the line in full (the common case), or
    // read field by field, which handles fields cut short or missing.
    const bool whole = line.size() >= 9;
    const int fast_type = whole ? PairAt(chars, 7) : -1;
    const int fast_count = whole ? PairAt(chars, 1) : -1;
    const int address_hi = whole ? PairAt(chars, 3) : -1;
    const int address_lo = whole ? PairAt(chars, 5) : -1;
    if ((fast_type | fast_count | address_hi | address_lo) >= 0) {
      type = static_cast<std::uint32_t>(fast_type);
      count = static_cast<std::uint32_t>(fast_count);
      address = static_cast<std::uint32_t>(address_hi * 256 + address_lo);
      if (type == 4 && !ReadField(line, 9, 4, upper_address, failure)) return failure;
    } else {
      if (!ReadByte(line, 7, type, failure)) return failure;
      if (type == 4 && !ReadField(line, 9, 4, upper_address, failure)) return failure;
      if (!ReadByte(line, 1, count, failure)) return failure;
      if (!ReadField(line, 3, 4, address, failure)) return failure;
    }
    const std::int64_t a = static_cast<std::int64_t>(upper_address) * 0x10000 + address;
    if (type != 0 || !FamilyAccepts(family, a)) continue;

    const std::int64_t end = a + count;
    if (end > kMaxImageEnd) {
      image.bytes.clear();
      return Failure(LoadResult::Status::AddressTooHigh,
                     "The data record at line " + std::to_string(n) + ", starting at " + Hex32(a) +
                         ", reaches address 0x80000000 or beyond, where no image can reach; nothing was loaded",
                     n);
    }
    if (end > kMaxImageSize) {
      image.bytes.clear();
      return Failure(LoadResult::Status::TooLarge,
                     "The data record at line " + std::to_string(n) + " at address " + Hex32(a) +
                         " would make the image " + std::to_string(end) + " bytes long, more than the " +
                         std::to_string(kMaxImageSize) + " bytes (16 MiB) the loader accepts; nothing was loaded",
                     n);
    }
    image.ExtendImage(end);
    std::uint8_t* out = image.bytes.data() + a;
    // Every data pair on the line in full: the checksum pass has seen them
    // all as digits, so a negative value here cannot come; should it, the
    // field-by-field reading below places and reports as ever.
    if (line.size() >= 2 * static_cast<std::size_t>(count) + 9) {
      int bad = 0;
      for (std::uint32_t i = 0; i < count; ++i) {
        const int v = PairAt(chars, 9 + 2 * static_cast<std::size_t>(i));
        bad |= v;
        out[i] = static_cast<std::uint8_t>(v);
      }
      if (bad >= 0) continue;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
      std::uint32_t v = 0;
      if (!ReadByte(line, 9 + 2 * i, v, failure)) return failure;
      out[i] = static_cast<std::uint8_t>(v);
    }
  }
  return {};
}

}  // namespace

bool FamilyAccepts(McuFamily family, std::int64_t a) {
  switch (family) {
    case McuFamily::Pic16:
      return a < 0x400E;
    case McuFamily::Pic18:
      return a < 0x300000;
    case McuFamily::None:
      break;
  }
  return true;
}

void FlashImage::ExtendImage(std::int64_t new_end) {
  const std::size_t old_size = bytes.size();
  if (new_end <= static_cast<std::int64_t>(old_size)) return;
  bytes.resize(static_cast<std::size_t>(new_end), 0xFF);
  // PIC16 words are 14 bits: erased, each little-endian word reads 0x3FFF.
  if (family == McuFamily::Pic16) {
    for (std::size_t i = old_size | 1; i < bytes.size(); i += 2) bytes[i] = 0x3F;
  }
}

LoadResult LoadHexText(std::string_view text, const std::string& name, McuFamily family, FlashImage& image) {
  image.bytes.clear();
  image.family = family;
  if (const auto nul = text.find('\0'); nul != std::string_view::npos) text = text.substr(0, nul);

  LoadResult result = ChecksumPass(text, name);
  if (!result.ok()) return result;
  try {
    result = LoadingPass(text, family, image);
  } catch (const std::bad_alloc&) {
    image.bytes.clear();
    image.bytes.shrink_to_fit();
    return Failure(LoadResult::Status::OutOfMemory, "Out of memory");
  }
  if (result.ok()) result.line = -1;
  return result;
}

LoadResult LoadHexFile(const std::string& path, McuFamily family, FlashImage& image) {
  FileContent file = ReadRegularFile(path, kMaxHexFileSize);
  const std::string cannot = "Cannot open file \"" + path + "\". ";
  // A file that is not there leaves the image as it was; any other failure empties it.
  if (file.status != FileContent::Status::NotFound) {
    image.bytes.clear();
    image.family = family;
  }
  switch (file.status) {
    case FileContent::Status::Ok:
      break;
    case FileContent::Status::NotFound:
      return Failure(LoadResult::Status::NotFound, cannot + std::strerror(file.error));
    case FileContent::Status::NotRegular:
      return Failure(LoadResult::Status::NotRegularFile,
                     cannot + "It is a device, FIFO or socket, not a regular file");
    case FileContent::Status::TooLarge:
      return Failure(LoadResult::Status::FileTooLarge,
                     cannot + "It is larger than the " + std::to_string(kMaxHexFileSize) + " bytes (" +
                         std::to_string(kMaxHexFileSize / (1024 * 1024)) + " MiB) the loader reads; nothing was loaded");
    case FileContent::Status::ReadError:
      return Failure(LoadResult::Status::OpenError, cannot + std::strerror(file.error));
    case FileContent::Status::OutOfMemory:
      return Failure(LoadResult::Status::OutOfMemory, "Out of memory");
  }
  return LoadHexText(std::string_view(file.text.get(), file.length), BaseName(path), family, image);
}

}  // namespace ql
