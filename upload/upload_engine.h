#pragma once
// The upload: erase, the bootloader-area question, block-by-block write with
// an acknowledgement for every block, the block just below the bootloader
// written last with the PIC18 reset vector, and the reset.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/task.h"
#include "image/flash_image.h"
#include "protocol/exchange.h"

namespace ql {

// What the engine needs of its front end (window, command line, tests).
class UploadUi {
 public:
  virtual ~UploadUi() = default;
  virtual void AppendHistory(std::string_view line) = 0;
  // Called once per written image byte during the write: keep it cheap.
  virtual void AppendTerminal(std::string_view line) = 0;
  virtual void ProgressSetMax(std::int64_t max) = 0;
  virtual void ProgressStep() = 0;  // by 7, never past the maximum
  // The bootloader-area question; true continues, false declines.
  virtual bool AskBootloaderArea() = 0;
  // The question as the upload awaits it. A front end that must not hold up
  // the event loop while a person answers (several boards on one loop, the
  // answer read from a terminal) overrides this and resumes the upload with
  // the answer; by default it is the synchronous answer above.
  virtual Task<bool> AskBootloaderAreaTask() { co_return AskBootloaderArea(); }
  // The window's FinishUpload: not connected, captions back, progress 0,
  // history "Disconnected.".
  virtual void FinishUpload() = 0;
  // The device name the device box shows (for the removal line).
  virtual std::string DeviceName() = 0;
};

enum class UploadOutcome {
  Completed,  // reset sent, "Completed successfully." written; caller shows the dialog
  Declined,   // No at the bootloader-area question; FinishUpload done
  Failed,     // a wait failed; its line and FinishUpload done
  Refused,    // boot info or image unusable; its line and FinishUpload done
  Stopped,    // a stop request ended the transfer; caller shows the "aborted" texts
};

// The bootloader-area question, as the warning box shows it.
inline constexpr std::string_view kBootAreaQuestion =
    "HEX file contains code which can overwrite device bootloader area.\r\n"
    "These writes will be ignored.\r\n"
    "Continue?";

// Largest count one CMD_ERASE or CMD_WRITE carries.
inline constexpr std::uint32_t kMaxCommandCount = 32767;

// Runs one upload of `image` (a copy, taken when the upload starts) with the
// boot info in `exchange`. The bootloader-area question comes before anything
// is erased; nothing is erased or written at or above the final block except
// the final block itself; erases and writes longer than kMaxCommandCount go
// out as several commands, each with its own address. A stop request is
// exchange.CancelWaits(): the upload still takes the answer the device owes
// and finishes the write command it is in (data blocks carry no header, so
// anything sent next would be programmed), saying so in a history line, then
// ends as Stopped without a reset, the bootloader ready for the next connect.
// A second stop request abandons at once; that, and a device that stops
// answering meanwhile, end as Stopped with a line saying to reset the board.
UploadOutcome RunUpload(Exchange& exchange, FlashImage image, UploadUi& ui);
// The same upload as a coroutine: done on return with blocking waits; with
// suspending ones it goes on from the event loop (several boards at once).
Task<UploadOutcome> UploadTask(Exchange& exchange, FlashImage image, UploadUi& ui);

}  // namespace ql
