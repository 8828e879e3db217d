#include "hid/report_descriptor.h"

#include <algorithm>
#include <map>
#include <vector>

namespace ql {

namespace {

struct Globals {
  std::uint32_t report_size = 0;
  std::uint32_t report_count = 0;
  std::uint32_t report_id = 0;
};

std::uint16_t ByteLength(const std::map<std::uint32_t, std::uint64_t>& bits) {
  std::uint64_t longest = 0;
  for (const auto& [id, n] : bits) longest = std::max(longest, n);
  if (longest == 0) return 0;
  return static_cast<std::uint16_t>(std::min<std::uint64_t>((longest + 7) / 8 + 1, 0xFFFF));
}

}  // namespace

ReportDescriptorInfo ParseReportDescriptor(std::span<const std::uint8_t> d) {
  ReportDescriptorInfo info;
  Globals globals;
  std::vector<Globals> stack;
  // Bits per report ID, per direction.
  std::map<std::uint32_t, std::uint64_t> input_bits;
  std::map<std::uint32_t, std::uint64_t> output_bits;

  std::size_t i = 0;
  while (i < d.size()) {
    const std::uint8_t prefix = d[i];
    if (prefix == 0xFE) {  // long item: size, tag, data
      if (i + 1 >= d.size()) break;
      i += 3 + d[i + 1];
      continue;
    }
    static constexpr std::size_t kSizes[4] = {0, 1, 2, 4};
    const std::size_t size = kSizes[prefix & 3];
    if (i + 1 + size > d.size()) break;
    std::uint32_t value = 0;
    for (std::size_t k = 0; k < size; ++k) value |= static_cast<std::uint32_t>(d[i + 1 + k]) << (8 * k);
    const int type = (prefix >> 2) & 3;
    const int tag = prefix >> 4;
    if (type == 1) {  // global
      switch (tag) {
        case 7: globals.report_size = value; break;
        case 8:
          globals.report_id = value;
          info.uses_report_ids = true;
          break;
        case 9: globals.report_count = value; break;
        case 10: stack.push_back(globals); break;
        case 11:
          if (!stack.empty()) {
            globals = stack.back();
            stack.pop_back();
          }
          break;
        default: break;
      }
    } else if (type == 0) {  // main
      const std::uint64_t bits =
          static_cast<std::uint64_t>(globals.report_size) * globals.report_count;
      if (tag == 8) input_bits[globals.report_id] += bits;
      if (tag == 9) output_bits[globals.report_id] += bits;
    }
    i += 1 + size;
  }
  info.InputReportByteLength = ByteLength(input_bits);
  info.OutputReportByteLength = ByteLength(output_bits);
  return info;
}

}  // namespace ql
