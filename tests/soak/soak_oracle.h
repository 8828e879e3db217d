#pragma once
// What the two soaks share: the random draws (image sizes weighted to the
// layout's edges, random bytes, a compiler-like HEX file, one fault at a
// random step) and the checks on what a device was sent, worked out from the
// upload rules and never from the engine's code.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "protocol/exchange.h"
#include "sim/simulated_bootloader.h"
#include "tests/support/expected_flash.h"

namespace ql::test {

inline std::uint64_t EnvNumber(const char* name, std::uint64_t fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::strtoull(v, nullptr, 0) : fallback;
}

// ---- Draws -------------------------------------------------------------------

// Image sizes: anywhere from 0 to past BootStart, with extra weight on the
// edges (block multiples, the final block, BootStart, the 32767 limit).
inline std::int64_t PickLength(std::mt19937_64& rng, const sim::Config& c) {
  const std::int64_t E = c.info.EraseBlockSize, B = c.info.BootStart;
  std::uniform_int_distribution<int> kind(0, 9);
  auto close_to = [&](std::int64_t v) {
    return std::max<std::int64_t>(0, v + std::uniform_int_distribution<std::int64_t>(-2, 2)(rng));
  };
  switch (kind(rng)) {
    case 0:
      return std::uniform_int_distribution<std::int64_t>(0, 8)(rng);
    case 1:
      return close_to(B - E);
    case 2:
      return close_to(B);
    case 3:
      return close_to(E * std::uniform_int_distribution<std::int64_t>(1, B / E)(rng));
    case 4:
      return close_to(32767);
    case 5:
      return std::uniform_int_distribution<std::int64_t>(B, B + 3 * E)(rng);
    default:
      return std::uniform_int_distribution<std::int64_t>(0, B + 2 * E)(rng);
  }
}

// Some devices get another layout: a bootloader anywhere on a block boundary
// of the flash (block 1 leaves the program no room), and write blocks that
// do or do not tile the erase block. Zeros: the preset's own.
struct LayoutDraw {
  std::uint32_t boot_start = 0;
  std::uint16_t write_block = 0;
};

inline LayoutDraw DrawLayout(std::mt19937_64& layout, const sim::Config& preset) {
  LayoutDraw d;
  if (std::bernoulli_distribution(0.15)(layout)) {
    const std::uint32_t E = preset.info.EraseBlockSize, blocks = preset.flash_size / E;
    const std::uint32_t k = std::bernoulli_distribution(0.3)(layout)
                                ? std::uniform_int_distribution<std::uint32_t>(1, 3)(layout)
                                : std::uniform_int_distribution<std::uint32_t>(1, blocks - 1)(layout);
    d.boot_start = k * E;
    const std::uint16_t writes[] = {1, 8, static_cast<std::uint16_t>(E / 2), static_cast<std::uint16_t>(E),
                                    48, static_cast<std::uint16_t>(E + 16), static_cast<std::uint16_t>(2 * E)};
    d.write_block = writes[std::uniform_int_distribution<int>(0, 6)(layout)];
  }
  return d;
}

// One device fault, or a stop request after a packet, or nothing. `steps` is
// a rough count of the session's steps, so that faults land anywhere in it;
// the boot-info faults hit one of the `boot_info_requests` first steps.
struct FaultDraw {
  sim::Fault fault;
  int stop_after_packet = 0;  // 0: no stop request
};

inline FaultDraw DrawFault(std::mt19937_64& rng, std::int64_t steps, int boot_info_requests) {
  using sim::FaultKind;
  FaultDraw d;
  auto any_step = [&] { return static_cast<int>(std::uniform_int_distribution<std::int64_t>(1, steps)(rng)); };
  switch (std::uniform_int_distribution<int>(0, 11)(rng)) {
    case 0:
    case 1:
      d.fault = {FaultKind::NoAnswer, any_step()};
      break;
    case 2:
    case 3:
      d.fault = {FaultKind::WrongAnswer, any_step()};
      break;
    case 4:
    case 5:
      d.fault = {FaultKind::Unplug, any_step()};
      break;
    case 6:
      d.fault = {FaultKind::GarbageBootInfo, std::uniform_int_distribution<int>(1, boot_info_requests)(rng)};
      break;
    case 7:
      d.fault = {FaultKind::ShortBootInfo, std::uniform_int_distribution<int>(1, boot_info_requests)(rng)};
      break;
    case 8:
      d.stop_after_packet = std::uniform_int_distribution<int>(1, static_cast<int>(steps))(rng);
      break;
    case 9:
      if (std::bernoulli_distribution(0.2)(rng)) d.fault = {FaultKind::Silent, 0};
      break;
    default:
      break;  // no fault
  }
  return d;
}

inline std::vector<std::uint8_t> RandomImage(std::mt19937_64& rng, std::int64_t length) {
  std::vector<std::uint8_t> b(static_cast<std::size_t>(length));
  for (auto& x : b) x = static_cast<std::uint8_t>(rng() >> 56);
  return b;
}

// Where the PIC16 load stops taking records: a record starting below it is
// placed whole, so the HEX files below never let one cross it, and a PIC16
// load of them is exactly the image's first kPic16LoadLimit bytes.
inline constexpr std::size_t kPic16LoadLimit = 0x400E;

// The image as a compiler might write it: records of 1 to 32 bytes in
// shuffled order, each behind the extended linear address record of its
// address, CR LF or LF line ends, the end-of-file record last.
inline std::string ShuffledHexText(const std::vector<std::uint8_t>& image, std::mt19937_64& rng) {
  const char* eol = std::bernoulli_distribution(0.5)(rng) ? "\r\n" : "\n";
  std::string text;
  auto line = [&](std::uint8_t type, std::uint32_t address, const std::uint8_t* data, std::size_t n) {
    char field[8];
    unsigned sum = static_cast<unsigned>(n + (address >> 8 & 0xFF) + (address & 0xFF) + type);
    std::snprintf(field, sizeof field, ":%02X", static_cast<unsigned>(n));
    text += field;
    std::snprintf(field, sizeof field, "%04X%02X", address & 0xFFFF, type);
    text += field;
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < n; ++i) {
      text += kHex[data[i] >> 4];
      text += kHex[data[i] & 0x0F];
      sum += data[i];
    }
    std::snprintf(field, sizeof field, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    text += field;
    text += eol;
  };
  std::vector<std::pair<std::size_t, std::size_t>> records;
  for (std::size_t a = 0; a < image.size();) {
    std::size_t n = std::min<std::size_t>(std::uniform_int_distribution<std::size_t>(1, 32)(rng), image.size() - a);
    if (a < kPic16LoadLimit) n = std::min(n, kPic16LoadLimit - a);
    records.emplace_back(a, n);
    a += n;
  }
  std::shuffle(records.begin(), records.end(), rng);
  for (const auto& [a, n] : records) {
    const std::uint8_t upper[2] = {static_cast<std::uint8_t>(a >> 24), static_cast<std::uint8_t>(a >> 16)};
    line(4, 0, upper, 2);
    line(0, static_cast<std::uint32_t>(a), image.data() + a, n);
  }
  line(1, 0, nullptr, 0);
  return text;
}

// ---- What the device was sent --------------------------------------------------

// The layouts an upload can carry (the presets' boot info is otherwise
// sound): the program needs at least one block below the final block.
inline bool LayoutUsable(const TBootInfo& info) { return info.BootStart >= 2u * info.EraseBlockSize; }

// The one line an upload that refuses its boot info or image shows.
inline bool IsUploadRefusal(const std::string& line) {
  return line.rfind("Error: ", 0) == 0 && line.size() > 15 && line.ends_with("; cannot upload.");
}

// Byte ranges [begin, end) that a command erased or wrote on the device.
struct Range {
  std::int64_t begin = 0, end = 0;
};

inline Range Span(const sim::CommandRecord& c, std::int64_t E) {
  if (c.code == CMD_ERASE) {
    const std::int64_t top = c.address / E;
    return {(top + 1 - c.count) * E, (top + 1) * E};
  }
  return {c.address, std::int64_t{c.address} + c.count};
}

// Bytes covered by the ranges, as a sorted list of disjoint ranges.
inline std::vector<Range> Union(std::vector<Range> r) {
  std::sort(r.begin(), r.end(), [](Range a, Range b) { return a.begin < b.begin; });
  std::vector<Range> out;
  for (Range x : r) {
    if (x.begin >= x.end) continue;
    if (!out.empty() && x.begin <= out.back().end) out.back().end = std::max(out.back().end, x.end);
    else out.push_back(x);
  }
  return out;
}

inline bool Covered(const std::vector<Range>& by, Range r) {
  for (Range x : by)
    if (x.begin <= r.begin && r.end <= x.end) return true;
  return r.begin >= r.end;
}

inline bool SameRanges(const std::vector<Range>& a, const std::vector<Range>& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](Range x, Range y) { return x.begin == y.begin && x.end == y.end; });
}

