#include "cli/production_line.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <utility>

#include "core/bootloader_name.h"
#include "core/mcu_family.h"
#include "session/device_link.h"

namespace ql::cli {

namespace {

// A board whose writes are no longer taken (its own line says so above).
constexpr const char* kStalledText = "the device stopped taking reports";

// How often a board's progress row is redrawn, at most.
constexpr Micros kRowInterval = from_ms(100);
// How long the end of a run waits for the boards it reset to leave the bus,
// so that their departure is told before the summary.
constexpr Micros kLeaveWait = from_ms(2000);

std::string Hex(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%X", v);
  return buf;
}

std::string ResultText(const BoardResult& r) {
  if (r.missing) return "missing";
  if (r.stopped) return "stopped";
  switch (r.code) {
    case ExitCode::Success: return "ok";
    case ExitCode::PermissionDenied: return "no access";
    case ExitCode::HexRejected: return "file rejected";
    default: return "failed";
  }
}

bool IsFailure(const BoardResult& r) { return r.code != ExitCode::Success && !r.stopped; }

// Ports in the order people count them: a run of digits compares as a
// number, so sim-2 comes before sim-10 and 1-2 before 1-10.
bool NaturalLess(const std::string& a, const std::string& b) {
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const bool da = std::isdigit(static_cast<unsigned char>(a[i])) != 0;
    const bool db = std::isdigit(static_cast<unsigned char>(b[j])) != 0;
    if (da && db) {
      std::size_t ei = i, ej = j;
      while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei])) != 0) ++ei;
      while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej])) != 0) ++ej;
      // Leading zeros aside, the longer run is the larger number.
      std::size_t si = i, sj = j;
      while (si + 1 < ei && a[si] == '0') ++si;
      while (sj + 1 < ej && b[sj] == '0') ++sj;
      if (ei - si != ej - sj) return ei - si < ej - sj;
      const int c = a.compare(si, ei - si, b, sj, ej - sj);
      if (c != 0) return c < 0;
      i = ei;
      j = ej;
      continue;
    }
    if (a[i] != b[j]) return a[i] < b[j];
    ++i;
    ++j;
  }
  return a.size() - i < b.size() - j;
}

std::string PortOf(const BoardResult& r) { return r.port.empty() ? r.path : r.port; }

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
  Micros upload_started = 0;
  std::int64_t pending_bytes = 0;  // of the write command under way
  std::string last_history;        // the upload's last history line: a refusal's cause
  bool ended = false;
  bool lost = false;       // has left the bus
  bool completed = false;  // its upload completed, and the reset went out
  // The bootloader-area question: the upload waiting for its answer.
  std::coroutine_handle<> asking;
  bool answer = false;
  bool answer_by_stop = false;
};

// The upload's wait for the answer to its question.
struct ProductionLine::AnswerWait {
  ProductionLine& line;
  Board& board;
  bool await_ready() const noexcept { return false; }
  void await_suspend(std::coroutine_handle<> h) {
    board.asking = h;
    line.questions_.push_back(&board);
    line.AskNext();
  }
  bool await_resume() const noexcept { return board.answer; }
};

// One board's lines, question and progress.
class ProductionLine::BoardView final : public SessionView {
 public:
  BoardView(ProductionLine& line, Board& board) : line_(line), board_(board) {}

