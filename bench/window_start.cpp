// The window's start: wall time from starting the process to the window's
// first paint, and resident memory once it sits idle, with a simulated pic18
// bootloader attached as `quelloader --simulate pic18` has it.
//
// Usage: window_start [--runs N]   (QT_QPA_PLATFORM=offscreen)
// Each run starts this program again as a child (`--child`), which builds the
// window the way the executable does, notes the monotonic clock at the first
// paint event, waits idle, reads its memory and prints both; the parent took
// the same clock just before starting it, so process start, loading the
// libraries and Qt's start are all counted.

#include <QApplication>
#include <QEvent>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "app/qt/dialogs.h"
#include "app/qt/qboot.h"
#include "app/qt/qt_event_loop.h"
#include "bench_support.h"
#include "hid/virtual_hid_backend.h"
#include "hid/virtual_sim_device.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace ql;

namespace {

constexpr int kIdleMs = 2000;

long long MonotonicNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A /proc/self/status field in kB.
long StatusKb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::size_t n = std::strlen(field);
  while (std::getline(in, line))
    if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':') return std::atol(line.c_str() + n + 1);
  return -1;
}

class FirstPaint : public QObject {
 public:
  long long at_ns = 0;
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint && at_ns == 0) at_ns = MonotonicNs();
    return QObject::eventFilter(watched, event);
  }
};

int Child(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Quelloader"));
  QtEventLoop loop;
  VirtualHidBackend backend(loop);
  VirtualSimBootloader device(backend, loop, *sim::Preset("pic18"));
  QtWindowDialogs dialogs;
  TqBoot window(loop, backend, dialogs, WindowOptions{});  // no settings file: a first start
  FirstPaint paint;
  window.installEventFilter(&paint);
  window.show();
  QTimer::singleShot(kIdleMs, &app, [&] {
    std::printf("%lld %ld %ld\n", paint.at_ns, StatusKb("VmRSS"), StatusKb("VmHWM"));
    QApplication::quit();
  });
  QApplication::exec();
  return paint.at_ns == 0 ? 1 : 0;
}

struct Start {
  double paint_ms = 0;
  long rss_kb = 0;
  long peak_kb = 0;
};

bool RunChild(const char* self, Start& out) {
  int fds[2];
  if (::pipe(fds) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  char child_flag[] = "--child";
  std::string self_copy = self;
  char* args[] = {self_copy.data(), child_flag, nullptr};
  pid_t pid = 0;
  const long long t0 = MonotonicNs();
  const int err = posix_spawn(&pid, self, &actions, nullptr, args, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (err != 0) {
    ::close(fds[0]);
    return false;
  }
  std::string text;
  char buf[256];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<std::size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  long long paint_ns = 0;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
      std::sscanf(text.c_str(), "%lld %ld %ld", &paint_ns, &out.rss_kb, &out.peak_kb) != 3 || paint_ns == 0)
    return false;
  out.paint_ms = static_cast<double>(paint_ns - t0) / 1e6;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--child") == 0) return Child(argc, argv);
  int runs = 5;
  if (argc > 2 && std::strcmp(argv[1], "--runs") == 0) runs = std::max(1, std::atoi(argv[2]));

  std::vector<double> paint;
  std::vector<long> rss, peak;
  for (int i = 0; i < runs; ++i) {
    Start s;
    if (!RunChild("/proc/self/exe", s)) {
      std::fprintf(stderr, "run %d: the window did not start and paint\n", i + 1);
      return 1;
    }
    paint.push_back(s.paint_ms);
    rss.push_back(s.rss_kb);
    peak.push_back(s.peak_kb);
  }
  std::printf("Window start, simulated pic18 attached, offscreen, median of %d runs\n\n", runs);
  std::printf("| start to first paint ms | min ms | max ms | idle RSS MiB (after %d s) | peak RSS MiB |\n", kIdleMs / 1000);
  std::printf("|---:|---:|---:|---:|---:|\n");
  std::printf("| %.1f | %.1f | %.1f | %.1f | %.1f |\n", bench::Median(paint), *std::min_element(paint.begin(), paint.end()),
              *std::max_element(paint.begin(), paint.end()), static_cast<double>(bench::Median(rss)) / 1024.0,
              static_cast<double>(bench::Median(peak)) / 1024.0);
  return 0;
}
