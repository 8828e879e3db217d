#include "upload/upload_engine.h"

#include <algorithm>
#include <array>
#include <string>
#include <utility>

namespace ql {

namespace {

constexpr std::int64_t kBlockTimeoutMs = 500;
constexpr std::int64_t kEraseMsPerBlock = 10;
constexpr std::int64_t kProgressPerByte = 7;

// A stop that cannot leave the device where it is says so.
constexpr std::string_view kStopFailed =
    "Error: The stopped command did not finish; reset the board before connecting again.";
constexpr std::string_view kStopAbandoned =
    "Stop abandoned: the bootloader is out of step; reset the board before connecting again.";

// The per-byte terminal line: two hex digits after 25 spaces (even address)
// or 13 spaces (odd address). One buffer for the whole upload, so writing a
// line allocates nothing.
class ByteLine {
 public:
  ByteLine() { line_.fill(' '); }
  std::string_view For(std::int64_t address, std::uint8_t value) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    line_[25] = kHex[value >> 4];
    line_[26] = kHex[value & 0x0F];
    return (address & 1) == 0 ? std::string_view(line_.data(), 27)
                              : std::string_view(line_.data() + 12, 15);
  }

 private:
  std::array<char, 27> line_{};
};

class Upload {
 public:
  Upload(Exchange& exchange, FlashImage image, UploadUi& ui)
      : ex_(exchange),
        image_(std::move(image)),
        ui_(ui),
        info_(exchange.BootInfo),
        stop_base_(exchange.StopRequests()) {}

  Task<UploadOutcome> Run();

 private:
  UploadOutcome Refuse(std::string_view line) {
    ui_.AppendHistory(line);
    ui_.FinishUpload();
    return UploadOutcome::Refused;
  }
  // A wait that did not end with the acknowledgement ends the upload. After
  // a stop request the caller shows its own "aborted" texts; only a stop that
  // could not close the device's open command adds lines.
  UploadOutcome Fail(WaitResult r) {
    if (abandoned_) {
      ui_.AppendHistory(kStopAbandoned);
      return UploadOutcome::Stopped;
    }
    ui_.AppendHistory(ReportWaitError(r, ui_.DeviceName()));
    if (stopping_) {
      ui_.AppendHistory(kStopFailed);
      return UploadOutcome::Stopped;
    }
    ui_.FinishUpload();
    return UploadOutcome::Failed;
  }

  // Waits for the answer to `code`. A stop request does not cut the wait
  // short: the device is still busy with the command (and, inside a write,
  // takes whatever comes next as data), so the answer is awaited within the
  // same time-out, and the caller then closes the open write command with
  // its remaining `blocks_left` data blocks and sends nothing more. A second
  // stop request abandons at once (WaitStopped).
  Task<WaitResult> Await(std::uint8_t code, std::int64_t timeout_ms, std::int64_t blocks_left);

  Task<WaitResult> MainErase(std::int64_t blocks);
  Task<WaitResult> MainWrite(std::int64_t length);
  Task<WaitResult> FinalBlock();