  void AppendHistory(std::string_view text) override {
    board_.last_history = text;
    Say(text);
  }
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
    if (line_.json != nullptr) {
      line_.json->Progress(line_.NameOf(board_), position_ / 7, max_ / 7, line_.loop_.now());
    }
    if (line_.loop_.now() - drawn_at_ >= kRowInterval || position_ == max_) Row();
  }
  // Never called: the upload awaits the question's task below.
  bool AskBootloaderArea() override { return false; }
  Task<bool> AskBootloaderAreaTask() override {
    if (line_.options_.yes) {
      Say(kBootAreaQuestion);
      Say("Answered OK (--yes).");
      co_return true;
    }
    if (!line_.options_.ask || line_.answers == nullptr) {
      Say(kBootAreaQuestion);
      Say("No terminal to answer on: answered No (--yes answers OK).");
      co_return false;
    }
    if (line_.stopping_) {
      board_.answer_by_stop = true;
      co_return false;
    }
    const bool yes = co_await AnswerWait{line_, board_};
    co_return yes;
  }
  void FinishUpload() override { Say("Disconnected."); }
  std::string DeviceName() override { return board_.result.device; }
  void PhaseChanged(SessionPhase phase) override {
    phase_ = phase;
    if (line_.json != nullptr) line_.json->Phase(line_.NameOf(board_), PhaseName(phase));
    Row();
  }

  void Say(std::string_view text, BoardRows::Kind kind = BoardRows::Kind::Ordinary) {
    // A CR LF inside the text (the question) starts a new line: with several
    // boards each of them names the board.
    const std::string prefix = line_.options_.several ? "[" + board_.label + "] " : std::string();
    const std::string s(text);
    for (std::size_t at = 0;;) {
      const std::size_t nl = s.find("\r\n", at);
      line_.rows_.Line(prefix + s.substr(at, nl == std::string::npos ? nl : nl - at), kind);
      if (nl == std::string::npos) break;
      at = nl + 2;
    }
  }
  void Row() {
    drawn_at_ = line_.loop_.now();
    // While a question waits for its answer the rows stay off the screen:
    // the answer is typed below the last line.
    if (!line_.rows_.terminal() || line_.asking_) return;
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

namespace {
BoardName NameOfResult(const BoardResult& r) { return {r.port, r.serial, r.path}; }
}  // namespace

BoardName ProductionLine::NameOf(const Board& b) const { return NameOfResult(b.result); }

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
    const std::string id = d.PnPInfo().DeviceID();
    taken_.erase(id);
    settling_since_.erase(id);
    // A node chosen but not yet taken (udev was still setting it up) is gone.
    chosen_.erase(id);
    for (auto& b : boards_) {
      if (b->identity != id || b->lost) continue;
      b->lost = true;
      if (b->device.get() == &d && b->session) b->session->DeviceRemoved();
      if (json != nullptr) {
        json->BoardLost(NameOf(*b));
        CheckJson();
      }
      // Its open question has no board left to answer for.
      if (b->asking) Withdraw(*b);
    }
  };
}

ProductionLine::~ProductionLine() {
  *alive_ = false;
  if (asking_ && answers != nullptr) answers->Cancel();
  questions_.clear();
  if (settle_timer_ != 0) loop_.cancel(settle_timer_);
  // Flows first, then their sessions, then the devices, then the controller.
  for (auto& b : boards_) b->flow = Task<bool>();
  for (auto& b : boards_) b->session.reset();
  for (auto& b : boards_) b->device.reset();
  ctl_.reset();
}

bool ProductionLine::Wanted(TJvHidDevice& d) const {
  const RealDeviceOptions& o = options_.device;
  // A node named by --path is the bootloader, whatever its product string.
  if (!o.path.empty()) {
    if (d.PnPInfo().DevicePath() != o.path) return false;
  } else if (d.ProductText() != BootloaderProductName) {
    return false;
  }
  const std::string& port = d.PnPInfo().info.port;
  if (!o.ports.empty() && std::find(o.ports.begin(), o.ports.end(), port) == o.ports.end()) return false;
  if (!o.serial.empty() && d.SerialText() != o.serial) return false;
  return true;
}

bool ProductionLine::Available(TJvHidDevice& d) {
  const std::string id = d.PnPInfo().DeviceID();
  if (d.Claimed() || taken_.count(id) != 0 || !Wanted(d)) return false;
  if (!options_.loop && chosen_.count(id) == 0) return false;
  // A node udev is still setting up may not be open to this user yet: its
  // rule's access comes with udev's announcement, which is waited for (five
  // seconds, or as long as --wait says). Past that it is taken, and says why
  // it cannot be opened.
  if (d.PnPInfo().info.settling && !d.CanReadWrite()) {
    const Micros since = settling_since_.emplace(id, loop_.now()).first->second;
    const Micros until = std::max(since + from_ms(kSettleWaitMs), options_.loop ? 0 : wait_deadline_);
    if (loop_.now() < until) {
      SettleCheckAt(until);
      return false;
    }
  }
  return true;
}

