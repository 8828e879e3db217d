// BCrypt, part of every Windows since Vista: no library to ship.
#include <windows.h>
// After windows.h:
#include <bcrypt.h>

#include <stdexcept>

#include "cli/sha256.h"

namespace ql::cli {

std::array<std::uint8_t, 32> Sha256(std::span<const std::uint8_t> bytes) {
  std::array<std::uint8_t, 32> digest{};
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
    throw std::runtime_error("SHA-256 is not available (BCrypt)");
  }
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool ok = BCRYPT_SUCCESS(::BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));
  // BCryptHashData takes at most 4 GiB less one byte at a time.
  for (std::size_t done = 0; ok && done < bytes.size();) {
    const std::size_t left = bytes.size() - done;
    const ULONG piece = left > 0x40000000 ? 0x40000000u : static_cast<ULONG>(left);
    ok = BCRYPT_SUCCESS(::BCryptHashData(hash, const_cast<PUCHAR>(bytes.data() + done), piece, 0));
    done += piece;
  }
  ok = ok && BCRYPT_SUCCESS(::BCryptFinishHash(hash, digest.data(), static_cast<ULONG>(digest.size()), 0));
  if (hash != nullptr) ::BCryptDestroyHash(hash);
  ::BCryptCloseAlgorithmProvider(algorithm, 0);
  if (!ok) throw std::runtime_error("SHA-256 failed (BCrypt)");
  return digest;
}

}  // namespace ql::cli
