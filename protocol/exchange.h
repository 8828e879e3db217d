#pragma once
// The bootloader's command packets, its boot-info record and the one buffer
// through which every packet is sent and every answer received, with the
// waits for an answer under a time-out.

#include <coroutine>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/event_loop.h"

namespace ql {

inline constexpr std::uint8_t START_MARK = 0x0F;
inline constexpr std::uint8_t CMD_HANDSHAKE_2 = 0x01;
inline constexpr std::uint8_t CMD_BOOT_INFO = 0x02;
inline constexpr std::uint8_t CMD_HANDSHAKE_1 = 0x03;
inline constexpr std::uint8_t CMD_RESET = 0x04;
inline constexpr std::uint8_t CMD_WRITE = 0x0B;
inline constexpr std::uint8_t CMD_ERASE = 0x15;

// Every report carries a report-ID byte and 64 data bytes.
inline constexpr std::size_t kReportDataSize = 64;
inline constexpr std::size_t kReportSize = 1 + kReportDataSize;

// The device's boot-info record, decoded. Fields in the record's order.
struct TBootInfo {
  std::uint16_t InfoWord5 = 0;
  std::uint32_t BootStart = 0;
  std::uint8_t McuType = 0;  // 1 = PIC16, 2 = PIC18
  std::uint16_t EraseBlockSize = 0;
  std::uint16_t WriteBlockSize = 0;
  std::string BootDeviceName;
  bool operator==(const TBootInfo&) const = default;
};

// Results of a wait, in the order they are tested.
enum class WaitResult {
  WaitOk = 0,
  WaitNoDevice = 1,
  WaitTimeOut = 2,
  // Not a device outcome: the user cancelled the wait (stop request, or a
  // click on "Waiting... Disconnect"). Callers end quietly.
  WaitStopped = 3,
  // The device did not take a report within kHidWriteTimeLimit: it has
  // stopped listening.
  WaitWriteStalled = 4,
};

// What the exchange needs of the device it talks to: the HID device selected
// as the bootloader, the in-process simulated bootloader, or a test double.
class ReportDevice {
 public:
  virtual ~ReportDevice() = default;
  // Output report length declared by the device, report-ID byte included.
  virtual std::uint16_t OutputReportByteLength() = 0;
  // Writes one output report (byte 0 = report ID); true when it was taken
  // (or, for a device that writes in the background, queued).
  virtual bool SendReport(std::span<const std::uint8_t> report) = 0;
  // Whether an input report has arrived that has not been handed to the
  // exchange yet (in the platform's queue or on its way to the event thread).
  virtual bool InputPending() { return false; }
  // Devices that write in the background: whether reports are still on their
  // way to the device, and whether one has not been taken in the time a
  // device is given (it has stopped listening). `handler` is called on the
  // event thread when either changes.
  virtual bool WritesPending() { return false; }
  virtual bool WriteStalled() { return false; }
  virtual void SetWriteStateHandler(std::function<void()> handler) { (void)handler; }
};

class Exchange {
 public:
  explicit Exchange(EventLoop& loop);
  ~Exchange();
  Exchange(const Exchange&) = delete;
  Exchange& operator=(const Exchange&) = delete;

  // ---- State (owned here, touched only on the event thread) --------------
  std::vector<std::uint8_t> TransferBuffer;  // 64 zero bytes at start
  std::uint16_t ReceiveCount = 0;
  bool DataReceived = false;
  TBootInfo BootInfo;
  // The selected bootloader, or none. Owned by the device link or the
  // session. Clearing it ends a running wait with WaitNoDevice; with
  // suspending waits, clear it through SetCurrentDevice so that a parked wait
  // hears of it at once.
  ReportDevice* CurrentDevice = nullptr;
  void SetCurrentDevice(ReportDevice* device);

  // Called by SendPlainCommand(CMD_RESET) before the packet goes out: the
  // device link clears WarnOnRemoval there.
  std::function<void()> OnResetSent;
  // Observer of every packet sent (the command line's -v); may be empty.
  std::function<void(std::span<const std::uint8_t>)> OnPacketSent;

  EventLoop& loop() { return loop_; }

  // ---- Sending -----------------------------------------------------------
  void SendPlainCommand(std::uint8_t code);
  void SendAddressedCommand(std::uint8_t code, std::uint32_t address, std::uint16_t count);
  // Sends the first `length` bytes of TransferBuffer as 65-byte reports.
  void SendPacket(std::size_t length);

  // ---- Receiving -----------------------------------------------------------
  // The data handler installed on the bootloader device: appends one input
  // report's data bytes (without report ID) to TransferBuffer. Bytes that do
  // not fit in TransferBuffer are dropped; an empty report is no answer.
  void ShowRead(const std::uint8_t* Data, std::uint16_t Size);
  void ShowRead(std::span<const std::uint8_t> data);
  bool CheckResponse(std::uint8_t code);
  bool ParseBootInfo();

  // Sets TransferBuffer's length to EraseBlockSize, never below the 64 bytes
  // one report needs (kept bytes stay, new ones are zero).
  void ApplyBlockSize();

