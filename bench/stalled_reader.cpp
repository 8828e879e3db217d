// A production line whose stdout reader stops: `quelloader-cli flash FILE
// --simulate PRESET --boards N --all --yes --json` run as a process, its JSON
// events read by this program, once by a reader that reads at once (as
// `| cat`) and once by one that stops for S seconds first (as
// `| (sleep S; cat)`), alternating, R runs each.
//
// Per reader: the median over the runs of the boards' time (from the start
// to the last board's result, the largest "seconds" of the summary), of the
// process's whole time (it cannot end before its last lines are read, so a
// stopped reader holds its exit, as it holds any program's), and the boards
// that failed in all. The ratio of the boards' times is the figure that
// matters: a stalled reader must not slow a board down.
//
// Usage: stalled_reader --cli PATH [--hex FILE] [--preset P] [--boards N]
//                       [--stall SECONDS] [--runs R]

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  std::string cli;
  std::string hex = QUELLOADER_SOURCE "/examples/demo-pic18.hex";
  std::string preset = "pic18";
  int boards = 16;
  int stall_s = 10;
  int runs = 3;
};

struct Run {
  double boards_s = 0;   // the slowest board's seconds, from the summary
  double process_s = 0;  // spawn to exit
  int failed = -1;       // from the summary; -1 when there was none
  int exit_code = -1;
};

// The number after `"key":` in the last line that has it.
double FieldIn(const std::string& text, const std::string& key, double fallback) {
  const std::string needle = "\"" + key + "\":";
  const auto at = text.rfind(needle);
  if (at == std::string::npos) return fallback;
  return std::strtod(text.c_str() + at + needle.size(), nullptr);
}

// The largest "seconds" among the summary's results.
double SlowestBoard(const std::string& summary) {
  double slowest = 0;
  const std::string needle = "\"seconds\":";
  for (auto at = summary.find(needle); at != std::string::npos; at = summary.find(needle, at + 1)) {
    slowest = std::max(slowest, std::strtod(summary.c_str() + at + needle.size(), nullptr));
  }
  return slowest;
}

Run Once(const Options& o, int stall_s) {
  int out[2];
  if (pipe(out) != 0) std::exit(1);
  const Clock::time_point start = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 2);
    const std::string boards = std::to_string(o.boards);
    execl(o.cli.c_str(), o.cli.c_str(), "flash", o.hex.c_str(), "--simulate", o.preset.c_str(), "--boards",
          boards.c_str(), "--all", "--yes", "--json", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  // The stopped reader: nothing is read until the stall is over.
  if (stall_s > 0) std::this_thread::sleep_for(std::chrono::seconds(stall_s));
  std::string text;
  char buf[65536];
  for (;;) {
    const ssize_t n = read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  Run r;
  r.process_s = std::chrono::duration<double>(Clock::now() - start).count();
  r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  const auto summary = text.rfind("\"event\":\"summary\"");
  if (summary != std::string::npos) {
    const std::string line = text.substr(summary);
    r.failed = static_cast<int>(FieldIn(line, "failed", -1));
    r.boards_s = SlowestBoard(line);
  }
  return r;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--cli") o.cli = next();
    else if (a == "--hex") o.hex = next();
    else if (a == "--preset") o.preset = next();
    else if (a == "--boards") o.boards = std::atoi(next().c_str());
    else if (a == "--stall") o.stall_s = std::atoi(next().c_str());
    else if (a == "--runs") o.runs = std::atoi(next().c_str());
    else {
      std::fprintf(stderr, "usage: stalled_reader --cli PATH [--hex FILE] [--preset P] [--boards N] "
                           "[--stall SECONDS] [--runs R]\n");
      return 2;
    }
  }
  if (o.cli.empty()) {
    std::fprintf(stderr, "stalled_reader: --cli PATH is needed\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  std::vector<double> boards[2], process[2];
  int failed[2] = {0, 0};
  int missing[2] = {0, 0};
  for (int run = 0; run < o.runs; ++run) {
    for (int k = 0; k < 2; ++k) {
      const Run r = Once(o, k == 0 ? 0 : o.stall_s);
      boards[k].push_back(r.boards_s);
      process[k].push_back(r.process_s);
      if (r.failed < 0) ++missing[k];
      else failed[k] += r.failed;
    }
  }
  std::printf("Stalled stdout reader: %d simulated %s boards, --json, %d runs each (%s)\n", o.boards,
              o.preset.c_str(), o.runs, o.hex.c_str());
  std::printf("%-28s %12s %12s %14s %10s\n", "reader", "boards (s)", "process (s)", "failed boards", "no summary");
  const char* names[2] = {"reads at once (| cat)", nullptr};
  char stalled[64];
  std::snprintf(stalled, sizeof stalled, "stops %d s (| sleep; cat)", o.stall_s);
  names[1] = stalled;
  for (int k = 0; k < 2; ++k) {
    std::printf("%-28s %12.3f %12.3f %14d %10d\n", names[k], Median(boards[k]), Median(process[k]), failed[k],
                missing[k]);
  }
  const double ratio = Median(boards[0]) > 0 ? Median(boards[1]) / Median(boards[0]) : 0;
  std::printf("boards' time, stopped reader / reading reader (medians): %.3f\n", ratio);
  return failed[1] == 0 && missing[1] == 0 ? 0 : 1;
}
