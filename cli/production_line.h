#pragma once
// The flow of `quelloader-cli flash`, for one board and for many: the
// bootloader it names (--path, --serial, one --port), every attached one
// (--all), the ones on given ports (several --port), or each one as it is
// plugged in (--loop). One session per board on one event loop, so one
// board's failure, removal, silence, stop or open question never reaches
// another's upload. A run that can have several boards names each board in
// its lines and ends with a table; a run of one board prints plain lines and
// a one-board summary. --json and --log only add their records.

#include <coroutine>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "cli/board_rows.h"
#include "cli/device_select.h"
#include "cli/exit_codes.h"
#include "cli/json_events.h"
#include "cli/production_log.h"
#include "core/event_loop.h"
#include "core/task.h"
#include "hid/hid_backend.h"
#include "hid/hid_controller.h"
#include "image/flash_image.h"
#include "session/session.h"

namespace ql::cli {

// Reads the answers to the bootloader-area question (from the terminal in
// the program), one question at a time.
class AnswerReader {
 public:
  virtual ~AnswerReader() = default;
  // Starts reading one answer. `answered` runs once, later, on the event
  // thread: true for yes, false for anything else and at the end of input.
  virtual void Read(std::function<void(bool yes)> answered) = 0;
  // Gives up the read under way; its `answered` is not called.
  virtual void Cancel() = 0;
};

struct LineOptions {
  std::string file;          // the HEX file; the log names it as given here
  RealDeviceOptions device;  // --path (canonical), --port (any of them), --serial, --wait
  bool all = false;          // every bootloader present (or expected)
  int expect = 0;            // with --wait: start once this many are present
  bool loop = false;         // flash each bootloader as it appears
  int count = 0;             // with --loop: end after this many boards (0: until stopped)
  // The bootloader-area question: `yes` answers OK; otherwise `ask` asks it
  // through the line's `answers`, and without either it is answered No.
  bool yes = false;
  bool ask = false;
  int verbose = 0;
  // The run can have several boards (--all, --loop, several --port, several
  // simulated boards): every line names its board and a table ends the run.
  bool several = true;
};

// How one board went, for the table, the events and the log.
struct BoardResult {
  std::string port, serial, path, device, family;
  ExitCode code = ExitCode::Failed;
  std::string message;  // what explains the code, also on success
  bool stopped = false;  // ended by a stop request: no failure of its own
  bool missing = false;  // a --port named on the command line that no board showed on
  std::int64_t bytes = 0;   // data bytes sent in write commands
  std::int64_t blocks = 0;  // the data blocks that carried them
  double seconds = 0;         // from the board's start to its result
  double upload_seconds = 0;  // of the upload alone
  std::string image_sha256;
  McuFamily family_type = McuFamily::None;
  std::int64_t image_bytes = 0;
};

class ProductionLine {
 public:
  // `rows` receives every line (stderr in the program) and draws the
  // per-board progress when stderr is a terminal.
  ProductionLine(EventLoop& loop, HidBackend& backend, LineOptions options, BoardRows& rows);
  ~ProductionLine();
  ProductionLine(const ProductionLine&) = delete;
  ProductionLine& operator=(const ProductionLine&) = delete;

  // Runs until every board has ended (or, with --loop, until --count boards
  // have, or a stop). The exit code: one board's own code; with several, 0
  // only when every board succeeded, 4 when none was found, else 1. A stop
  // ends with `code` of Stop() unless a board failed.
  ExitCode Run();
  // A stop request (Ctrl+C; `code` says which signal): no board is started
  // any more, an open question is answered No, and every running upload
  // stops as its stop rules say. A second call abandons them.
  void Stop(ExitCode code = ExitCode::Interrupted);

  // In table order once Run() has returned: by port, naturally ordered.
  const std::vector<BoardResult>& results() const { return results_; }
  // Called as each board ends.
  std::function<void(const BoardResult&)> on_result;
  // Where the JSON events go (--json), the record of every board (--log)
  // and the answers to the question come from; null for none. They must
  // outlive Run().
  JsonEventWriter* json = nullptr;
  ProductionLog* log = nullptr;
  AnswerReader* answers = nullptr;

 private:
  struct Board;
  class BoardView;
  struct AnswerWait;

  BoardName NameOf(const Board& b) const;
  void Scan();
  bool Wanted(TJvHidDevice& d) const;
  bool Available(TJvHidDevice& d);
  void SettleCheckAt(Micros at);
  // Every attached bootloader the options name, not yet taken (settling
  // ones too), with its line for a listing.
  std::vector<std::pair<std::string, std::string>> Present();
  bool Enough();
  void Start(std::unique_ptr<TJvHidDevice> device);
  Task<bool> Flow(Board& b);
  void CheckFlows();
  void Reap();
  void End(Board& b, ExitCode code, std::string message);
  void Record(const BoardResult& r);
  void CheckJson();
  void AddMissing(bool none_found);
  bool Finished() const;
  bool ResetBoardsGone() const;
  const FlashImage* ImageFor(std::uint8_t mcu_type, std::string* why);
  ExitCode Outcome();
  // After the last board: the table, the JSON summary and the exit code.
  ExitCode EndOfRun();
  void PrintTable() const;
  std::string NoBoardText() const;
  // The bootloader-area question, one board at a time.
  void AskNext();
  void Answered(Board& b, bool yes, const char* how);
  void Withdraw(Board& b);

  EventLoop& loop_;
  LineOptions options_;
  BoardRows& rows_;
  std::unique_ptr<TJvHidDeviceController> ctl_;
  std::vector<std::unique_ptr<Board>> boards_;
  // Interfaces (by identity) flashed or being flashed in their present
  // appearance: one comes again only after it has left the bus.
  std::set<std::string> taken_;
  // Without --loop: the interfaces the run decided to flash, until each is taken.
  std::set<std::string> chosen_;
  // Nodes udev is still setting up, since when they were seen so.
  std::map<std::string, Micros> settling_since_;
  TimerId settle_timer_ = 0;
  Micros settle_timer_at_ = 0;
  Micros wait_deadline_ = 0;
  std::map<McuFamily, FlashImage> images_;
  std::vector<BoardResult> results_;
  std::deque<Board*> questions_;  // waiting for an answer, the first one asked
  bool asking_ = false;
  bool accepting_ = false;
  bool stopping_ = false;
  ExitCode stop_code_ = ExitCode::Interrupted;
  bool log_failed_ = false;
  bool json_failed_ = false;
  int rebuilds_ = 0;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace ql::cli
