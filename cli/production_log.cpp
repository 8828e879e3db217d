#include "cli/production_log.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <utility>

#include "cli/json_text.h"
#include "cli/sha256.h"

namespace ql::cli {

namespace {

std::string_view FamilyName(McuFamily family) {
  switch (family) {
    case McuFamily::Pic16: return "PIC16";
    case McuFamily::Pic18: return "PIC18";
    case McuFamily::None: break;
  }
  return {};
}

std::string ErrnoText(int err) { return std::strerror(err); }

}  // namespace

std::string ImageSha256(std::span<const std::uint8_t> bytes) {
  const std::array<std::uint8_t, 32> digest = Sha256(bytes);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * digest.size());
  for (const std::uint8_t b : digest) {
    out += kHex[b >> 4];
    out += kHex[b & 0xF];
  }
  return out;
}

std::string IsoUtcTime(std::int64_t unix_time_us) {
  std::int64_t seconds = unix_time_us / 1'000'000;
  std::int64_t micros = unix_time_us % 1'000'000;
  if (micros < 0) {  // before 1970: the remainder counts back
    micros += 1'000'000;
    --seconds;
  }
  using namespace std::chrono;
  const sys_seconds t{std::chrono::seconds{seconds}};
  const sys_days day = floor<days>(t);
  const year_month_day date{day};
  const hh_mm_ss<std::chrono::seconds> time{t - day};
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()), static_cast<int>(micros / 1000));
  return buf;
}

std::string ProductionLogLine(const ProductionRecord& r) {
  return JsonObject()
             .Int("schema", kProductionLogSchema)
             .String("time", IsoUtcTime(r.unix_time_us))
             .StringOrNull("port", r.port)
             .StringOrNull("serial", r.serial)
             .StringOrNull("device", r.device)
             .StringOrNull("family", FamilyName(r.family))
             .StringOrNull("hex_file", r.hex_file)
             .StringOrNull("image_sha256", r.image_sha256)
             .Int("image_bytes", r.image_bytes)
             .Int("exit_code", ToInt(r.result))
             .String("exit_class", ExitClassName(r.result))
             .String("message", r.message)
             .Seconds("seconds", r.seconds)
             .Text() +
         '\n';
}

std::optional<ProductionLog> ProductionLog::Open(const std::string& path, std::string& error) {
  int open_error = 0;
  std::optional<LogFile> file = LogFile::Open(path, open_error);
  if (!file) {
    error = "Cannot open the log file \"" + path + "\": " + ErrnoText(open_error);
    return std::nullopt;
  }
  return ProductionLog(std::move(*file), path);
}

std::string LogWriteErrorText(const std::string& path, int error) {
  std::string cause;
  switch (error) {
    case EFBIG: cause = "the line would take the file past the size limit set for this process (ulimit -f)"; break;
    case ENOSPC: cause = "the disk is full"; break;
#ifdef EDQUOT
    case EDQUOT: cause = "the disk quota is used up"; break;
#endif
    case 0: return "Cannot write to the log file \"" + path + "\": it took only part of the line";
    default: break;
  }
  const std::string text = "Cannot write to the log file \"" + path + "\": ";
  return cause.empty() ? text + ErrnoText(error) : text + cause + " (" + ErrnoText(error) + ")";
}

bool ProductionLog::Append(const ProductionRecord& record, std::string& error) {
  const std::string line = ProductionLogLine(record);
  const LogFile::Appended appended = file_.Append(line);
  if (appended.written == line.size()) return true;
  const int err = appended.error;
  if (error_ == 0) error_ = err != 0 ? err : EIO;
  error = LogWriteErrorText(path_, err);
  // A torn line would be the file's one unreadable line: it was cut off again.
  if (appended.cut_error != 0) {
    error += " (and the part written could not be removed: " + ErrnoText(appended.cut_error) + ")";
  }
  return false;
}

}  // namespace ql::cli
