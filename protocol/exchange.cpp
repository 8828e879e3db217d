#include "protocol/exchange.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>
#include <optional>

namespace ql {

namespace {

// One report must fit in TransferBuffer, and so must the longest command.
constexpr std::size_t kMinTransferBuffer = kReportDataSize;

// How often a blocking wait whose packet is still on its way looks again
// (the device's write state change also wakes the loop when it is posted).
constexpr Micros kWriteCheck = from_ms(100);

}  // namespace

Exchange::Exchange(EventLoop& loop) : TransferBuffer(kMinTransferBuffer, 0), loop_(loop) {}

Exchange::~Exchange() { *alive_ = false; }

// ---- Sending ---------------------------------------------------------------

void Exchange::KeepMinimumBuffer() {
  if (TransferBuffer.size() < kMinTransferBuffer) TransferBuffer.resize(kMinTransferBuffer, 0);
}

void Exchange::SendPlainCommand(std::uint8_t code) {
  if (code == CMD_RESET && OnResetSent) OnResetSent();
  KeepMinimumBuffer();
  TransferBuffer[0] = START_MARK;
  TransferBuffer[1] = code;
  SendPacket(2);
}

void Exchange::SendAddressedCommand(std::uint8_t code, std::uint32_t address, std::uint16_t count) {
  KeepMinimumBuffer();
  TransferBuffer[0] = START_MARK;
  TransferBuffer[1] = code;
  for (int i = 0; i < 4; ++i) TransferBuffer[2 + i] = static_cast<std::uint8_t>(address >> (8 * i));
  TransferBuffer[6] = static_cast<std::uint8_t>(count);
  TransferBuffer[7] = static_cast<std::uint8_t>(count >> 8);
  SendPacket(8);
}

void Exchange::SendPacket(std::size_t length) {
  ReceiveCount = 0;
  DataReceived = false;
  if (CurrentDevice == nullptr) return;
  // Never send bytes from beyond the buffer.
  length = std::min(length, TransferBuffer.size());
  if (OnPacketSent) OnPacketSent(std::span<const std::uint8_t>(TransferBuffer.data(), length));

  std::size_t pos = 0;
  std::size_t remaining = length;
  std::vector<std::uint8_t> report;
  while (remaining > 0) {
    // Asked before every report: the device may change (or go) between them.
    ReportDevice* device = CurrentDevice;
    if (device == nullptr) return;
    const std::size_t report_length = device->OutputReportByteLength();
    // The report holds one ID byte and 64 data bytes; a device declaring a
    // longer report gets zeros after them. A shorter one would get a cut
    // report: the device link refuses such a device (OutputReportUsable).
    report.assign(std::max(report_length, kReportSize), 0);
    const std::size_t chunk = std::min(kReportDataSize, remaining);
    std::copy_n(TransferBuffer.begin() + static_cast<std::ptrdiff_t>(pos), chunk, report.begin() + 1);
    pos += chunk;
    remaining -= chunk;
    // A failed write is not reported: its acknowledgement will not come.
    (void)device->SendReport(std::span<const std::uint8_t>(report.data(), report_length));
  }
}

// ---- Receiving -------------------------------------------------------------

void Exchange::ShowRead(const std::uint8_t* Data, std::uint16_t Size) {
  KeepMinimumBuffer();
  if (Data != nullptr && ReceiveCount < TransferBuffer.size()) {
    // Bytes that do not fit behind what has arrived are dropped.
    const std::size_t room = TransferBuffer.size() - ReceiveCount;
    std::copy_n(Data, std::min<std::size_t>(Size, room), TransferBuffer.begin() + ReceiveCount);
  }
  // An empty report brings nothing to check: the buffer still holds the
  // packet just sent, which must not pass for its own acknowledgement.
  if (Size == 0) return;
  // Saturates rather than wrapping, so a flood of reports can never bring
  // the append position back over the first answer.
  const unsigned sum = static_cast<unsigned>(ReceiveCount) + Size;
  ReceiveCount = static_cast<std::uint16_t>(std::min<unsigned>(sum, std::numeric_limits<std::uint16_t>::max()));
  DataReceived = true;
  WakeParked();
}

void Exchange::ShowRead(std::span<const std::uint8_t> data) {
  const auto size = std::min<std::size_t>(data.size(), std::numeric_limits<std::uint16_t>::max());
  ShowRead(data.data(), static_cast<std::uint16_t>(size));
}

bool Exchange::CheckResponse(std::uint8_t code) {
  KeepMinimumBuffer();
  switch (code) {
    case CMD_BOOT_INFO:
      return ParseBootInfo();
    case CMD_HANDSHAKE_2:
    case CMD_HANDSHAKE_1:
    case CMD_WRITE:
    case CMD_ERASE:
      if (!DataReceived) return false;
      DataReceived = false;
      // Both bytes must have arrived; a one-byte report would otherwise pair
      // its 0x0F with the command code left over from the packet sent.
      return ReceiveCount >= 2 && TransferBuffer[0] == START_MARK && TransferBuffer[1] == code;
    default:
      return false;
  }
}

bool Exchange::ParseBootInfo() {
  if (!DataReceived) return false;
  DataReceived = false;
  KeepMinimumBuffer();
  // A write or erase acknowledgement is no record: a bootloader still inside
  // a write command answers the request's bytes as data with 0F 0B.
  if (ReceiveCount >= 2 && TransferBuffer[0] == START_MARK &&
      (TransferBuffer[1] == CMD_WRITE || TransferBuffer[1] == CMD_ERASE))
    return false;

  const std::size_t size = TransferBuffer.size();
  // A value reaching past the buffer reads 0 for its missing bytes.
  auto at = [&](std::size_t i) -> std::uint32_t { return i < size ? TransferBuffer[i] : 0; };

  const std::size_t length = TransferBuffer[0];
  std::size_t i = 0;
  while (i < length) {
    ++i;
    switch (at(i)) {
      case 1:
        BootInfo.McuType = static_cast<std::uint8_t>(at(i + 1));
        i += 1;
        break;
      case 3:
      case 4:
      case 5: {
        const auto value = static_cast<std::uint16_t>(at(i + 1) | at(i + 2) << 8);
        if (at(i) == 3) BootInfo.EraseBlockSize = value;
        else if (at(i) == 4) BootInfo.WriteBlockSize = value;
        else BootInfo.InfoWord5 = value;
        i += 2;
        break;
      }
      case 6:
        BootInfo.BootStart = at(i + 1) | at(i + 2) << 8 | at(i + 3) << 16 | at(i + 4) << 24;
        i += 4;
        break;
      case 7: {
        // The name ends at its zero byte, or at the buffer's end without one.
        std::string name;
        std::size_t j = i + 1;
        while (j < size && TransferBuffer[j] != 0) name.push_back(static_cast<char>(TransferBuffer[j++]));
        BootInfo.BootDeviceName = std::move(name);
        i = j;
        break;
      }
      default:
        break;  // the code byte alone is stepped over
    }
  }
  return true;
}

void Exchange::ApplyBlockSize() {
  TransferBuffer.resize(std::max<std::size_t>(BootInfo.EraseBlockSize, kMinTransferBuffer), 0);
}

// ---- Waiting ---------------------------------------------------------------

WaitResult Exchange::WaitForResponse(std::uint8_t code, std::int64_t timeout_ms) {
  EventLoop::WaitScope scope(loop_);
  const std::uint64_t generation = cancel_generation_;
  // This wait's own deadline: a wait nested inside it keeps its own and
  // cannot shorten this one. It starts when the packet has gone out.
  std::optional<Micros> deadline;
  int late_rounds = 0;
  for (;;) {
    if (cancel_generation_ != generation) return WaitResult::WaitStopped;
    if (CurrentDevice == nullptr) return WaitResult::WaitNoDevice;
    if (CheckResponse(code)) return WaitResult::WaitOk;
    if (CurrentDevice->WriteStalled()) return WaitResult::WaitWriteStalled;
    if (!deadline && !CurrentDevice->WritesPending()) deadline = loop_.now() + from_ms(timeout_ms);
    if (deadline && loop_.now() >= *deadline) {
      if (LateRound(late_rounds)) continue;
      return WaitResult::WaitTimeOut;
    }
    // While the packet is on its way the loop wakes when it has gone (or the
    // write has stalled).
    loop_.process_events(deadline ? *deadline : loop_.now() + kWriteCheck);
  }
}

WaitResult Exchange::WaitForPacketsGone() {
  EventLoop::WaitScope scope(loop_);
  const std::uint64_t generation = cancel_generation_;
  for (;;) {
    if (cancel_generation_ != generation) return WaitResult::WaitStopped;
    if (CurrentDevice == nullptr) return WaitResult::WaitNoDevice;
    if (CurrentDevice->WriteStalled()) return WaitResult::WaitWriteStalled;
    if (!CurrentDevice->WritesPending()) return WaitResult::WaitOk;
    loop_.process_events(loop_.now() + kWriteCheck);
  }
}

bool Exchange::LateRound(int& rounds) {
  if (rounds >= kMaxLateRounds) return false;
  ++rounds;
  if (loop_.process_ready()) return true;
  if (CurrentDevice != nullptr && CurrentDevice->InputPending()) {
    // Received, not yet handed over: the reader is on its way.
    loop_.process_events(loop_.now() + kLatePause);
    return true;
  }
  return false;
}

bool Exchange::WaitForDevice() {
  if (CurrentDevice != nullptr) return true;
  for (int sleeps = 0; sleeps < 10; ++sleeps) {
    loop_.sleep(from_ms(1));
    if (CurrentDevice != nullptr) return true;
  }
  return false;
}

void Exchange::CancelWaits() {
  ++cancel_generation_;
  WakeParked();
}

void Exchange::SetCurrentDevice(ReportDevice* device) {
  if (CurrentDevice != nullptr && CurrentDevice != device) CurrentDevice->SetWriteStateHandler({});
  CurrentDevice = device;
  // A parked wait hears at once when the packet has gone out or stalled.
  if (device != nullptr) {
    device->SetWriteStateHandler([this, alive = alive_] {
      if (*alive) WakeParked();
    });
  }
  WakeParked();
}

void Exchange::WakeParked() {
  if (parked_ != nullptr) parked_->Check();
}

Exchange::ResponseWait Exchange::Response(std::uint8_t code, std::int64_t timeout_ms) {
  return ResponseWait(*this, code, timeout_ms);
}

Exchange::ResponseWait Exchange::Sent() { return ResponseWait(*this, kPacketsGone, 0); }

Exchange::ResponseWait::~ResponseWait() {
  *alive_ = false;
  Unpark();
  if (resume_timer_) ex_.loop_.cancel(resume_timer_);
}

bool Exchange::ResponseWait::Decide() {
  if (ex_.cancel_generation_ != generation_) {
    result_ = WaitResult::WaitStopped;
  } else if (ex_.CurrentDevice == nullptr) {
    result_ = WaitResult::WaitNoDevice;
  } else if (code_ == kPacketsGone) {
    if (ex_.CurrentDevice->WriteStalled()) {
      result_ = WaitResult::WaitWriteStalled;
    } else if (!ex_.CurrentDevice->WritesPending()) {
      result_ = WaitResult::WaitOk;
    } else {
      return false;
    }
  } else if (ex_.CheckResponse(code_)) {
    result_ = WaitResult::WaitOk;
  } else if (ex_.CurrentDevice->WriteStalled()) {
    result_ = WaitResult::WaitWriteStalled;
  } else if (Expired()) {
    result_ = WaitResult::WaitTimeOut;
  } else {
    return false;
  }
  return true;
}

bool Exchange::ResponseWait::Expired() {
  if (!started_) {
    if (ex_.CurrentDevice->WritesPending()) return false;  // the device tells when they have gone
    started_ = true;
    deadline_ = ex_.loop_.now() + from_ms(timeout_ms_);
    if (awaiting_) ArmDeadline(deadline_);
  }
  if (ex_.loop_.now() < deadline_) return false;
  // Past the deadline. Everything the loop had ready when the deadline
  // timer ran goes first (a reader's hand-over posted in the same turn), and
  // then, while the device has an answer on its way, a short pause at a
  // time, within bounds.
  if (!awaiting_) return true;  // decided at once, before parking: nothing can be on its way yet
  if (late_rounds_ >= kMaxLateRounds) return true;
  if (late_rounds_ > 0 && !ex_.CurrentDevice->InputPending()) return true;
  const bool first = late_rounds_++ == 0;
  if (first && !ex_.CurrentDevice->InputPending()) {
    ex_.loop_.post([this, alive = alive_] {
      if (*alive && ex_.parked_ == this) Check();
    });
  } else {
    ArmDeadline(ex_.loop_.now() + kLatePause);
  }
  return false;
}

void Exchange::ResponseWait::ArmDeadline(Micros at) {
  if (deadline_timer_) ex_.loop_.cancel(deadline_timer_);
  deadline_timer_ = ex_.loop_.schedule_at(at, [this] {
    deadline_timer_ = 0;
    Check();
  });
}

bool Exchange::ResponseWait::await_ready() {
  if (ex_.blocking_waits_) {
    result_ = code_ == kPacketsGone ? ex_.WaitForPacketsGone() : ex_.WaitForResponse(code_, timeout_ms_);
    return true;
  }
  generation_ = ex_.cancel_generation_;
  return Decide();
}

void Exchange::ResponseWait::await_suspend(std::coroutine_handle<> awaiting) {
  awaiting_ = awaiting;
  ex_.parked_ = this;
  if (started_) ArmDeadline(deadline_);
}

void Exchange::ResponseWait::Check() {
  if (!Decide()) return;
  Unpark();
  // Resumed from the loop, never from inside the report handler or the
  // removal that decided it: the upload may go on to end the session that
  // is calling.
  resume_timer_ = ex_.loop_.schedule_at(ex_.loop_.now(), [this] {
    resume_timer_ = 0;
    awaiting_.resume();
  });
}

void Exchange::ResponseWait::Unpark() {
  if (ex_.parked_ == this) ex_.parked_ = nullptr;
  if (deadline_timer_) {
    ex_.loop_.cancel(deadline_timer_);
    deadline_timer_ = 0;
  }
}

// ---- Texts -----------------------------------------------------------------

std::string ReportWaitError(WaitResult result, std::string_view device_name) {
  switch (result) {
    case WaitResult::WaitNoDevice:
      return "Error: Device " + std::string(device_name) + " removed.";
    case WaitResult::WaitTimeOut:
      return "Error: Timeout waiting for MCU.";
    case WaitResult::WaitWriteStalled:
      return device_name.empty() ? std::string("Error: Device stopped taking reports.")
                                 : "Error: Device " + std::string(device_name) + " stopped taking reports.";
    case WaitResult::WaitOk:
    case WaitResult::WaitStopped:
      break;
  }
  return {};
}

bool BootInfoUsable(const TBootInfo& info, std::string* why) {
  std::string line;
  const unsigned erase = info.EraseBlockSize;
  if (erase == 0) {
    line = "Error: Device reports an erase block size of 0; cannot upload.";
  } else if (info.WriteBlockSize == 0) {
    line = "Error: Device reports a write block size of 0; cannot upload.";
  } else if (erase < kReportDataSize) {
    // A data block is one erase block and TransferBuffer holds at least one
    // report, so the two sizes would disagree.
    line = "Error: Device reports an erase block size of " + std::to_string(erase) +
           " bytes, below the 64 bytes of one report; cannot upload.";
  } else if (info.BootStart < erase) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%X", static_cast<unsigned>(info.BootStart));
    line = std::string("Error: Device reports a bootloader start address of ") + hex +
           ", below its erase block size; cannot upload.";
  } else if (info.BootStart % erase != 0) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%X", static_cast<unsigned>(info.BootStart));
    line = std::string("Error: Device reports a bootloader start address of ") + hex +
           ", not on an erase block boundary; cannot upload.";
  } else if (info.BootStart / erase < 2) {
    // The final block would be block 0: no byte of the program, and on PIC18
    // no jump to the bootloader, would have a place.
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%X", static_cast<unsigned>(info.BootStart));
    line = std::string("Error: Device reports a bootloader start address of ") + hex +
           ", which leaves no room for the program below the bootloader; cannot upload.";
  }
  if (line.empty()) return true;
  if (why != nullptr) *why = std::move(line);
  return false;
}

bool OutputReportUsable(std::size_t length, std::string* why) {
  if (length >= kReportSize) return true;
  if (why != nullptr) {
    *why = "Error: Device declares output reports of " + std::to_string(length) +
           " bytes; the protocol needs 64 data bytes per report.";
  }
  return false;
}

std::string HexBytes(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 3);
  for (std::uint8_t b : bytes) {
    if (!out.empty()) out.push_back(' ');
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0x0F]);
  }
  return out;
}

}  // namespace ql