void ProductionLine::SettleCheckAt(Micros at) {
  if (settle_timer_ != 0 && settle_timer_at_ <= at) return;
  if (settle_timer_ != 0) loop_.cancel(settle_timer_);
  settle_timer_at_ = at;
  settle_timer_ = loop_.schedule_at(at, [this] {
    settle_timer_ = 0;
    if (accepting_) Scan();
  });
}

std::vector<std::pair<std::string, std::string>> ProductionLine::Present() {
  // Inside the enumeration the devices may be opened for their strings.
  std::vector<std::pair<std::string, std::string>> present;
  ctl_->OnEnumerate = [&](TJvHidDevice& d, int) {
    if (!d.Claimed() && taken_.count(d.PnPInfo().DeviceID()) == 0 && Wanted(d))
      present.emplace_back(d.PnPInfo().DeviceID(), AttachedLine(d));
    return true;
  };
  ctl_->EnumerateDevices();
  ctl_->OnEnumerate = {};
  return present;
}

bool ProductionLine::Enough() {
  int present = 0;
  std::set<std::string> ports;
  ctl_->OnEnumerate = [&](TJvHidDevice& d, int) {
    if (!d.Claimed() && Wanted(d)) {
      ++present;
      ports.insert(d.PnPInfo().info.port);
    }
    return true;
  };
  ctl_->EnumerateDevices();
  ctl_->OnEnumerate = {};
  if (options_.expect > 0 && present < options_.expect) return false;
  // Every port named is a board expected.
  for (const std::string& p : options_.device.ports)
    if (ports.count(p) == 0) return false;
  return present > 0;
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
  const auto room = [this] {
    return !options_.loop || options_.count == 0 || static_cast<int>(boards_.size()) < options_.count;
  };
  if (!room()) return;
  std::vector<int> wanted;
  ctl_->OnEnumerate = [&](TJvHidDevice& d, int idx) {
    // A node chosen that no longer fits (its strings changed) is let go.
    if (!options_.loop && chosen_.count(d.PnPInfo().DeviceID()) != 0 && !Wanted(d))
      chosen_.erase(d.PnPInfo().DeviceID());
    if (Available(d)) wanted.push_back(idx);
    return true;
  };
  ctl_->EnumerateDevices();
  ctl_->OnEnumerate = {};
  for (const int idx : wanted) {
    if (!room()) break;
    if (std::unique_ptr<TJvHidDevice> d = ctl_->ClaimByIndex(idx)) Start(std::move(d));
  }
}

void ProductionLine::Start(std::unique_ptr<TJvHidDevice> device) {
  auto board = std::make_unique<Board>();
  Board& b = *board;
  b.device = std::move(device);
  b.identity = b.device->PnPInfo().DeviceID();
  taken_.insert(b.identity);
  chosen_.erase(b.identity);
  settling_since_.erase(b.identity);
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
      ++b.result.blocks;
      b.result.bytes += static_cast<std::int64_t>(p.size());
      b.pending_bytes -= std::min<std::int64_t>(b.pending_bytes, static_cast<std::int64_t>(p.size()));
    } else if (p.size() == 8 && p[0] == START_MARK && p[1] == CMD_WRITE) {
      b.pending_bytes = p[6] | (p[7] << 8);
    }
    if (options_.verbose > 0) b.view->Say(HexBytes(p));
  };
  b.started = loop_.now();
  boards_.push_back(std::move(board));
  if (options_.several) b.view->Say("Found: " + DeviceName(*b.device) + " at " + b.result.path);
  if (json != nullptr) {
    json->BoardFound(NameOf(b), DeviceName(*b.device));
    CheckJson();
  }
  b.flow = Flow(b);
  CheckFlows();
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

void ProductionLine::CheckFlows() {
  // A flow that ended without a result threw: that board fails with what it
  // threw, and the others go on.
  for (auto& b : boards_) {
    if (b->ended || !b->flow.valid() || !b->flow.done()) continue;
    std::string what = "the board's flow ended without a result";
    try {
      b->flow.result();
    } catch (const std::exception& e) {
      what = e.what();
    } catch (...) {
      what = "an unknown error";
    }
    End(*b, ExitCode::Failed, what);
  }
}

