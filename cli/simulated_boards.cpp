#include "cli/simulated_boards.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <utility>

#include "cli/failure.h"
#include "core/mcu_family.h"
#include "core/parse_number.h"
#include "image/flash_image.h"
#include "sim/fault_names.h"
#include "upload/upload_engine.h"

namespace ql::cli {

namespace {

constexpr std::uint32_t kMaxFaultStep = 1000000;
constexpr std::uint32_t kMaxFaultBoard = 1000;

std::int64_t CeilDiv(std::int64_t a, std::int64_t b) { return (a + b - 1) / b; }

}  // namespace

FaultOption ParseFault(const std::string& text) {
  const auto colon = text.find(':');
  const std::string head = text.substr(0, colon);
  const auto at = head.find('@');
  const std::string name = head.substr(0, at);
  const auto kind = sim::FaultFromName(name);
  if (!kind) {
    throw Failure(ExitCode::Usage,
                  "--fault " + text + ": unknown kind '" + name + "' (one of " + std::string(sim::kFaultNames) + ")");
  }
  FaultOption option;
  option.fault.kind = *kind;
  if (at != std::string::npos) {
    const std::string word = head.substr(at + 1);
    const auto step = ParseNumber(word, kMaxFaultStep);
    if (!step) throw Failure(ExitCode::Usage, "--fault " + text + ": the step " + NotANumberText(word, kMaxFaultStep));
    option.fault.step = static_cast<int>(*step);
  }
  if (colon != std::string::npos) {
    const std::string word = text.substr(colon + 1);
    const auto board = ParseNumber(word, kMaxFaultBoard);
    if (!board)
      throw Failure(ExitCode::Usage, "--fault " + text + ": the board " + NotANumberText(word, kMaxFaultBoard));
    if (*board == 0) throw Failure(ExitCode::Usage, "--fault " + text + ": boards are numbered from 1");
    option.board = static_cast<int>(*board);
  }
  return option;
}

int UploadSteps(const TBootInfo& info, std::int64_t image_end, bool declined) {
  // The boot-info request; an image the loader leaves empty for the
  // device's family ends the board there.
  int steps = 1;
  const std::int64_t L = image_end;
  if (L == 0) return steps;
  // The handshake; the upload then refuses what it cannot carry, or the
  // question is answered No, before anything is erased.
  steps += 2;
  if (!BootInfoUsable(info, nullptr) || (info.McuType == 2 && L < 4)) return steps;
  const std::int64_t E = info.EraseBlockSize;
  const std::int64_t final_address = std::int64_t{info.BootStart} - E;
  if (declined && std::int64_t{info.BootStart} < L) return steps;
  // The main erase: whole blocks covering the image below the final block.
  std::int64_t n = CeilDiv(L, E);
  if (L > final_address && n > 0) --n;
  n = std::min(n, final_address / E);
  steps += static_cast<int>(CeilDiv(n, kMaxCommandCount));
  // The main write: commands of whole erase blocks, a data block each E bytes.
  std::int64_t W = 0;
  if (L > final_address) {
    W = final_address;
  } else {
    const std::int64_t wb = info.WriteBlockSize;
    W = std::min({CeilDiv(L, wb) * wb, final_address, n * E});
  }
  const std::int64_t per_command = E > kMaxCommandCount ? kMaxCommandCount : kMaxCommandCount / E * E;
  for (std::int64_t j = 0; j < W; j += per_command)
    steps += 1 + static_cast<int>(CeilDiv(std::min(per_command, W - j), E));
  // The final block: its erase, its write command and data block; the reset.
  return steps + 4;
}

void CheckFaults(const std::vector<std::string>& faults, int boards, const sim::Config& device, const std::string& file,
                 bool declined) {
  std::vector<int> faulted;
  std::optional<int> reach;  // steps of the flash; unknown while the file does not load
  for (const std::string& text : faults) {
    const FaultOption o = ParseFault(text);
    if (o.board > boards) {
      throw Failure(ExitCode::Usage, "--fault " + text + ": there is no board " + std::to_string(o.board) +
                                         " (--boards " + std::to_string(boards) + ")");
    }
    // One fault per board: a second one would replace the first.
    for (const int b : faulted) {
      if (b == 0 || o.board == 0 || b == o.board) {
        throw Failure(ExitCode::Usage,
                      "--fault " + text + ": " +
                          (o.board == 0 || b == 0 ? std::string("a board has a fault already")
                                                  : "board " + std::to_string(o.board) + " has a fault already") +
                          "; a board takes one");
      }
    }
    faulted.push_back(o.board);
    if (o.fault.step == 0) continue;
    const bool boot_info_fault =
        o.fault.kind == sim::FaultKind::GarbageBootInfo || o.fault.kind == sim::FaultKind::ShortBootInfo;
    if (boot_info_fault && o.fault.step != 1) {
      throw Failure(ExitCode::Usage, "--fault " + text + ": the boot-info request is step 1; at step " +
                                         std::to_string(o.fault.step) + " the fault never strikes");
    }
    if (!reach) {
      FlashImage image;
      if (!LoadHexFile(file, FamilyFromMcuType(device.info.McuType), image).ok()) continue;  // refused later
      reach = UploadSteps(device.info, image.ImageEnd(), declined);
    }
    if (o.fault.step > *reach) {
      throw Failure(ExitCode::Usage, "--fault " + text + ": the flash of this file takes " + std::to_string(*reach) +
                                         " steps on the simulated device; step " + std::to_string(o.fault.step) +
                                         " is never reached");
    }
  }
}

SimulatedBoards::SimulatedBoards(EventLoop& loop, VirtualHidBackend& backend, const sim::Config& device, int boards,
                                 const std::vector<std::string>& faults, bool come_back)
    : loop_(loop), backend_(backend) {
  for (int i = 1; i <= boards; ++i) {
    Slot slot;
    slot.config = device;
    if (boards > 1) {
      slot.spec.port = "sim-" + std::to_string(i);
      char serial[16];
      std::snprintf(serial, sizeof serial, "SIM%04d", i);
      slot.spec.serial = serial;
    }
    for (const std::string& text : faults) {
      const FaultOption o = ParseFault(text);
      if (o.board == 0 || o.board == i) slot.config.fault = o.fault;
    }
    slots_.push_back(std::move(slot));
  }
  for (Slot& slot : slots_)
    slot.device = std::make_unique<VirtualSimBootloader>(backend_, loop_, slot.config, slot.spec);
  if (come_back) Watch();
}

SimulatedBoards::~SimulatedBoards() {
  if (timer_ != 0) loop_.cancel(timer_);
}

const std::vector<std::uint8_t>& SimulatedBoards::flash() const { return slots_.front().device->model().flash(); }

void SimulatedBoards::Watch() {
  timer_ = loop_.schedule_after(from_ms(100), [this] {
    timer_ = 0;
    for (Slot& slot : slots_) {
      if (slot.device->attached()) continue;
      if (slot.left_at < 0) slot.left_at = loop_.now();
      if (loop_.now() - slot.left_at < from_ms(2000)) continue;
      slot.left_at = -1;
      // Back in its bootloader, as a board fresh from the shelf.
      slot.device = std::make_unique<VirtualSimBootloader>(backend_, loop_, slot.config, slot.spec);
    }
    Watch();
  });
}

}  // namespace ql::cli
