#pragma once
// The simulated boards of `flash --simulate`: N simulated bootloaders on the
// virtual HID backend (each with its port and serial when there are several,
// and its own fault), and the checks that make a --fault that could never
// strike a usage error rather than a run that quietly does nothing.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/event_loop.h"
#include "hid/virtual_hid_backend.h"
#include "hid/virtual_sim_device.h"
#include "protocol/exchange.h"
#include "sim/simulated_bootloader.h"

namespace ql::cli {

// One --fault KIND[@STEP][:BOARD]; board 0 stands for every board.
struct FaultOption {
  sim::Fault fault;
  int board = 0;
};

// Reads KIND[@STEP][:BOARD]; a malformed one is a usage error (Failure)
// naming --fault and what is wrong.
FaultOption ParseFault(const std::string& text);

// The packets the simulator counts as steps (commands and completed data
// blocks) that one flash of an image `image_end` bytes long takes on a device
// reporting `info`, from the boot-info request to the reset, when nothing
// goes wrong. `declined`: the bootloader-area question is answered No. An
// image the loader leaves empty ends after the boot-info request; boot info
// or an image the upload refuses, after the handshake.
int UploadSteps(const TBootInfo& info, std::int64_t image_end, bool declined);

// Every --fault must be able to strike: a board among --boards, at most one
// fault per board, a step the flash of `file` on the simulated device reaches
// (`declined` as for UploadSteps), and a boot-info fault on the boot-info
// request. Throws a usage error (Failure) naming the option otherwise.
void CheckFaults(const std::vector<std::string>& faults, int boards, const sim::Config& device, const std::string& file,
                 bool declined);

class SimulatedBoards {
 public:
  // `boards` simulated bootloaders of `device`, on ports sim-1 ... sim-N with
  // serial numbers SIM0001 and up when there are several. With `come_back`,
  // a board that left the bus (its reset) returns in its bootloader two
  // seconds later, as a board whose program jumps back would.
  SimulatedBoards(EventLoop& loop, VirtualHidBackend& backend, const sim::Config& device, int boards,
                  const std::vector<std::string>& faults, bool come_back);
  ~SimulatedBoards();
  SimulatedBoards(const SimulatedBoards&) = delete;
  SimulatedBoards& operator=(const SimulatedBoards&) = delete;

  // The first board's flash (--dump-flash).
  const std::vector<std::uint8_t>& flash() const;

 private:
  struct Slot {
    sim::Config config;
    VirtualHidSpec spec;
    std::unique_ptr<VirtualSimBootloader> device;
    Micros left_at = -1;
  };
  void Watch();

  EventLoop& loop_;
  VirtualHidBackend& backend_;
  std::vector<Slot> slots_;
  TimerId timer_ = 0;
};

}  // namespace ql::cli