void ProductionLine::End(Board& b, ExitCode code, std::string message) {
  b.ended = true;
  if (code == ExitCode::Interrupted) {
    // Stopped by the stop request: the signal that asked for it names the code.
    b.result.stopped = true;
    code = stop_code_;
  }
  b.result.code = code;
  b.result.message = std::move(message);
  b.result.seconds = static_cast<double>(loop_.now() - b.started) / 1e6;
  b.view->Row();
  // The record first: a board whose record could not be written is not
  // flashed the way the station promised, and its result says so.
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
    record.result = b.result.code;
    record.message = b.result.message;
    record.seconds = b.result.seconds;
    std::string error;
    if (!log->Append(record, error)) {
      if (!log_failed_) rows_.Line("Error: " + error, BoardRows::Kind::Keep);
      log_failed_ = true;
      if (b.result.code == ExitCode::Success) {
        b.result.code = ExitCode::Failed;
        b.result.message = "flashed, but its --log record could not be written";
      } else {
        b.result.message += "; its --log record could not be written";
      }
      b.result.stopped = false;
    }
  }
  const BoardResult& r = b.result;
  if (r.code == ExitCode::Success) {
    char tail[160];
    if (options_.several) {
      std::snprintf(tail, sizeof tail, "Done (%lld bytes in %.2f s)", static_cast<long long>(r.bytes), r.seconds);
    } else {
      std::snprintf(tail, sizeof tail, "Wrote %lld bytes of a %lld-byte image in %lld blocks in %.2f s.",
                    static_cast<long long>(r.bytes), static_cast<long long>(r.image_bytes),
                    static_cast<long long>(r.blocks), r.upload_seconds);
    }
    b.view->Say(tail, BoardRows::Kind::Keep);
  } else if (r.stopped) {
    b.view->Say(options_.several ? "Interrupted: " + r.message : std::string("Interrupted."), BoardRows::Kind::Keep);
  } else {
    b.view->Say("Failed: " + r.message, BoardRows::Kind::Keep);
  }
  results_.push_back(r);
  if (json != nullptr) {
    json->Result(NameOf(b), r.code, r.message);
    CheckJson();
  }
  if (on_result) on_result(r);
}

void ProductionLine::Record(const BoardResult& r) {
  results_.push_back(r);
  if (json != nullptr) {
    json->Result(NameOfResult(r), r.code, r.message);
    CheckJson();
  }
  if (log != nullptr) {
    ProductionRecord record;
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    record.unix_time_us = static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
    record.port = r.port;
    record.hex_file = options_.file;
    record.result = r.code;
    record.message = r.message;
    std::string error;
    if (!log->Append(record, error)) {
      if (!log_failed_) rows_.Line("Error: " + error, BoardRows::Kind::Keep);
      log_failed_ = true;
      results_.back().message += "; its --log record could not be written";
    }
  }
  if (on_result) on_result(results_.back());
}

void ProductionLine::CheckJson() {
  if (json == nullptr || json->ok() || json_failed_) return;
  json_failed_ = true;
  rows_.Line("Error: the --json events could not be written to standard output; the run fails.", BoardRows::Kind::Keep);
}

void ProductionLine::AddMissing(bool none_found) {
  // Every port named is a board the user expects: one that never showed is
  // a result of its own.
  if (options_.loop) return;
  std::set<std::string> seen;
  for (const std::string& port : options_.device.ports) {
    if (!seen.insert(port).second) continue;
    if (std::any_of(results_.begin(), results_.end(), [&](const BoardResult& r) { return r.port == port; })) continue;
    BoardResult r;
    r.port = port;
    r.code = ExitCode::NoDevice;
    r.missing = true;
    r.message = "no bootloader showed on port " + port;
    rows_.Line("No bootloader on port " + port + ".", BoardRows::Kind::Keep);
    Record(r);
  }
  if (!none_found || seen.empty()) return;
  // None of them there: what is, so that a mistyped port shows.
  std::vector<std::string> attached;
  ctl_->OnEnumerate = [&](TJvHidDevice& d, int) {
    if (d.ProductText() == BootloaderProductName) attached.push_back(AttachedLine(d));
    return true;
  };
  ctl_->EnumerateDevices();
  ctl_->OnEnumerate = {};
  if (attached.empty()) {
    rows_.Line(NoBoardText());
    return;
  }
  rows_.Line("Attached bootloaders:");
  for (const std::string& l : attached) rows_.Line(l);
}

