#pragma once
// Report lengths from a HID report descriptor, as the platform's capability
// record gives them: the longest input and output report in bytes, plus one
// byte for the report ID (present on the wire or not).

#include <cstdint>
#include <span>

namespace ql {

struct ReportDescriptorInfo {
  bool uses_report_ids = false;
  std::uint16_t InputReportByteLength = 0;   // 0 when there is no input report
  std::uint16_t OutputReportByteLength = 0;  // 0 when there is no output report
};

ReportDescriptorInfo ParseReportDescriptor(std::span<const std::uint8_t> descriptor);

}  // namespace ql
