#pragma once
// What the upload tests share: a front end that records what the engine
// shows, a small bootloader double on virtual time that keeps its own flash
// and command log, and the memory layout an upload has to leave, worked out
// here from the layout rules and never from the engine's code.

#include <algorithm>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "core/virtual_event_loop.h"
#include "protocol/exchange.h"
#include "upload/upload_engine.h"

namespace ql::test {

class RecordingUi : public UploadUi {
 public:
  explicit RecordingUi(std::string name = "PIC18F4550") : name_(std::move(name)) {}

  void AppendHistory(std::string_view line) override { history.emplace_back(line); }
  void AppendTerminal(std::string_view line) override {
    ++terminal_count;
    if (terminal.size() < keep_terminal) terminal.emplace_back(line);
    last_terminal.assign(line);
  }
  void ProgressSetMax(std::int64_t max) override {
    progress_max = max;
    progress = 0;
  }
  void ProgressStep() override {
    ++progress_steps;
    progress = std::min(progress + 7, progress_max);
  }
  bool AskBootloaderArea() override {
    ++questions;
    return answer;
  }
  void FinishUpload() override {
    ++finish_calls;
    history.emplace_back("Disconnected.");
    progress = 0;
  }
  std::string DeviceName() override { return name_; }

  std::vector<std::string> history;
  std::vector<std::string> terminal;  // the first `keep_terminal` lines
  std::size_t keep_terminal = 100000;
  std::string last_terminal;
  std::size_t terminal_count = 0;
  std::int64_t progress_max = -1;
  std::int64_t progress = 0;
  std::int64_t progress_steps = 0;
  int questions = 0;
  bool answer = true;
  int finish_calls = 0;

 private:
  std::string name_;
};

// A bootloader on the far side of 65-byte reports: erase of `count` blocks
// ending at the named block, write of `count` bytes in data blocks of one
// erase block each, one acknowledgement per command or block after a 1 ms
// frame (erases take 2 ms a block more), reset leaves the bus. Anything that
// touches the bootloader area is refused (recorded, not carried out, still
// acknowledged). A fault can be placed on the k-th packet received.
class FakeBootloader : public ReportDevice {
 public:
  enum class Fault { None, NoAnswer, WrongAnswer, Unplug };
  struct Command {
    std::uint8_t code;
    std::uint32_t address;
    std::uint16_t count;
    bool refused;
  };

  FakeBootloader(VirtualEventLoop& loop, Exchange& ex, TBootInfo info, std::size_t flash_size, std::uint8_t fill)
      : flash(flash_size, fill), loop_(loop), ex_(ex), info_(std::move(info)) {
    ex_.BootInfo = info_;
    ex_.CurrentDevice = this;
    ex_.ApplyBlockSize();
    // The bootloader's own code: a pattern no upload writes.
    for (std::size_t a = info_.BootStart; a < flash.size(); ++a) flash[a] = static_cast<std::uint8_t>(0x5A ^ a);
  }

  std::uint16_t OutputReportByteLength() override { return kReportSize; }

  bool SendReport(std::span<const std::uint8_t> report) override {
    if (gone) return false;
    const std::uint8_t* d = report.data() + 1;
    if (data_left_ > 0) {
      // Raw data bytes of the running write, cut into erase blocks.
      const std::size_t take = std::min<std::size_t>(kReportDataSize, block_left_);
      block_.insert(block_.end(), d, d + take);
      block_left_ -= take;
      if (block_left_ == 0) EndOfBlock();
      return true;
    }
    if (d[0] != START_MARK) return true;
    const std::uint8_t code = d[1];
    const std::uint32_t address = d[2] | d[3] << 8 | d[4] << 16 | static_cast<std::uint32_t>(d[5]) << 24;
    const std::uint16_t count = static_cast<std::uint16_t>(d[6] | d[7] << 8);
    const int step = steps++;
    if (code == CMD_RESET) {
      commands.push_back({code, 0, 0, false});
      reset = true;
      Leave();
      return true;
    }
    if (code == CMD_ERASE) {
      const std::uint32_t E = info_.EraseBlockSize;
      const bool wraps = count == 0 || address / E + 1 < count;
      const bool refused = wraps || address + E > info_.BootStart;
      commands.push_back({code, address, count, refused});
      if (!refused && !Lost(step))
        std::fill_n(flash.begin() + (address / E + 1 - count) * E, std::size_t{count} * E, 0xFF);
      Reply(step, CMD_ERASE, 1000 + 2000 * Micros{count});
      return true;
    }
    if (code == CMD_WRITE) {
      const bool refused = std::uint64_t{address} + count > info_.BootStart;
      commands.push_back({code, address, count, refused});
      write_refused_ = refused;
      write_at_ = address;
      data_left_ = count;
      StartBlock();
      return true;
    }
    return true;
  }

  void PlaceFault(Fault kind, int step) {
    fault_ = kind;
    fault_step_ = step;
  }
  std::size_t refused_count() const {
    return std::count_if(commands.begin(), commands.end(), [](const Command& c) { return c.refused; });
  }

  std::vector<std::uint8_t> flash;
  std::vector<Command> commands;
  int steps = 0;  // packets received: commands and data blocks
  bool reset = false;
  bool gone = false;

