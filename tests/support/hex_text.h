#pragma once
// An Intel HEX file's text for a run of bytes from address 0: data records of
// 16 bytes, an extended linear address record at each 64 KiB boundary, and
// the end-of-file record. Written independently of the loader.

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace ql::test {

// One record, ":LLAAAATT<data>CC" without its line break; the checksum is the
// two's complement of the byte sum.
inline std::string HexRecord(std::uint8_t type, std::uint16_t address, const std::uint8_t* data, std::size_t n,
                             bool break_checksum = false) {
  std::vector<std::uint8_t> rec = {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(address >> 8),
                                   static_cast<std::uint8_t>(address & 0xFF), type};
  rec.insert(rec.end(), data, data + n);
  unsigned sum = 0;
  for (auto b : rec) sum += b;
  rec.push_back(static_cast<std::uint8_t>(0x100 - (sum & 0xFF)));
  if (break_checksum) rec.back() ^= 1;
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string line = ":";
  for (auto b : rec) {
    line += kDigits[b >> 4];
    line += kDigits[b & 0x0F];
  }
  return line;
}

// `break_checksum` spoils the checksum of the first data record.
inline std::string HexText(const std::vector<std::uint8_t>& bytes, bool break_checksum = false) {
  std::string text;
  for (std::size_t at = 0; at < bytes.size(); at += 16) {
    if (at != 0 && at % 0x10000 == 0) {
      const std::uint8_t upper[2] = {static_cast<std::uint8_t>(at >> 24), static_cast<std::uint8_t>(at >> 16)};
      text += HexRecord(4, 0, upper, 2) + "\n";
    }
    const std::size_t n = std::min<std::size_t>(16, bytes.size() - at);
    const auto address = static_cast<std::uint16_t>(at & 0xFFFF);
    text += HexRecord(0, address, bytes.data() + at, n, break_checksum && at == 0) + "\n";
  }
  return text + ":00000001FF\n";
}

}  // namespace ql::test