// Every erase and write of `commands` stays below the bootloader start the
// host was told, and every write lands in flash these commands erased.
// Returns what was wrong, one "\n  - " line each ("" when nothing).
inline std::string CheckEraseAndWrites(const std::vector<sim::CommandRecord>& commands, const TBootInfo& host_info) {
  std::string bad;
  std::vector<Range> erased;
  const std::int64_t host_E = std::max<std::int64_t>(host_info.EraseBlockSize, 1);
  for (const auto& c : commands) {
    if (c.code != CMD_ERASE && c.code != CMD_WRITE) continue;
    const Range span = Span(c, c.code == CMD_ERASE ? host_E : 1);
    if (span.end > std::int64_t{host_info.BootStart})
      bad += "\n  - command " + std::to_string(c.code) + " at " + std::to_string(c.address) +
             " reaches the bootloader area";
    if (c.code == CMD_ERASE) erased.push_back(span);
    else if (!Covered(Union(erased), span))
      bad += "\n  - write at " + std::to_string(c.address) + " over unerased flash";
  }
  return bad;
}

// After a completed upload of L image bytes with the device's own boot info:
// the erase named exactly the blocks holding image bytes and the final block,
// and the writes covered exactly the main write and the final block.
inline std::string CheckCompletedCommands(const std::vector<sim::CommandRecord>& commands, const TBootInfo& info,
                                          std::int64_t L) {
  const Layout p = PlanFor(info, L);
  std::vector<Range> erased, writes;
  for (const auto& c : commands) {
    if (c.code == CMD_ERASE) erased.push_back(Span(c, info.EraseBlockSize));
    if (c.code == CMD_WRITE) writes.push_back(Span(c, 1));
  }
  const std::vector<Range> want_erased{{0, p.erase_blocks * info.EraseBlockSize}, {p.final_block, info.BootStart}};
  const std::vector<Range> want_written{{0, p.write_length}, {p.final_block, info.BootStart}};
  std::string bad;
  if (!SameRanges(Union(erased), Union(want_erased))) bad += "\n  - erased blocks differ from the image's blocks";
  if (!SameRanges(Union(writes), Union(want_written)))
    bad += "\n  - written bytes differ from the main write and final block";
  return bad;
}

}  // namespace ql::test
