// The Windows backend's threads, fed through named pipes instead of HID
// interfaces: the reader hands reports to the event thread one at a time and
// stops at once with a read outstanding, a read it cannot start reaches the
// error handler, a refused open says why, and device-change messages reach
// the event thread only while watched.

#include <windows.h>

#include <dbt.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hid/win32_hid_backend.h"

namespace ql {
namespace {

// An event loop whose posted work wakes it: what the reader threads need.
class PostedLoop final : public EventLoop {
 public:
  Micros now() const override {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  void process_events(Micros deadline) override {
    std::unique_lock lock(mutex_);
    woken_.wait_for(lock, std::chrono::microseconds(std::max<Micros>(0, deadline - now())),
                    [this] { return !posted_.empty(); });
    std::deque<std::function<void()>> work = std::move(posted_);
    posted_.clear();
    lock.unlock();
    for (auto& fn : work) fn();
  }
  bool process_ready() override {
    std::deque<std::function<void()>> work;
    {
      std::lock_guard lock(mutex_);
      work = std::move(posted_);
      posted_.clear();
    }
    for (auto& fn : work) fn();
    return !work.empty();
  }
  TimerId schedule_at(Micros, std::function<void()>) override { return 0; }
  void cancel(TimerId) override {}
  void post(std::function<void()> fn) override {
    std::lock_guard lock(mutex_);
    posted_.push_back(std::move(fn));
    woken_.notify_all();
  }
  void sleep(Micros) override {}

 private:
  std::mutex mutex_;
  std::condition_variable woken_;
  std::deque<std::function<void()>> posted_;
};

// A pipe's server end; the backend opens the client end by its path.
struct Pipe {
  explicit Pipe(const std::string& name) : path(R"(\\.\pipe\quelloader-test-)" + name) {
    const std::wstring wide(path.begin(), path.end());
    server = CreateNamedPipeW(wide.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE, 1, 4096, 4096, 0, nullptr);
    EXPECT_NE(server, INVALID_HANDLE_VALUE);
  }
  ~Pipe() { CloseHandle(server); }
  void Send(const std::vector<std::uint8_t>& report) const {
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(server, report.data(), static_cast<DWORD>(report.size()), &n, nullptr));
  }
  std::string path;
  HANDLE server = INVALID_HANDLE_VALUE;
};

constexpr Micros kPatience = from_ms(5000);  // for a failing test only

TEST(Win32Reader, ReportsReachTheEventThreadInOrderAndNothingIsPendingAfter) {
  PostedLoop loop;
  Pipe pipe("reports");
  std::vector<std::vector<std::uint8_t>> got;
  const auto event_thread = std::this_thread::get_id();
  bool other_thread = false;
  HidReaderCallbacks callbacks;
  callbacks.on_report = [&](std::span<const std::uint8_t> r) {
    other_thread |= std::this_thread::get_id() != event_thread;
    got.emplace_back(r.begin(), r.end());
  };
  auto reader = StartWin32Reader(pipe.path, loop, 65, 100, callbacks);
  std::vector<std::uint8_t> first(65, 0xAA);
  first[0] = 0;
  first[1] = 0x0F;
  pipe.Send(first);
  pipe.Send(std::vector<std::uint8_t>(65, 0x55));
  loop.run_until([&] { return got.size() == 2; }, loop.now() + kPatience);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_FALSE(other_thread);
  EXPECT_EQ(got[0], first);
  EXPECT_EQ(got[1][64], 0x55);
  EXPECT_FALSE(reader->Pending());
}

TEST(Win32Reader, StopsAtOnceWithAReadOutstandingAndDeliversNothingAfter) {
  PostedLoop loop;
  Pipe pipe("stop");
  int reports = 0;
  HidReaderCallbacks callbacks;
  callbacks.on_report = [&](std::span<const std::uint8_t>) { ++reports; };
  // A step far longer than the test: the stop must not wait for it.
  auto reader = StartWin32Reader(pipe.path, loop, 65, 10000, callbacks);
  pipe.Send(std::vector<std::uint8_t>(65, 1));
  loop.run_until([&] { return reports == 1; }, loop.now() + kPatience);
  ASSERT_EQ(reports, 1);
  // Another on its way: it may be handed over while the reader stops, never after.
  pipe.Send(std::vector<std::uint8_t>(65, 2));
  const Micros before = loop.now();
  reader.reset();
  EXPECT_LT(loop.now() - before, from_ms(2000));
  const int at_stop = reports;
  loop.process_ready();
  EXPECT_EQ(reports, at_stop);
}

TEST(Win32Reader, AReadThatCannotBeDoneReachesTheErrorHandler) {
  PostedLoop loop;
  std::vector<std::uint32_t> errors;
  HidReaderCallbacks callbacks;
  callbacks.on_error = [&](std::uint32_t error) { errors.push_back(error); };
  auto reader = StartWin32Reader(R"(\\.\pipe\quelloader-test-nobody)", loop, 65, 10, callbacks);
  // Again after each step, for as long as the reader runs.
  loop.run_until([&] { return errors.size() >= 2; }, loop.now() + kPatience);
  reader.reset();
  ASSERT_GE(errors.size(), 2u);
  EXPECT_EQ(errors[0], static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
}

TEST(Win32Backend, ARefusedOpenSaysWhy) {
  auto backend = MakeWin32HidBackend();
  int error = 0;
  EXPECT_EQ(backend->Open({"x", R"(\\.\pipe\quelloader-test-nobody)", false, ""}, true, &error), nullptr);
  EXPECT_EQ(error, ENOENT);
  // A pipe of one instance that a client holds is busy; anything the errno
  // values do not name is an input/output error.
  Pipe pipe("held");
  auto first = backend->Open({"p", pipe.path, false, ""}, true, &error);
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(first->read_write());
  error = 0;
  EXPECT_EQ(backend->Open({"p", pipe.path, false, ""}, true, &error), nullptr);
  EXPECT_EQ(error, EIO);  // ERROR_PIPE_BUSY
}

TEST(Win32Backend, DeviceChangeMessagesReachTheEventThreadOnlyWhileWatched) {
  PostedLoop loop;
  auto backend = MakeWin32HidBackend();
  if (!Win32HidProblem().empty()) GTEST_SKIP() << Win32HidProblem();
  std::vector<HidChange> changes;
  backend->WatchChanges(loop, [&](const HidChange& c) { changes.push_back(c); });
  HWND window = FindWindowExW(HWND_MESSAGE, nullptr, L"QuelloaderHidChanges", nullptr);
  ASSERT_NE(window, nullptr);
  struct {
    DEV_BROADCAST_DEVICEINTERFACE_W header;
    wchar_t rest[64];
  } arrival{};
  arrival.header.dbcc_size = sizeof arrival;
  arrival.header.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  wcscpy(arrival.header.dbcc_name, LR"(\\?\HID#VID_04D8&PID_003C#1)");
  SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&arrival));
  SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEQUERYREMOVE, reinterpret_cast<LPARAM>(&arrival));
  SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<LPARAM>(&arrival));
  loop.process_ready();  // SendMessage returned: both are posted
  ASSERT_EQ(changes.size(), 2u);
  EXPECT_TRUE(changes[0].Revisits(R"(\\?\hid#vid_04d8&pid_003c#1)"));
  EXPECT_FALSE(changes[1].revisit_all);
  // Posted before the stop, run after it: not delivered.
  SendMessageW(window, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
  backend->StopWatching();
  loop.process_ready();
  EXPECT_EQ(changes.size(), 2u);
  EXPECT_EQ(FindWindowExW(HWND_MESSAGE, nullptr, L"QuelloaderHidChanges", nullptr), nullptr);
}

}  // namespace
}  // namespace ql