bool ProductionLine::Finished() const {
  const bool all_ended =
      std::all_of(boards_.begin(), boards_.end(), [](const auto& b) { return b->ended && !b->flow.valid(); });
  if (!all_ended) return false;
  if (stopping_) return true;
  if (!options_.loop) return chosen_.empty();
  return options_.count > 0 && static_cast<int>(results_.size()) >= options_.count;
}

bool ProductionLine::ResetBoardsGone() const {
  return std::all_of(boards_.begin(), boards_.end(), [](const auto& b) { return !b->completed || b->lost; });
}

void ProductionLine::Stop(ExitCode code) {
  if (!stopping_) {
    stop_code_ = code;
    if (options_.several) rows_.Line("Stopping every board...", BoardRows::Kind::Keep);
  }
  stopping_ = true;
  accepting_ = false;
  // An open question is answered No: nothing has been erased yet.
  std::deque<Board*> open;
  open.swap(questions_);
  if (asking_ && answers != nullptr) answers->Cancel();
  asking_ = false;
  for (Board* b : open) {
    b->answer_by_stop = true;
    Answered(*b, false, "Stopped: answered No.");
  }
  for (auto& b : boards_) {
    if (!b->ended && b->session) b->session->Stop();
  }
}

void ProductionLine::AskNext() {
  if (asking_ || questions_.empty()) return;
  asking_ = true;
  // The rows go while the answer is typed.
  rows_.Clear();
  Board& b = *questions_.front();
  std::string question(kBootAreaQuestion);
  b.view->Say(question + " [y/N]");
  answers->Read([this, &b, alive = alive_](bool yes) {
    if (!*alive || questions_.empty() || questions_.front() != &b) return;
    questions_.pop_front();
    asking_ = false;
    Answered(b, yes, yes ? "Answered Yes." : "Answered No.");
    AskNext();
  });
}

void ProductionLine::Answered(Board& b, bool yes, const char* how) {
  b.answer = yes;
  b.view->Say(how);
  // Resumed from the loop, as an answer from the device is: never inside
  // the stop request or the removal that gave the answer.
  if (std::coroutine_handle<> h = std::exchange(b.asking, {})) {
    loop_.post([h, alive = alive_] {
      if (*alive) h.resume();
    });
  }
}

void ProductionLine::Withdraw(Board& b) {
  const bool first = !questions_.empty() && questions_.front() == &b;
  questions_.erase(std::remove(questions_.begin(), questions_.end(), &b), questions_.end());
  if (first && asking_) {
    if (answers != nullptr) answers->Cancel();
    asking_ = false;
  }
  Answered(b, false, "Removed: answered No.");
  AskNext();
}

std::string ProductionLine::NoBoardText() const {
  const RealDeviceOptions& o = options_.device;
  if (!o.path.empty()) return "No HID device at " + o.path + ".";
  std::string text = "No bootloader found: no HID device named \"" + std::string(BootloaderProductName) + "\"";
  if (!o.serial.empty()) text += " with serial number " + o.serial;
  return text + " is attached.";
}

ExitCode ProductionLine::Outcome() {
  const bool output_failed = log_failed_ || json_failed_;
  if (results_.empty()) {
    if (stopping_) {
      if (!options_.several) rows_.Line("Interrupted.", BoardRows::Kind::Keep);
      return stop_code_;
    }
    // The boards chosen left the bus before they could be taken.
    if (!options_.loop) rows_.Line(NoBoardText());
    return ExitCode::NoDevice;
  }
  const auto failed = std::count_if(results_.begin(), results_.end(), IsFailure);
  const bool none_found = std::all_of(results_.begin(), results_.end(), [](const BoardResult& r) { return r.missing; });
  if (!options_.several && results_.size() == 1) {
    const ExitCode own = results_.front().code;
    return own == ExitCode::Success && output_failed ? ExitCode::Failed : own;
  }
  if (failed == 0) return output_failed ? ExitCode::Failed : stopping_ ? stop_code_ : ExitCode::Success;
  rows_.Line(std::to_string(failed) + " of " + std::to_string(results_.size()) +
             (results_.size() == 1 ? " board failed." : " boards failed."),
             BoardRows::Kind::Keep);
  // A stop does not hide a failure: the shift had one.
  return none_found ? ExitCode::NoDevice : ExitCode::Failed;
}

