#include "cli/production_line.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

#include "cli/hex_input.h"
#include "core/bootloader_name.h"
#include "core/mcu_family.h"
#include "session/device_link.h"

namespace ql::cli {

namespace {

// How often a board's progress row is redrawn, at most.
constexpr Micros kRowInterval = from_ms(100);

std::string Hex(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%X", v);
  return buf;
}

std::string ResultText(ExitCode code) {
  switch (code) {
    case ExitCode::Success: return "ok";
    case ExitCode::PermissionDenied: return "no access";
    case ExitCode::Interrupted: return "stopped";
    case ExitCode::HexRejected: return "file rejected";
    default: return "failed";
  }
}

}  // namespace

struct ProductionLine::Board {
  std::unique_ptr<TJvHidDevice> device;
  std::unique_ptr<BoardView> view;
  std::unique_ptr<Session> session;
  Task<bool> flow;
  BoardResult result;
  std::string identity;
  std::string label;  // what its lines start with
  Micros started = 0;
  std::int64_t pending_bytes = 0;  // of the write command under way
  bool ended = false;
  bool lost = false;  // has left the bus
};

// One board's lines, question and progress.
class ProductionLine::BoardView final : public SessionView {
 public:
  BoardView(ProductionLine& line, Board& board) : line_(line), board_(board) {}

  void AppendHistory(std::string_view text) override { Say(text); }
  void AppendTerminal(std::string_view text) override {
    // Byte lines start with spaces; the step lines ("Erase...") show with -v.
    if (line_.options_.verbose > 0 && !text.empty() && text.front() != ' ') Say(text);
  }
  void ProgressSetMax(std::int64_t max) override {
    max_ = max;
    position_ = 0;
    Row();
  }
  void ProgressStep() override {
    position_ = std::min(position_ + 7, max_);
    if (line_.json != nullptr) line_.json->Progress(line_.NameOf(board_), position_ / 7, max_ / 7, line_.loop_.now());
    if (line_.loop_.now() - drawn_at_ >= kRowInterval || position_ == max_) Row();
  }
  bool AskBootloaderArea() override {
    Say(kBootAreaQuestion);
    if (line_.options_.yes) {
      Say("Answered OK (--yes).");
      return true;
    }
    Say("Several boards are flashed: answered No (--yes answers OK).");
    return false;
  }
  void FinishUpload() override { Say("Disconnected."); }
  std::string DeviceName() override { return board_.result.device; }
  void PhaseChanged(SessionPhase phase) override {
    phase_ = phase;
    if (line_.json != nullptr) line_.json->Phase(line_.NameOf(board_), PhaseName(phase));
    Row();
  }

  void Say(std::string_view text, BoardRows::Kind kind = BoardRows::Kind::Ordinary) {
    // A CR LF inside the text (the question) starts a new line: each of them
    // names the board.
    std::string s(text);
    for (std::size_t at = 0;;) {
      const std::size_t nl = s.find("\r\n", at);
      line_.rows_.Line("[" + board_.label + "] " + s.substr(at, nl == std::string::npos ? nl : nl - at), kind);
      if (nl == std::string::npos) break;
      at = nl + 2;
    }
  }
  void Row() {
    drawn_at_ = line_.loop_.now();
    if (!line_.rows_.terminal()) return;
    if (board_.ended) {
      line_.rows_.SetRow(board_.label, "");
      return;
    }
    const int percent = max_ > 0 ? static_cast<int>(position_ * 100 / max_) : 0;
    const int filled = percent / 5;
    line_.rows_.SetRow(board_.label, "  " + board_.label + "  [" + std::string(filled, '#') +
                                         std::string(20 - filled, '.') + "] " + std::to_string(percent) + "%  " +
                                         std::string(PhaseName(phase_)));
  }

