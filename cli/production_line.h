#pragma once
// Several boards at once for `quelloader-cli flash`: every attached
// bootloader (--all), the ones on given ports (several --port), or each one
// as it is plugged in (--loop). One session per board on one event loop;
// every line a board writes names it, and a table at the end says how each
// one went. One board's failure, removal, silence or stop never reaches
// another's upload.

#include <cstdint>
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

struct LineOptions {
  std::string file;
  RealDeviceOptions device;  // --port (any of them), --serial, --wait
  bool all = false;          // every bootloader present (or expected)
  int expect = 0;            // with --wait: start once this many are present
  bool loop = false;         // flash each bootloader as it appears
  int count = 0;             // with --loop: end after this many boards (0: until Ctrl+C)
  bool yes = false;
  int verbose = 0;
};

// How one board went, for the table (and the log).
struct BoardResult {
  std::string port, serial, path, device, family;
  ExitCode code = ExitCode::Failed;
  std::string message;  // "" on success
  std::int64_t bytes = 0;
  double seconds = 0;
  std::string image_sha256;
  McuFamily family_type = McuFamily::None;
  std::int64_t image_bytes = 0;
};

class ProductionLine {
 public:
  // `lines` receives every line (stderr in the program); `rows` draws the
  // per-board progress when stderr is a terminal.
  ProductionLine(EventLoop& loop, HidBackend& backend, LineOptions options, BoardRows& rows);
  ~ProductionLine();
  ProductionLine(const ProductionLine&) = delete;
  ProductionLine& operator=(const ProductionLine&) = delete;

  // Runs until every board has ended (or, with --loop, until --count boards
  // have or Stop()). The exit code: 0 only when every board succeeded.
  ExitCode Run();
  // Ctrl+C: no board is started any more, and every running one stops as its
  // upload's stop rules say (a second call abandons them).
  void Stop();

  const std::vector<BoardResult>& results() const { return results_; }
  // Called as each board ends.
  std::function<void(const BoardResult&)> on_result;
  // Where the JSON events go (--json) and the record of every board (--log);
  // null for none. They must outlive Run().
  JsonEventWriter* json = nullptr;
  ProductionLog* log = nullptr;

 private:
  struct Board;
  class BoardView;

  void Scan();
  bool Wanted(TJvHidDevice& d) const;
  BoardName NameOf(const Board& b) const;
  bool Available(TJvHidDevice& d) const;
  void Reap();
  void Start(std::unique_ptr<TJvHidDevice> device);
  Task<bool> Flow(Board& b);
  void End(Board& b, ExitCode code, std::string message);
  int Candidates();
  bool Finished() const;
  const FlashImage* ImageFor(std::uint8_t mcu_type, std::string* why);
  void PrintTable() const;

  EventLoop& loop_;
  LineOptions options_;
  BoardRows& rows_;
  std::unique_ptr<TJvHidDeviceController> ctl_;
  std::vector<std::unique_ptr<Board>> boards_;
  // Interfaces (by identity) flashed or being flashed in their present
  // appearance: one comes again only after it has left the bus.
  std::set<std::string> taken_;
  std::map<McuFamily, FlashImage> images_;
  std::vector<BoardResult> results_;
  bool accepting_ = false;
  bool log_failed_ = false;
  bool stopping_ = false;
  int rebuilds_ = 0;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace ql::cli