  // ---- Waiting -----------------------------------------------------------
  // Each wait owns its deadline; a wait nested in another cannot cut the
  // outer one's time-out. The time-out runs from the moment the packet has
  // gone out (a device that writes in the background tells when), and it is
  // the last thing a wait hears: when the deadline has passed, an answer
  // that has already arrived (handed over, in the reader's hands, or in the
  // platform's queue) and whatever else the loop has ready are taken first.
  // A loop that ran late (a busy machine, a stopped process) therefore never
  // turns a prompt answer into a time-out.
  WaitResult WaitForResponse(std::uint8_t code, std::int64_t timeout_ms);
  // Whether CurrentDevice is set, allowing up to ten 1 ms sleeps.
  bool WaitForDevice();
  // Makes every running wait return WaitStopped as soon as it is next polled.
  // Waits started afterwards are not affected.
  void CancelWaits();
  // Counts the CancelWaits() calls so far: lets the upload tell a second stop
  // request from the first.
  std::uint64_t StopRequests() const { return cancel_generation_; }

  // ---- Waiting inside a coroutine -------------------------------------------
  // `co_await Response(code, timeout_ms)` gives the same WaitResult as
  // WaitForResponse. With blocking waits (the default, the window's way) it
  // is WaitForResponse, processing events nested until the answer. Without,
  // the coroutine is parked and resumed from the event loop once the answer
  // has come, the time-out has passed, the device has gone or a stop request
  // came: several exchanges then wait side by side on one loop, each on its
  // own deadline. One wait at a time per exchange.
  class ResponseWait;
  ResponseWait Response(std::uint8_t code, std::int64_t timeout_ms);
  // `co_await Sent()`: until the packets sent have gone out (WaitOk), the
  // device has stopped taking them (WaitWriteStalled), gone (WaitNoDevice)
  // or a stop request came (WaitStopped). For a packet nothing answers, such
  // as CMD_RESET: no time-out of its own, the write time limit bounds it.
  ResponseWait Sent();
  void SetBlockingWaits(bool on) { blocking_waits_ = on; }
  bool BlockingWaits() const { return blocking_waits_; }

 private:
  friend class ResponseWait;
  // Re-checks a parked wait after something it waits for may have happened.
  void WakeParked();
  // The code of a wait for the packets' departure alone (no command has it).
  static constexpr std::uint8_t kPacketsGone = 0;
  WaitResult WaitForPacketsGone();
  // A wait whose deadline has passed: takes what the loop has ready, or
  // gives an answer the device has already sent a moment to arrive. True when
  // the wait should look again; `rounds` bounds how often (a device flooding
  // reports cannot keep a wait alive).
  bool LateRound(int& rounds);

  // Restores the 64-byte floor if someone shrank TransferBuffer directly.
  void KeepMinimumBuffer();

  // Bounds on the time a wait gives an answer already on its way once its
  // deadline has passed: a few rounds of a millisecond each.
  static constexpr int kMaxLateRounds = 200;
  static constexpr Micros kLatePause = 1000;

  EventLoop& loop_;
  std::uint64_t cancel_generation_ = 0;
  bool blocking_waits_ = true;
  ResponseWait* parked_ = nullptr;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

class Exchange::ResponseWait {
 public:
  ResponseWait(Exchange& exchange, std::uint8_t code, std::int64_t timeout_ms)
      : ex_(exchange), code_(code), timeout_ms_(timeout_ms) {}
  ~ResponseWait();
  ResponseWait(const ResponseWait&) = delete;
  ResponseWait& operator=(const ResponseWait&) = delete;

  bool await_ready();
  void await_suspend(std::coroutine_handle<> awaiting);
  WaitResult await_resume() const { return result_; }

 private:
  friend class Exchange;
  // The outcome so far, tested in WaitForResponse's order; false while none.
  bool Decide();
  // Whether the time-out has come; starts the deadline once the packet is out.
  bool Expired();
  void ArmDeadline(Micros at);
  void Check();
  void Unpark();

  Exchange& ex_;
  std::uint8_t code_;
  std::int64_t timeout_ms_;
  bool started_ = false;  // the deadline runs (the packet has gone out)
  int late_rounds_ = 0;
  Micros deadline_ = 0;
  std::uint64_t generation_ = 0;
  WaitResult result_ = WaitResult::WaitTimeOut;
  std::coroutine_handle<> awaiting_;
  TimerId deadline_timer_ = 0;
  TimerId resume_timer_ = 0;
  // Lets a late check posted to the loop tell that this wait has gone.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// The history line for a failed wait ("" for WaitOk and WaitStopped).
// `device_name` is the name the device box showed before a removal emptied it.
std::string ReportWaitError(WaitResult result, std::string_view device_name);

// Whether the upload's arithmetic can work with these boot-info values; if
// not, `why` gets the history line that refuses them. Refused: an erase or
// write block size of 0, an erase block below the 64 bytes of one report (a
// data block is one erase block, and TransferBuffer never holds less than one
// report), a bootloader start below one erase block (the final block's address
// would wrap) or off an erase block boundary (the final block would reach into
// the bootloader area), or one erase block up (the final block would be block
// 0, leaving the program no room).
bool BootInfoUsable(const TBootInfo& info, std::string* why);

// Whether a device whose output reports are `length` bytes long (report ID
// included) can carry the packets; if not, `why` gets the history line that
// refuses it. Every report has to hold 64 data bytes: a shorter one would cut
// every packet.
bool OutputReportUsable(std::size_t length, std::string* why);

// Upper-case hex bytes separated by spaces ("0F 15 C0 1F 00 00 7F 00").
std::string HexBytes(std::span<const std::uint8_t> bytes);

}  // namespace ql