ExitCode ProductionLine::Run() {
  wait_deadline_ = loop_.now() + from_ms(std::int64_t{options_.device.wait_seconds} * 1000);
  loop_.run_until([this] { return rebuilds_ > 0; }, loop_.now() + from_ms(5000));
  bool none_found = false;
  if (options_.loop) {
    rows_.Line(options_.count > 0 ? "Waiting for bootloaders: " + std::to_string(options_.count) +
                                        " boards, each flashed as it is plugged in (Ctrl+C ends)..."
                                  : "Waiting for bootloaders: each is flashed as it is plugged in (Ctrl+C ends)...");
  } else {
    // The boards to flash: those present now, or (--wait) once every port
    // named and --expect boards are.
    if (options_.expect > 0 || options_.device.wait_seconds > 0) {
      if (options_.expect > 0) rows_.Line("Waiting for " + std::to_string(options_.expect) + " bootloaders...");
      loop_.run_until([&] { return stopping_ || Enough(); }, wait_deadline_);
    }
    if (stopping_) return Outcome();
    const auto present = Present();
    // One board asked for (no --all, at most one --port) and several fit:
    // taking the first would flash whichever the kernel listed first.
    if (!options_.all && options_.device.ports.size() <= 1 && present.size() > 1) {
      rows_.Line("quelloader-cli: more than one bootloader is attached; choose one with --port, --serial or "
                 "--path (or flash them all with --all):");
      for (const auto& [id, line] : present) rows_.Line(line);
      return ExitCode::Usage;
    }
    if (options_.expect > 0 && static_cast<int>(present.size()) < options_.expect) {
      rows_.Line("Only " + std::to_string(present.size()) + " of " + std::to_string(options_.expect) +
                 " bootloaders appeared.");
      return ExitCode::NoDevice;
    }
    if (present.empty() && options_.device.ports.empty()) {
      rows_.Line(NoBoardText());
      return ExitCode::NoDevice;
    }
    none_found = present.empty();
    for (const auto& [id, line] : present) chosen_.insert(id);
  }
  accepting_ = true;
  Scan();
  while (!Finished()) {
    loop_.process_events(loop_.now() + from_ms(1000));
    CheckFlows();
    Reap();
  }
  // The boards reset at the end leave the bus a moment later: their
  // departure is waited for (briefly), so that it is told.
  if (!stopping_) loop_.run_until([this] { return stopping_ || ResetBoardsGone(); }, loop_.now() + kLeaveWait);
  accepting_ = false;
  AddMissing(none_found);
  std::stable_sort(results_.begin(), results_.end(),
                   [](const BoardResult& a, const BoardResult& b) { return NaturalLess(PortOf(a), PortOf(b)); });
  rows_.Clear();
  if (options_.several) PrintTable();
  const ExitCode code = Outcome();
  if (json != nullptr && (options_.loop || !results_.empty())) {
    std::vector<BoardOutcome> outcomes;
    for (const BoardResult& r : results_)
      outcomes.push_back({NameOfResult(r), r.device, r.code, r.message, r.bytes, r.seconds});
    json->Summary(outcomes);
    CheckJson();
  }
  return json_failed_ && code == ExitCode::Success ? ExitCode::Failed : code;
}

void ProductionLine::PrintTable() const {
  if (results_.empty()) return;
  std::size_t wp = 4, ws = 6, wd = 6;
  for (const BoardResult& r : results_) {
    wp = std::max(wp, PortOf(r).size());
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
    rows_.Line(pad(PortOf(r), wp) + "  " + pad(r.serial.empty() ? "-" : r.serial, ws) + "  " +
               pad(r.device.empty() ? "-" : r.device, wd) + "  " + pad(ResultText(r), 13) + nums,
               BoardRows::Kind::Keep);
  }
}

}  // namespace ql::cli