 private:
  ProductionLine& line_;
  Board& board_;
  std::int64_t max_ = 0;
  std::int64_t position_ = 0;
  Micros drawn_at_ = -kRowInterval;
  SessionPhase phase_ = SessionPhase::Attached;
};

ProductionLine::ProductionLine(EventLoop& loop, HidBackend& backend, LineOptions options, BoardRows& rows)
    : loop_(loop), options_(std::move(options)), rows_(rows) {
  ctl_ = std::make_unique<TJvHidDeviceController>(loop_, backend);
  ctl_->OnDeviceChange = [this] {
    ++rebuilds_;
    // Claimed outside the controller's own rebuild.
    loop_.post([this, alive = alive_] {
      if (*alive && accepting_) Scan();
    });
  };
  ctl_->OnRemoval = [this](TJvHidDevice& d) {
    taken_.erase(d.PnPInfo().DeviceID());
    for (auto& b : boards_) {
      if (b->identity != d.PnPInfo().DeviceID() || b->lost) continue;
      if (b->device.get() == &d && b->session) b->session->DeviceRemoved();
      b->lost = true;
      if (json != nullptr) json->BoardLost(NameOf(*b));
    }
  };
}

ProductionLine::~ProductionLine() {
  *alive_ = false;
  // Flows first, then their sessions, then the devices, then the controller.
  for (auto& b : boards_) b->flow = Task<bool>();
  for (auto& b : boards_) b->session.reset();
  for (auto& b : boards_) b->device.reset();
  ctl_.reset();
}

bool ProductionLine::Wanted(TJvHidDevice& d) const {
  if (d.ProductText() != BootloaderProductName) return false;
  const RealDeviceOptions& o = options_.device;
  const std::string& port = d.PnPInfo().info.port;
  if (!o.ports.empty() && std::find(o.ports.begin(), o.ports.end(), port) == o.ports.end()) return false;
  if (!o.serial.empty() && d.SerialText() != o.serial) return false;
  if (!o.path.empty() && d.PnPInfo().DevicePath() != o.path) return false;
  return true;
}

BoardName ProductionLine::NameOf(const Board& b) const { return {b.result.port, b.result.serial, b.result.path}; }

bool ProductionLine::Available(TJvHidDevice& d) const {
  if (d.Claimed() || taken_.count(d.PnPInfo().DeviceID()) != 0) return false;
  // A node udev is still setting up is not yet open to this user: it is
  // taken once udev has announced it.
  if (d.PnPInfo().info.settling && !d.CanReadWrite()) return false;
  return Wanted(d);
}

int ProductionLine::Candidates() {
  // Inside the enumeration the devices may be opened for their strings.
  int n = 0;
  ctl_->OnEnumerate = [&](TJvHidDevice& d, int) {
    if (Available(d)) ++n;
    return true;
  };
  ctl_->EnumerateDevices();
  ctl_->OnEnumerate = {};
  return n;
}

void ProductionLine::Reap() {
  // A board that has ended gives its device back and lets its session go, so
  // that a line running all day keeps only the results.
  for (auto& b : boards_) {
    if (!b->ended || !b->flow.done()) continue;
    b->flow = Task<bool>();
    b->session.reset();
    b->device.reset();
  }
}

void ProductionLine::Scan() {
  if (stopping_) return;
  if (options_.loop && options_.count > 0 &&
      static_cast<int>(boards_.size()) >= options_.count)
    return;
  // Inside the enumeration the devices may be opened for their strings.
  std::vector<int> wanted;
  ctl_->OnEnumerate = [&](TJvHidDevice& d, int idx) {
    if (Available(d)) wanted.push_back(idx);
    return true;
  };
  ctl_->EnumerateDevices();
  ctl_->OnEnumerate = {};
  for (const int idx : wanted) {
    if (options_.loop && options_.count > 0 && static_cast<int>(boards_.size()) >= options_.count) break;
    if (std::unique_ptr<TJvHidDevice> d = ctl_->ClaimByIndex(idx)) Start(std::move(d));
  }
}

void ProductionLine::Start(std::unique_ptr<TJvHidDevice> device) {
  auto board = std::make_unique<Board>();
  Board& b = *board;
  b.device = std::move(device);
  b.identity = b.device->PnPInfo().DeviceID();
  taken_.insert(b.identity);
  b.result.path = b.device->PnPInfo().DevicePath();
  b.result.port = b.device->PnPInfo().info.port;
  b.result.serial = b.device->SerialText();
  b.label = b.result.port.empty() ? b.result.path : b.result.port;
  if (!b.result.serial.empty()) b.label += " " + b.result.serial;
  b.view = std::make_unique<BoardView>(*this, b);
  b.session = std::make_unique<Session>(loop_, *b.device, *b.view, /*blocking_waits=*/false);
  b.session->exchange().OnPacketSent = [&b, this](std::span<const std::uint8_t> p) {
    // Data blocks of the write commands: what was written.
    if (b.pending_bytes > 0) {
      b.result.bytes += static_cast<std::int64_t>(p.size());
      b.pending_bytes -= std::min<std::int64_t>(b.pending_bytes, static_cast<std::int64_t>(p.size()));
    } else if (p.size() == 8 && p[0] == START_MARK && p[1] == CMD_WRITE) {
      b.pending_bytes = p[6] | (p[7] << 8);
    }
    if (options_.verbose > 0) b.view->Say(HexBytes(p));
  };
  b.started = loop_.now();
  boards_.push_back(std::move(board));
  b.view->Say("Found: " + DeviceName(*b.device) + " at " + b.result.path);
  if (json != nullptr) json->BoardFound(NameOf(b), DeviceName(*b.device));
  b.flow = Flow(b);
}

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
  if (!co_await s.ReadBootInfo()) {
    End(b, stopping_ ? ExitCode::Interrupted : ExitCode::Failed,
        s.failure() == SessionFailure::Removed ? "removed" : "the bootloader does not answer");
    co_return false;
  }
  const TBootInfo& info = s.BootInfo();
  b.result.device = info.BootDeviceName;
  b.result.family = FamilyName(info.McuType);
  b.view->Say("Device: " + info.BootDeviceName + " (" + b.result.family + "), bootloader at " + Hex(info.BootStart) +
              ", erase block " + std::to_string(info.EraseBlockSize) + ", write block " +
              std::to_string(info.WriteBlockSize));
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
    End(b, stopping_ ? ExitCode::Interrupted : ExitCode::Failed,
        s.failure() == SessionFailure::Removed ? "removed while connecting" : "no answer to the handshake");
    co_return false;
  }
  b.view->Say("Uploading:");
  const UploadOutcome outcome = co_await s.Upload(*image);
  switch (outcome) {
    case UploadOutcome::Completed:
      End(b, ExitCode::Success, "");
      co_return true;
    case UploadOutcome::Stopped:
      End(b, ExitCode::Interrupted, "stopped");
      break;
    case UploadOutcome::Declined:
      End(b, ExitCode::Failed, "declined: nothing was written");
      break;
    case UploadOutcome::Refused:
      End(b, ExitCode::Failed, "refused: the device's layout leaves no room, or the file is empty");
      break;
    case UploadOutcome::Failed:
      End(b, ExitCode::Failed, s.failure() == SessionFailure::Removed ? "removed during the upload" : "no answer");
      break;
  }
  co_return false;
}

