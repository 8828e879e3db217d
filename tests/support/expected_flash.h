#pragma once
// The memory layout a completed upload has to leave, worked out from the
// layout rules and never from the upload engine's code.

#include <algorithm>
#include <cstdint>
#include <vector>

#include "protocol/exchange.h"

namespace ql::test {

// A PIC16 program word has 14 bits: the high byte of each word keeps 6.
inline std::uint8_t WordMask(const TBootInfo& info, std::int64_t address) {
  return info.McuType == 1 && (address & 1) ? 0x3F : 0xFF;
}

// Where an upload of an image of L bytes erases and writes.
struct Layout {
  std::int64_t erase_blocks = 0;  // n: blocks 0..n-1 of the main erase
  std::int64_t write_length = 0;  // W: bytes 0..W-1 of the main write
  std::int64_t final_block = 0;   // BootStart - E
};

inline std::int64_t RoundUp(std::int64_t v, std::int64_t unit) { return (v + unit - 1) / unit * unit; }

inline Layout PlanFor(const TBootInfo& info, std::int64_t L) {
  const std::int64_t E = info.EraseBlockSize;
  Layout p;
  p.final_block = std::int64_t{info.BootStart} - E;
  // Blocks that hold image bytes, but never the final block or anything above.
  p.erase_blocks = std::min(RoundUp(L, E) / E, p.final_block / E);
  // Rounded up to whole write blocks, but never past the blocks erased.
  p.write_length = L > p.final_block ? p.final_block : std::min(RoundUp(L, info.WriteBlockSize), RoundUp(L, E));
  return p;
}

// The layout a completed upload leaves: a PIC18 GOTO to the bootloader's word
// address in bytes 0-3, the image up to the main write's end W (0xFF past the
// image), erased flash as far as the main erase reached and the old contents
// beyond it, the final block blank with the saved reset vector at its end on
// PIC18, and the bootloader area as it was.
inline std::vector<std::uint8_t> ExpectedFlash(const std::vector<std::uint8_t>& before, const TBootInfo& info,
                                               const std::vector<std::uint8_t>& image, std::size_t W,
                                               std::size_t erased_to) {
  std::vector<std::uint8_t> f = before;
  const std::size_t E = info.EraseBlockSize;
  const std::size_t final_block = info.BootStart - E;
  std::vector<std::uint8_t> program(W, 0xFF);
  std::copy_n(image.begin(), std::min(W, image.size()), program.begin());
  std::vector<std::uint8_t> last(E, 0xFF);
  if (info.McuType == 2) {
    const std::uint32_t k = info.BootStart / 2;
    const std::uint8_t goto_bootloader[4] = {static_cast<std::uint8_t>(k & 0xFF), 0xEF,
                                             static_cast<std::uint8_t>((k >> 8) & 0xFF),
                                             static_cast<std::uint8_t>(0xF0 | ((k >> 16) & 0x0F))};
    std::copy_n(goto_bootloader, 4, program.begin());
    std::copy_n(image.begin(), 4, last.end() - 4);
  }
  for (std::size_t a = 0; a < erased_to; ++a) f[a] = WordMask(info, a);
  for (std::size_t a = 0; a < W; ++a) f[a] = program[a] & WordMask(info, a);
  for (std::size_t i = 0; i < E; ++i) f[final_block + i] = last[i] & WordMask(info, final_block + i);
  return f;
}

// The same for a device whose flash was blank before: the main write's end
// follows from the layout rules.
inline std::vector<std::uint8_t> ExpectedFlash(const std::vector<std::uint8_t>& blank, const TBootInfo& info,
                                               const std::vector<std::uint8_t>& image) {
  const Layout p = PlanFor(info, static_cast<std::int64_t>(image.size()));
  return ExpectedFlash(blank, info, image, static_cast<std::size_t>(p.write_length), 0);
}

}  // namespace ql::test
