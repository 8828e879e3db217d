#pragma once
// SHA-256, from the system's own provider: Nettle on Linux
// (cli/posix/sha256.cpp), BCrypt on Windows (cli/win32/sha256.cpp).

#include <array>
#include <cstdint>
#include <span>

namespace ql::cli {

std::array<std::uint8_t, 32> Sha256(std::span<const std::uint8_t> bytes);

}  // namespace ql::cli