 private:
  void StartBlock() {
    block_.clear();
    block_left_ = std::min<std::size_t>(data_left_, info_.EraseBlockSize);
  }
  void EndOfBlock() {
    const int step = steps++;
    data_left_ -= block_.size();
    const std::uint32_t at = write_at_;
    write_at_ += block_.size();
    if (!write_refused_ && !Lost(step)) std::copy(block_.begin(), block_.end(), flash.begin() + at);
    if (data_left_ > 0) StartBlock();
    Reply(step, CMD_WRITE, 1000);
  }
  // A packet lost to its fault is not carried out.
  bool Lost(int step) const {
    return step == fault_step_ && (fault_ == Fault::NoAnswer || fault_ == Fault::Unplug);
  }
  void Reply(int step, std::uint8_t code, Micros after) {
    if (step == fault_step_) {
      if (fault_ == Fault::NoAnswer) return;
      if (fault_ == Fault::Unplug) {
        loop_.schedule_after(after, [this] { Leave(); });
        return;
      }
      if (fault_ == Fault::WrongAnswer) code = code == CMD_WRITE ? CMD_ERASE : CMD_WRITE;
    }
    loop_.schedule_after(after, [this, code] {
      if (gone) return;
      std::vector<std::uint8_t> report(kReportDataSize, 0);
      report[0] = START_MARK;
      report[1] = code;
      ex_.ShowRead(report.data(), static_cast<std::uint16_t>(report.size()));
    });
  }
  void Leave() {
    gone = true;
    loop_.post([this] {
      if (ex_.CurrentDevice == this) ex_.CurrentDevice = nullptr;
    });
  }

  VirtualEventLoop& loop_;
  Exchange& ex_;
  TBootInfo info_;
  std::size_t data_left_ = 0;
  std::size_t block_left_ = 0;
  std::vector<std::uint8_t> block_;
  std::uint32_t write_at_ = 0;
  bool write_refused_ = false;
  Fault fault_ = Fault::None;
  int fault_step_ = -1;
};

// The layout a completed upload leaves, from the layout table: a PIC18 GOTO
// to the bootloader's word address in bytes 0-3, the image up to the main
// write's end W (0xFF past the image), untouched or erased flash up to the
// final block, the final block blank with the saved reset vector at its end
// on PIC18, and the bootloader area as it was.
inline std::vector<std::uint8_t> ExpectedFlash(const std::vector<std::uint8_t>& before, const TBootInfo& info,
                                               const std::vector<std::uint8_t>& image, std::size_t W,
                                               std::size_t erased_to) {
  std::vector<std::uint8_t> f = before;
  const std::size_t E = info.EraseBlockSize;
  const std::size_t final_block = info.BootStart - E;
  std::fill_n(f.begin(), erased_to, 0xFF);
  for (std::size_t a = 0; a < W; ++a) f[a] = a < image.size() ? image[a] : 0xFF;
  std::fill_n(f.begin() + final_block, E, 0xFF);
  if (info.McuType == 2) {
    const std::uint32_t k = info.BootStart / 2;
    f[0] = k & 0xFF;
    f[1] = 0xEF;
    f[2] = (k >> 8) & 0xFF;
    f[3] = 0xF0 | ((k >> 16) & 0x0F);
    std::copy_n(image.begin(), 4, f.begin() + info.BootStart - 4);
  }
  return f;
}

inline TBootInfo Pic18Info() { return {0, 0x7C00, 2, 64, 32, "PIC18F4550"}; }
inline TBootInfo Pic18jInfo() { return {0, 0xF000, 2, 1024, 64, "PIC18F46J50"}; }
inline TBootInfo Pic16Info() { return {0, 0x3C00, 1, 64, 64, "PIC16F1459"}; }

// An image whose bytes differ from their neighbours and from the flash fill.
inline FlashImage PatternImage(std::size_t length, McuFamily family = McuFamily::Pic18) {
  FlashImage image;
  image.family = family;
  image.bytes.resize(length);
  for (std::size_t i = 0; i < length; ++i) image.bytes[i] = static_cast<std::uint8_t>((i * 37 + (i >> 8) * 11 + 1) & 0xFF);
  return image;
}

inline std::string Line(int spaces, const char* hex) { return std::string(spaces, ' ') + hex; }

inline std::string HexOf(std::uint8_t b) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  return {kDigits[b >> 4], kDigits[b & 0x0F]};
}

// One upload against the bootloader double, with every packet recorded as
// it leaves the exchange.
struct Rig {
  explicit Rig(TBootInfo info, std::size_t flash_size = 0, std::uint8_t fill = 0xA5)
      : info(info), dev(loop, ex, info, flash_size ? flash_size : info.BootStart + 0x400, fill) {
    before = dev.flash;
    ex.OnPacketSent = [this](std::span<const std::uint8_t> p) {
      packets.emplace_back(p.begin(), p.end());
      sent_at.push_back(loop.now());
      if (on_packet) on_packet(packets.size());
    };
  }
  UploadOutcome Run(const FlashImage& image) { return RunUpload(ex, image, ui); }

  struct Cmd {
    std::uint8_t code;
    std::uint32_t address;
    std::uint16_t count;
    bool operator==(const Cmd&) const = default;
  };
  std::vector<Cmd> Commands() const {
    std::vector<Cmd> out;
    for (const auto& c : dev.commands) out.push_back({c.code, c.address, c.count});
    return out;
  }

  TBootInfo info;
  VirtualEventLoop loop;
  Exchange ex{loop};
  FakeBootloader dev;
  RecordingUi ui;
  std::vector<std::uint8_t> before;
  std::vector<std::vector<std::uint8_t>> packets;
  std::vector<Micros> sent_at;
  std::function<void(std::size_t)> on_packet;
};

}  // namespace ql::test
