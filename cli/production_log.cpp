#include "cli/production_log.h"

#include <fcntl.h>
#include <nettle/sha2.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

#include "cli/json_text.h"

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

// Holds an exclusive flock for one append: only so that taking back a torn
// line cannot cut into another process's line written after it. The append
// itself is atomic without it.
class AppendLock {
 public:
  explicit AppendLock(int fd) : fd_(fd) {
    for (;;) {
      if (::flock(fd_, LOCK_EX) == 0) {
        locked_ = true;
        return;
      }
      if (errno != EINTR) return;  // not lockable: the append goes on without
    }
  }
  ~AppendLock() {
    if (locked_) ::flock(fd_, LOCK_UN);
  }
  AppendLock(const AppendLock&) = delete;
  AppendLock& operator=(const AppendLock&) = delete;
  bool locked() const { return locked_; }

 private:
  int fd_;
  bool locked_ = false;
};

}  // namespace

std::string ImageSha256(std::span<const std::uint8_t> bytes) {
  sha256_ctx ctx;
  sha256_init(&ctx);
  sha256_update(&ctx, bytes.size(), bytes.data());
  std::uint8_t digest[SHA256_DIGEST_SIZE];
  sha256_digest(&ctx, sizeof digest, digest);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * sizeof digest);
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
  const auto t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  if (::gmtime_r(&t, &tm) == nullptr) return {};
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(micros / 1000));
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
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = "Cannot open the log file \"" + path + "\": " + ErrnoText(errno);
    return std::nullopt;
  }
  return ProductionLog(fd, path);
}

ProductionLog::ProductionLog(ProductionLog&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)), error_(std::exchange(other.error_, 0)) {}

ProductionLog& ProductionLog::operator=(ProductionLog&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
    error_ = std::exchange(other.error_, 0);
  }
  return *this;
}

ProductionLog::~ProductionLog() {
  if (fd_ >= 0) ::close(fd_);
}

std::string LogWriteErrorText(const std::string& path, int error) {
  std::string cause;
  switch (error) {
    case EFBIG: cause = "the line would take the file past the size limit set for this process (ulimit -f)"; break;
    case ENOSPC: cause = "the disk is full"; break;
    case EDQUOT: cause = "the disk quota is used up"; break;
    case 0: return "Cannot write to the log file \"" + path + "\": it took only part of the line";
    default: break;
  }
  const std::string text = "Cannot write to the log file \"" + path + "\": ";
  return cause.empty() ? text + ErrnoText(error) : text + cause + " (" + ErrnoText(error) + ")";
}

bool ProductionLog::Append(const ProductionRecord& record, std::string& error) {
  const std::string line = ProductionLogLine(record);
  const AppendLock lock(fd_);
  struct stat before {};
  const bool sized = lock.locked() && ::fstat(fd_, &before) == 0 && S_ISREG(before.st_mode);
  // One write takes the line whole; a file that takes only part of it is
  // asked for the rest, which either goes in (a write cut short) or says why
  // it cannot (the file-size limit, a full disk).
  std::size_t written = 0;
  int err = 0;
  while (written < line.size()) {
    const ssize_t n = ::write(fd_, line.data() + written, line.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      err = n < 0 ? errno : 0;
      break;
    }
    written += static_cast<std::size_t>(n);
  }
  if (written == line.size()) return true;
  if (error_ == 0) error_ = err != 0 ? err : EIO;
  error = LogWriteErrorText(path_, err);
  // A torn line would be the file's one unreadable line: cut it off again.
  // Under the lock no other writer can have appended since.
  if (written > 0 && sized && ::ftruncate(fd_, before.st_size) != 0) {
    error += " (and the part written could not be removed: " + ErrnoText(errno) + ")";
  }
  return false;
}

}  // namespace ql::cli