void ProductionLine::End(Board& b, ExitCode code, std::string message) {
  b.ended = true;
  b.result.code = code;
  b.result.message = std::move(message);
  b.result.seconds = static_cast<double>(loop_.now() - b.started) / 1e6;
  b.view->Row();
  char tail[96];
  std::snprintf(tail, sizeof tail, " (%lld bytes in %.2f s)", static_cast<long long>(b.result.bytes),
                b.result.seconds);
  b.view->Say(code == ExitCode::Success ? std::string("Done") + tail : "Failed: " + b.result.message,
              BoardRows::Kind::Keep);
  results_.push_back(b.result);
  if (json != nullptr) json->Result(NameOf(b), code, b.result.message);
  if (log != nullptr) {
    ProductionRecord record;
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    record.unix_time_us = static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
    record.port = b.result.port;
    record.serial = b.result.serial;
    record.device = b.result.device;
    record.family = b.result.family_type;
    record.hex_file = options_.file;
    record.image_sha256 = b.result.image_sha256;
    record.image_bytes = b.result.image_bytes;
    record.result = code;
    record.message = b.result.message;
    record.seconds = b.result.seconds;
    std::string error;
    if (!log->Append(record, error)) {
      b.view->Say("Error: " + error, BoardRows::Kind::Keep);
      log_failed_ = true;
    }
  }
  if (on_result) on_result(b.result);
}

bool ProductionLine::Finished() const {
  const bool all_ended =
      std::all_of(boards_.begin(), boards_.end(), [](const auto& b) { return b->ended && !b->flow.valid(); });
  if (!all_ended) return false;
  if (stopping_) return true;
  if (!options_.loop) return true;
  return options_.count > 0 && static_cast<int>(results_.size()) >= options_.count;
}

void ProductionLine::Stop() {
  if (!stopping_) rows_.Line("Stopping every board...", BoardRows::Kind::Keep);
  stopping_ = true;
  accepting_ = false;
  for (auto& b : boards_) {
    if (!b->ended && b->session) b->session->Stop();
  }
}

