// The end of a run: each board's result as it comes (--json, --log), the
// boards that never came, the table and the exit code.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>

#include "cli/production_line.h"

namespace ql::cli {

namespace {

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
BoardName NameOfResult(const BoardResult& r) { return {r.port, r.serial, r.path}; }

}  // namespace

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

ExitCode ProductionLine::EndOfRun() {
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
