#pragma once
// --log FILE: the production record, one JSON line per board flashed (or
// tried), appended to a file that several quelloader-cli processes may share.
// Each line goes out in one write to the end of the file (cli/log_file.h), so
// lines of different processes never interleave and a crash never leaves
// half a line; a line the file could not take whole is taken back and
// reported. The fields are in docs/production-log.md.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "cli/exit_codes.h"
#include "cli/log_file.h"
#include "image/flash_image.h"

namespace ql::cli {

inline constexpr int kProductionLogSchema = 1;

// One board's record. Empty strings are unknown and written as null.
struct ProductionRecord {
  std::int64_t unix_time_us = 0;  // when the board's result came, UTC
  std::string port;
  std::string serial;
  std::string device;  // the device's name
  McuFamily family = McuFamily::None;
  std::string hex_file;      // the HEX file's path
  std::string image_sha256;  // ImageSha256 of the image written; empty when none was
  std::int64_t image_bytes = 0;
  ExitCode result = ExitCode::Failed;
  std::string message;
  double seconds = 0;  // the board's flash from start to result
};

// The SHA-256 of the image bytes the upload sends, as 64 lowercase hex digits.
std::string ImageSha256(std::span<const std::uint8_t> bytes);

// `unix_time_us` as ISO 8601 UTC with milliseconds: 2026-12-09T04:13:47.123Z.
std::string IsoUtcTime(std::int64_t unix_time_us);

// The record's line, ending in a line feed.
std::string ProductionLogLine(const ProductionRecord& record);

class ProductionLog {
 public:
  // Opens (creating it, mode 0644 before the umask) `path` for appending.
  // nullopt with `error` set to the line to show when it cannot: the command
  // line then fails with ExitCode::Failed before it flashes anything.
  static std::optional<ProductionLog> Open(const std::string& path, std::string& error);

  ProductionLog(ProductionLog&& other) noexcept = default;
  ProductionLog& operator=(ProductionLog&& other) noexcept = default;

  // Appends the record's line. False with `error` set when the file did not
  // take the whole line (LogWriteErrorText); whatever part of it got in is
  // cut off again.
  bool Append(const ProductionRecord& record, std::string& error);

  const std::string& path() const { return path_; }
  // The errno of the first append that failed (EFBIG at the file-size limit,
  // ENOSPC on a full disk, EIO when the cause is unknown), 0 while every
  // append has gone in: a failed log is the run's failure, said once.
  int error() const { return error_; }

 private:
  ProductionLog(LogFile file, std::string path) : file_(std::move(file)), path_(std::move(path)) {}
  LogFile file_;
  std::string path_;
  int error_ = 0;
};

// The line that says the log file `path` could not take a line, by the
// errno of the write that failed (0: it took part of the line and no cause).
std::string LogWriteErrorText(const std::string& path, int error);

}  // namespace ql::cli