ExitCode ProductionLine::Run() {
  const Micros deadline = loop_.now() + from_ms(std::int64_t{options_.device.wait_seconds} * 1000);
  loop_.run_until([this] { return rebuilds_ > 0; }, loop_.now() + from_ms(5000));
  if (options_.loop) {
    rows_.Line(options_.count > 0 ? "Waiting for bootloaders: " + std::to_string(options_.count) +
                                        " boards, each flashed as it is plugged in (Ctrl+C ends)..."
                                  : "Waiting for bootloaders: each is flashed as it is plugged in (Ctrl+C ends)...");
  } else {
    // The boards to flash together: those present now, or (--expect) once
    // that many are; --wait lets them come.
    const int want = std::max(1, options_.expect);
    if (options_.expect > 0 || options_.device.wait_seconds > 0) {
      if (options_.expect > 0) rows_.Line("Waiting for " + std::to_string(want) + " bootloaders...");
      loop_.run_until([&] { return stopping_ || Candidates() >= want; }, deadline);
    }
    if (stopping_) return ExitCode::Interrupted;
    const int present = Candidates();
    // One board asked for (no --all, at most one --port) and several fit.
    if (!options_.all && options_.device.ports.size() <= 1 && present > 1) {
      rows_.Line("quelloader-cli: more than one bootloader is attached; choose one with --port, --serial or "
                 "--path (or flash them all with --all)");
      return ExitCode::Usage;
    }
    if (present == 0 || present < options_.expect) {
      rows_.Line(options_.expect > 0 ? "Only " + std::to_string(present) + " of " + std::to_string(options_.expect) +
                                           " bootloaders appeared."
                                     : std::string("No bootloader found: no HID device named \"") +
                                           std::string(BootloaderProductName) + "\" is attached.");
      return ExitCode::NoDevice;
    }
  }
  accepting_ = true;
  Scan();
  // Without --loop the boards are the ones started now.
  if (!options_.loop) accepting_ = false;
  while (!Finished()) {
    loop_.process_events(loop_.now() + from_ms(1000));
    Reap();
  }
  accepting_ = false;
  rows_.Clear();
  PrintTable();
  if (json != nullptr) {
    std::vector<BoardOutcome> outcomes;
    for (const BoardResult& r : results_)
      outcomes.push_back({{r.port, r.serial, r.path}, r.device, r.code, r.message, r.bytes, r.seconds});
    json->Summary(outcomes);
  }

  if (results_.empty()) return stopping_ ? ExitCode::Interrupted : ExitCode::NoDevice;
  const auto failed = std::count_if(results_.begin(), results_.end(),
                                    [](const BoardResult& r) { return r.code != ExitCode::Success; });
  if (stopping_) return ExitCode::Interrupted;
  if (failed == 0) return log_failed_ ? ExitCode::Failed : ExitCode::Success;
  rows_.Line(std::to_string(failed) + " of " + std::to_string(results_.size()) +
                 (results_.size() == 1 ? " board failed." : " boards failed."),
             BoardRows::Kind::Keep);
  return ExitCode::Failed;
}

void ProductionLine::PrintTable() const {
  if (results_.empty()) return;
  std::size_t wp = 4, ws = 6, wd = 6;
  for (const BoardResult& r : results_) {
    wp = std::max(wp, (r.port.empty() ? r.path : r.port).size());
    ws = std::max(ws, r.serial.size());
    wd = std::max(wd, r.device.size());
  }
  auto pad = [](std::string s, std::size_t w) {
    s.resize(std::max(s.size(), w), ' ');
    return s;
  };
  rows_.Line(pad("port", wp) + "  " + pad("serial", ws) + "  " + pad("device", wd) + "  " + pad("result", 13) +
                 "     bytes  seconds",
             BoardRows::Kind::Keep);
  for (const BoardResult& r : results_) {
    char nums[48];
    std::snprintf(nums, sizeof nums, "%10lld  %7.2f", static_cast<long long>(r.bytes), r.seconds);
    rows_.Line(pad(r.port.empty() ? r.path : r.port, wp) + "  " + pad(r.serial.empty() ? "-" : r.serial, ws) + "  " +
                   pad(r.device.empty() ? "-" : r.device, wd) + "  " + pad(ResultText(r.code), 13) + nums,
               BoardRows::Kind::Keep);
  }
}

}  // namespace ql::cli
