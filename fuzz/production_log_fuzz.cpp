// The --log production record: any bytes in every text field (port, serial,
// device, HEX file path, digest, message), any time, length, result and
// duration, through the product's line writer. The line must be exactly one
// line ending in its line feed, with no raw control character, parse as one
// JSON object, and give back every field as written: text unchanged when it
// is valid UTF-8, each invalid byte as U+FFFD; empty text as null except the
// message; the time as an independent calendar reading of the clock gives it.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli/production_log.h"
#include "json_line_check.h"

namespace {

using namespace ql::cli;

// Days since 1970-01-01 to the proleptic Gregorian date (the well-known era
// arithmetic), so that the time is checked without gmtime.
void CivilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  if (m <= 2) ++y;
}

std::string ExpectedTime(std::int64_t us) {
  const std::int64_t ms = us / 1000 - (us % 1000 < 0 ? 1 : 0);  // floor
  const std::int64_t sec = ms / 1000 - (ms % 1000 < 0 ? 1 : 0);
  const std::int64_t milli = ms - sec * 1000;
  const std::int64_t day = sec / 86400 - (sec % 86400 < 0 ? 1 : 0);
  const std::int64_t tod = sec - day * 86400;
  std::int64_t y;
  unsigned m, d;
  CivilFromDays(day, y, m, d);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04lld-%02u-%02uT%02lld:%02lld:%02lld.%03lldZ", static_cast<long long>(y), m, d,
                static_cast<long long>(tod / 3600), static_cast<long long>(tod / 60 % 60),
                static_cast<long long>(tod % 60), static_cast<long long>(milli));
  return buf;
}

// The clock of a production line: from 1970 to the end of year 9999, the
// span ISO 8601's four-digit years cover. Outside it only a valid line is
// asked for.
constexpr std::int64_t kYear10000Us = 253402300800LL * 1000000;

std::string Text(FuzzedDataProvider& in) { return in.ConsumeRandomLengthString(200); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  ProductionRecord r;
  r.unix_time_us = in.ConsumeBool() ? in.ConsumeIntegralInRange<std::int64_t>(0, kYear10000Us - 1)
                                    : in.ConsumeIntegral<std::int64_t>();
  r.family = in.PickValueInArray({ql::McuFamily::None, ql::McuFamily::Pic16, ql::McuFamily::Pic18});
  r.image_bytes = in.ConsumeIntegral<std::int64_t>();
  const int code = in.PickValueInArray(fuzzcheck::kExitCodes);
  r.result = static_cast<ExitCode>(code);
  {
    // Any bit pattern: NaN, infinities, subnormals, the largest doubles.
    const auto bits = in.ConsumeIntegral<std::uint64_t>();
    std::memcpy(&r.seconds, &bits, sizeof r.seconds);
  }
  r.port = Text(in);
  r.serial = Text(in);
  r.device = Text(in);
  r.hex_file = Text(in);
  r.image_sha256 = Text(in);
  r.message = in.ConsumeRemainingBytesAsString();

  const std::string line = ProductionLogLine(r);
  // One line: its only line feed is the last byte.
  if (line.find('\n') != line.size() - 1) std::abort();
  const nlohmann::json j = fuzzcheck::ReadLine(line);
  if (j.size() != 13) std::abort();

  using namespace fuzzcheck;
  ExpectInt(j, "schema", 1);
  if (!j.contains("time") || !j["time"].is_string()) std::abort();
  if (r.unix_time_us >= 0 && r.unix_time_us < kYear10000Us && j["time"].get<std::string>() != ExpectedTime(r.unix_time_us))
    std::abort();
  ExpectString(j, "port", r.port, true);
  ExpectString(j, "serial", r.serial, true);
  ExpectString(j, "device", r.device, true);
  ExpectString(j, "family", r.family == ql::McuFamily::Pic16 ? "PIC16" : r.family == ql::McuFamily::Pic18 ? "PIC18" : "",
               true);
  ExpectString(j, "hex_file", r.hex_file, true);
  ExpectString(j, "image_sha256", r.image_sha256, true);
  ExpectInt(j, "image_bytes", r.image_bytes);
  ExpectInt(j, "exit_code", code);
  ExpectString(j, "exit_class", ExitClass(code), false);
  ExpectString(j, "message", r.message, false);
  ExpectSeconds(j, "seconds", r.seconds);
  // To the millisecond: the number is written with exactly three decimals.
  if (std::isfinite(r.seconds)) {
    const std::size_t at = line.rfind(",\"seconds\":");
    if (at == std::string::npos) std::abort();
    const std::string number = line.substr(at + 11, line.size() - 2 - (at + 11));  // before "}\n"
    const std::size_t dot = number.find('.');
    if (dot == std::string::npos || number.size() - dot - 1 != 3) std::abort();
  }
  return 0;
}
