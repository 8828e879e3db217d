#include "cli/production_line.h"

#include "cli/production_line_board.h"

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

// How long the end of a run waits for the boards it reset to leave the bus,
// so that their departure is told before the summary.
constexpr Micros kLeaveWait = from_ms(2000);

}  // namespace


BoardName ProductionLine::NameOf(const Board& b) const { return {b.result.port, b.result.serial, b.result.path}; }

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

void ProductionLine::CheckJson() {
  if (json == nullptr || json->ok() || json_failed_) return;
  json_failed_ = true;
  rows_.Line("Error: the --json events could not be written to standard output; the run fails.", BoardRows::Kind::Keep);
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
  return EndOfRun();
}

}  // namespace ql::cli
