#pragma once
// Writing bytes out, for every program that saves a flash image or a dump:
// one way, with the reason of a failure kept as its errno (a later call
// cannot overwrite it before the caller reports it).

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace ql {

// Writes every byte to `fd`, through short writes and interrupted calls.
// 0 on success, else the errno of the failing write.
[[nodiscard]] int WriteAll(int fd, std::span<const std::uint8_t> bytes);

// Writes `bytes` as the whole content of `path`. A regular file is
// replaced only once the new content is complete (written beside it, then
// given the name, keeping the permissions), so a failure leaves it as it
// was; a new file gets mode 0666 before the umask; a device, FIFO or link is
// written through as named. A failure to close counts (a full disk may show
// only there). 0 on success, else the errno of the first step that failed.
[[nodiscard]] int WriteFile(const std::string& path, std::span<const std::uint8_t> bytes);

// The diagnostic for a failed write: cannot write "PATH": REASON
std::string WriteFailureText(std::string_view path, int error);

}  // namespace ql
