// One board's flow on the production line: boot info, the image for its
// family, the upload and the reset, each step's failure said in its own words.
#include <cstdio>
#include <cstring>
#include <exception>
#include <utility>

#include "cli/production_line.h"
#include "cli/production_line_board.h"
#include "core/bootloader_name.h"
#include "core/mcu_family.h"
#include "session/device_link.h"

namespace ql::cli {

namespace {

// A board whose writes are no longer taken (its own line says so above).
constexpr const char* kStalledText = "the device stopped taking reports";

std::string Hex(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%X", v);
  return buf;
}

}  // namespace

const FlashImage* ProductionLine::ImageFor(std::uint8_t mcu_type, std::string* why) {
  const McuFamily family = FamilyFromMcuType(mcu_type);
  auto it = images_.find(family);
  if (it != images_.end()) return &it->second;
  FlashImage image;
  const LoadResult r = LoadHexFile(options_.file, family, image);
  if (!r.ok()) {
    *why = r.message;
    return nullptr;
  }
  // Every record outside the family's program memory (a PIC18's
  // configuration bits alone, say): nothing to write into this board.
  if (image.ImageEnd() == 0) {
    *why = "the HEX file holds no data for a " + FamilyName(mcu_type) + " program memory";
    return nullptr;
  }
  return &images_.emplace(family, std::move(image)).first->second;
}

Task<bool> ProductionLine::Flow(Board& b) {
  Session& s = *b.session;
  if (!s.Attach()) {
    if (s.failure() == SessionFailure::NoAccess) {
      const int error = b.device->ReadWriteError();
      std::string message = "cannot open " + b.result.path + ": " + std::strerror(error);
      if (const std::string remedy = AccessRemedy(error); !remedy.empty()) message += ". " + remedy;
      End(b, IsAccessError(error) ? ExitCode::PermissionDenied : ExitCode::Failed, message);
    } else {
      End(b, ExitCode::Failed, "its output reports are too short");
    }
    co_return false;
  }
  // The phase a session starts in is told too.
  b.view->PhaseChanged(SessionPhase::Attached);
  if (!co_await s.ReadBootInfo()) {
    if (stopping_) {
      End(b, ExitCode::Interrupted, "stopped while reading the boot info");
    } else {
      End(b, ExitCode::Failed,
          s.failure() == SessionFailure::Removed        ? "removed"
          : s.failure() == SessionFailure::WriteStalled ? kStalledText
                                                        : "the bootloader does not answer");
    }
    co_return false;
  }
  const TBootInfo& info = s.BootInfo();
  b.result.device = info.BootDeviceName;
  b.result.family = FamilyName(info.McuType);
  b.view->Say("Device: " + info.BootDeviceName + " (" + b.result.family + ") at " + b.result.path +
              ", bootloader at " + Hex(info.BootStart) + ", erase block " + std::to_string(info.EraseBlockSize) +
              ", write block " + std::to_string(info.WriteBlockSize));
  std::string why;
  const FlashImage* image = ImageFor(info.McuType, &why);
  if (image == nullptr) {
    End(b, ExitCode::HexRejected, why);
    co_return false;
  }
  b.result.family_type = FamilyFromMcuType(info.McuType);
  b.result.image_bytes = image->ImageEnd();
  if (log != nullptr) b.result.image_sha256 = ImageSha256(image->bytes);
  if (stopping_) {
    End(b, ExitCode::Interrupted, "stopped before connecting");
    co_return false;
  }
  if (!co_await s.Connect()) {
    if (stopping_) {
      End(b, ExitCode::Interrupted, "stopped while connecting");
    } else {
      End(b, ExitCode::Failed,
          s.failure() == SessionFailure::Removed        ? "removed while connecting"
          : s.failure() == SessionFailure::WriteStalled ? kStalledText
                                                        : "no answer to the handshake");
    }
    co_return false;
  }
  // A stop that came with the handshake's answer: connected, nothing sent.
  if (stopping_) {
    End(b, ExitCode::Interrupted, "stopped before the upload: nothing was written");
    co_return false;
  }
  b.view->Say("Uploading:");
  b.upload_started = loop_.now();
  const UploadOutcome outcome = co_await s.Upload(*image);
  b.result.upload_seconds = static_cast<double>(loop_.now() - b.upload_started) / 1e6;
  switch (outcome) {
    case UploadOutcome::Completed: {
      // The reset is awaited by nobody, but it must have been taken: a
      // board that stopped listening before it is still in its bootloader.
      if (const WaitResult sent = co_await s.exchange().Sent(); sent == WaitResult::WaitWriteStalled) {
        b.view->Say(ReportWaitError(sent, b.result.device));
        End(b, ExitCode::Failed, "the device did not take the reset: it is still in its bootloader");
        break;
      }
      b.completed = true;
      b.view->Say("Disconnected.");
      End(b, ExitCode::Success, "Upload completed");
      co_return true;
    }
    case UploadOutcome::Stopped:
      End(b, ExitCode::Interrupted, "stopped during the upload");
      break;
    case UploadOutcome::Declined:
      if (b.answer_by_stop) {
        End(b, ExitCode::Interrupted, "stopped at the bootloader-area question: nothing was written");
      } else if (b.lost) {
        End(b, ExitCode::Failed, "removed at the bootloader-area question: nothing was written");
      } else {
        End(b, ExitCode::Failed, "declined at the bootloader-area question: nothing was written");
      }
      break;
    case UploadOutcome::Refused: {
      // The refusal's own line names the cause: a block size, the
      // bootloader's start, a file too short.
      std::string cause = b.last_history;
      if (cause.rfind("Error: ", 0) == 0) cause.erase(0, 7);
      End(b, ExitCode::Failed, cause.empty() ? "refused" : cause);
      break;
    }
    case UploadOutcome::Failed:
      End(b, ExitCode::Failed,
          s.failure() == SessionFailure::Removed        ? "removed during the upload"
          : s.failure() == SessionFailure::WriteStalled ? kStalledText
                                                        : "no answer");
      break;
  }
  co_return false;
}

}  // namespace ql::cli
