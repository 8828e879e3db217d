// Nettle: a small library, so the command line's start-up does not pay for
// loading and relocating libcrypto.
#include <nettle/sha2.h>

#include "cli/sha256.h"

namespace ql::cli {

std::array<std::uint8_t, 32> Sha256(std::span<const std::uint8_t> bytes) {
  static_assert(SHA256_DIGEST_SIZE == 32);
  sha256_ctx ctx;
  sha256_init(&ctx);
  sha256_update(&ctx, bytes.size(), bytes.data());
  std::array<std::uint8_t, 32> digest{};
  sha256_digest(&ctx, digest.size(), digest.data());
  return digest;
}

}  // namespace ql::cli