  Exchange& ex_;
  FlashImage image_;
  UploadUi& ui_;
  const TBootInfo info_;
  std::int64_t E_ = 0;
  std::int64_t L_ = 0;
  std::array<std::uint8_t, 4> SavedResetVector{0xFF, 0xFF, 0xFF, 0xFF};
  ByteLine byte_line_;
  // Stop requests counted when the upload began: one that comes at any time
  // after (inside a wait, or outside one, such as while the question is
  // open) holds for the rest of the upload.
  const std::uint64_t stop_base_;
  bool StopRequested() const { return ex_.StopRequests() != stop_base_; }
  bool stopping_ = false;   // a stop request came: close the open command, then end
  bool abandoned_ = false;  // a second one came: end at once
};

Task<WaitResult> Upload::Await(std::uint8_t code, std::int64_t timeout_ms, std::int64_t blocks_left) {
  const Micros deadline = ex_.loop().now() + from_ms(timeout_ms);
  WaitResult r = WaitResult::WaitStopped;
  // A stop that came between two waits is heard by the next one at once.
  const std::uint64_t stops = ex_.StopRequests() - stop_base_;
  if (stops == 0 || (stopping_ && stops == 1)) r = co_await ex_.Response(code, timeout_ms);
  if (r != WaitResult::WaitStopped) co_return r;
  if (stopping_ || ex_.StopRequests() - stop_base_ > 1) {
    abandoned_ = true;
    co_return r;
  }
  stopping_ = true;
  if (code == CMD_ERASE) {
    ui_.AppendHistory("Stopping: waiting for the device to finish the erase.");
  } else if (blocks_left == 0) {
    ui_.AppendHistory("Stopping: waiting for the device to take the data block.");
  } else {
    ui_.AppendHistory("Stopping: finishing the write command the device is in (" + std::to_string(blocks_left) +
                      (blocks_left == 1 ? " more data block)." : " more data blocks)."));
  }
  // What is left of this wait's time-out (at least 1 ms, so that an answer
  // that came with the stop request is still taken).
  const Micros left = deadline - ex_.loop().now();
  r = co_await ex_.Response(code, std::max<std::int64_t>(1, (left + 999) / 1000));
  if (r == WaitResult::WaitStopped) abandoned_ = true;
  co_return r;
}

Task<UploadOutcome> Upload::Run() {
  // The arithmetic below divides by both block sizes and places the final
  // block below BootStart; BootInfoUsable refuses every value that breaks it.
  std::string why;
  if (!BootInfoUsable(info_, &why)) co_return Refuse(why);
  const bool pic18 = info_.McuType == 2;

  E_ = info_.EraseBlockSize;
  L_ = image_.ImageEnd();
  const std::int64_t boot_start = info_.BootStart;
  const std::int64_t final_address = boot_start - E_;

  if (L_ == 0) co_return Refuse("Error: HEX file holds no data; cannot upload.");
  if (pic18 && L_ < 4) co_return Refuse("Error: HEX file holds fewer than the 4 bytes of a PIC18 reset vector; cannot upload.");

  // Data blocks are E bytes long and travel in TransferBuffer.
  if (ex_.TransferBuffer.size() < static_cast<std::size_t>(E_)) ex_.TransferBuffer.resize(E_, 0);

  // PIC18: the bootloader starts first and jumps to the program through the
  // reset vector saved below its area, so address 0 gets a GOTO BootStart.
  if (pic18) {
    std::copy_n(image_.bytes.begin(), 4, SavedResetVector.begin());
    const std::uint32_t k = info_.BootStart >> 1;
    image_.bytes[0] = static_cast<std::uint8_t>(k & 0xFF);
    image_.bytes[1] = 0xEF;
    image_.bytes[2] = static_cast<std::uint8_t>((k >> 8) & 0xFF);
    image_.bytes[3] = static_cast<std::uint8_t>(0xF0 | ((k >> 16) & 0x0F));
  }

  // Erase count: whole blocks covering the image, without the final block
  // (erased on its own) and never reaching into it or the bootloader area.
  std::int64_t n = L_ / E_ + (L_ % E_ != 0 ? 1 : 0);
  if (L_ > final_address && n > 0) --n;
  n = std::min(n, final_address / E_);

  // Asked before anything is erased, so that No leaves the device as it was.
  if (boot_start < L_) {
    const bool go_on = co_await ui_.AskBootloaderAreaTask();
    if (!go_on) {
      ui_.AppendTerminal("Upload aborted.");
      ui_.FinishUpload();
      co_return UploadOutcome::Declined;
    }
  }
  // A stop while the question was open: nothing has been sent yet.
  if (StopRequested()) co_return UploadOutcome::Stopped;

  ui_.AppendTerminal("Erase...");
  if (WaitResult r = co_await MainErase(n); r != WaitResult::WaitOk) co_return Fail(r);
  // A stop that came with the answer (in the same turn of the loop) ends the
  // upload here as well: the device has finished its command.
  if (stopping_ || StopRequested()) co_return UploadOutcome::Stopped;

  std::int64_t W = 0;
  if (L_ > final_address) {
    W = final_address;
  } else {
    const std::int64_t wb = info_.WriteBlockSize;
    W = (L_ + wb - 1) / wb * wb;
    // Never past the blocks the main erase cleared: a write block that does
    // not tile the erase block would otherwise round the write into flash
    // that still holds an older program. No image byte lies there.
    W = std::min({W, final_address, n * E_});
  }
  ui_.ProgressSetMax(kProgressPerByte * W);
  ui_.AppendTerminal("Write...");
  if (WaitResult r = co_await MainWrite(W); r != WaitResult::WaitOk) co_return Fail(r);
  if (stopping_ || StopRequested()) co_return UploadOutcome::Stopped;

  if (WaitResult r = co_await FinalBlock(); r != WaitResult::WaitOk) co_return Fail(r);
  // Stopped with the final block written: everything but the reset is done,
  // and a stop sends no reset.
  if (stopping_ || StopRequested()) co_return UploadOutcome::Stopped;

  ui_.AppendTerminal("Reset...");
  ex_.SendPlainCommand(CMD_RESET);
  ui_.AppendHistory("Completed successfully.");
  co_return UploadOutcome::Completed;
}

// Blocks 0 to blocks-1, at most kMaxCommandCount per command; each command
// names its own highest block.
Task<WaitResult> Upload::MainErase(std::int64_t blocks) {
  for (std::int64_t first = 0; first < blocks;) {
    const std::int64_t m = std::min<std::int64_t>(blocks - first, kMaxCommandCount);
    ex_.SendAddressedCommand(CMD_ERASE, static_cast<std::uint32_t>((first + m - 1) * E_),
                             static_cast<std::uint16_t>(m));
    WaitResult r = co_await Await(CMD_ERASE, kEraseMsPerBlock * m, 0);
    if (r != WaitResult::WaitOk || stopping_ || StopRequested()) co_return r;
    first += m;
  }
  co_return WaitResult::WaitOk;
}

// Bytes 0 to length-1 in data blocks of E bytes. A write longer than one
// command carries is cut into commands of whole erase blocks, each with its
// own address, so the blocks stay aligned. After a stop request the command
// under way still gets all its blocks (the image's own bytes, as planned);
// no further command starts.
Task<WaitResult> Upload::MainWrite(std::int64_t length) {
  const std::int64_t per_command =
      E_ > kMaxCommandCount ? kMaxCommandCount : kMaxCommandCount / E_ * E_;
  const std::uint8_t* image = image_.bytes.data();
  std::int64_t j = 0;
  // A new write command starts only while no stop has come; one under way
  // gets all its blocks.
  while (j < length && !stopping_ && !StopRequested()) {
    const std::int64_t c = std::min(length, j + per_command);
    ex_.SendAddressedCommand(CMD_WRITE, static_cast<std::uint32_t>(j), static_cast<std::uint16_t>(c - j));
    while (j < c) {
      // Taken afresh per block: a handler run during a wait may resize it.
      if (ex_.TransferBuffer.size() < static_cast<std::size_t>(E_)) ex_.TransferBuffer.resize(E_, 0);
      std::uint8_t* buffer = ex_.TransferBuffer.data();
      std::int64_t i = 0;
      for (; i < E_ && j < c; ++i, ++j) {
        if (j < L_) {
          buffer[i] = image[j];
          ui_.AppendTerminal(byte_line_.For(j, image[j]));
        } else {
          buffer[i] = 0xFF;
        }
        ui_.ProgressStep();
      }
      ex_.SendPacket(static_cast<std::size_t>(i));
      WaitResult r = co_await Await(CMD_WRITE, kBlockTimeoutMs, (c - j + E_ - 1) / E_);
      if (r != WaitResult::WaitOk) co_return r;
    }
  }
  co_return WaitResult::WaitOk;
}

// The erase block just below the bootloader: blank, with the program's own
// reset vector in its last four bytes on PIC18.
Task<WaitResult> Upload::FinalBlock() {
  const auto address = static_cast<std::uint32_t>(info_.BootStart - E_);
  ex_.SendAddressedCommand(CMD_ERASE, address, 1);
  WaitResult r = co_await Await(CMD_ERASE, kBlockTimeoutMs, 0);
  if (r != WaitResult::WaitOk || stopping_ || StopRequested()) co_return r;
  ex_.SendAddressedCommand(CMD_WRITE, address, static_cast<std::uint16_t>(E_));
  if (ex_.TransferBuffer.size() < static_cast<std::size_t>(E_)) ex_.TransferBuffer.resize(E_, 0);
  std::fill_n(ex_.TransferBuffer.begin(), E_, 0xFF);
  if (info_.McuType == 2) std::copy(SavedResetVector.begin(), SavedResetVector.end(), ex_.TransferBuffer.begin() + (E_ - 4));
  ex_.SendPacket(static_cast<std::size_t>(E_));
  const WaitResult r2 = co_await Await(CMD_WRITE, kBlockTimeoutMs, 0);
  co_return r2;
}

}  // namespace

Task<UploadOutcome> UploadTask(Exchange& exchange, FlashImage image, UploadUi& ui) {
  Upload upload(exchange, std::move(image), ui);
  const UploadOutcome outcome = co_await upload.Run();
  co_return outcome;
}

UploadOutcome RunUpload(Exchange& exchange, FlashImage image, UploadUi& ui) {
  Task<UploadOutcome> task = UploadTask(exchange, std::move(image), ui);
  // With blocking waits the task is done by now; with suspending ones the
  // loop runs until it is.
  while (!task.done()) exchange.loop().process_events(exchange.loop().now() + from_ms(1000));
  return task.result();
}

}  // namespace ql
