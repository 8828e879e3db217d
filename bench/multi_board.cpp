// Several boards at once, in real time, through the command line's own flow:
// the production line of `quelloader-cli flash --all` with N simulated
// bootloaders, each with the device's own timing model (USB frames, flash
// erase and write times), on the virtual HID backend and ONE blocking event
// loop, one session each (its own exchange, suspending waits), each running
// boot info, connect, upload of the same image and reset. Every board's flash
// must equal what one board alone ends with; a run that flashes wrongly says
// so and the program exits 1.
//
// Per N: the median wall time of the runs (the line's whole run, from its
// first look at the bus to its table), its ratio to one board, and the host
// CPU time (the whole process) per 64-byte report sent over all boards.
//
// Usage: multi_board [--runs R] [--preset P] [--image FILE] [N...]
//        (default: 5 runs, pic18, its fixture image, N = 1 2 4 8 16)

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bench_support.h"
#include "cli/board_rows.h"
#include "cli/production_line.h"
#include "core/blocking_event_loop.h"
#include "hid/virtual_hid_backend.h"
#include "hid/virtual_sim_device.h"
#include "image/flash_image.h"

using namespace ql;

namespace {

double CpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct RunResult {
  double wall_ms = 0;
  double cpu_ms = 0;
  long reports = 0;       // output reports the boards received, all together
  double device_ms = 0;   // the slowest board's own device time
  long switches = 0;      // voluntary context switches (each a wait in poll)
  std::vector<std::uint8_t> first_flash;
  std::string fault;  // empty when every board flashed as one alone does
};

RunResult RunOnce(int n, const sim::Config& config, const std::string& file,
                  const std::vector<std::uint8_t>* reference) {
  RunResult r;
  BlockingEventLoop loop;
  VirtualHidBackend backend(loop);
  std::vector<std::unique_ptr<VirtualSimBootloader>> boards;
  for (int i = 0; i < n; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "B%02d", i + 1);
    VirtualHidSpec spec;
    spec.serial = name;
    spec.port = std::string("bench-") + std::to_string(i + 1);
    boards.push_back(std::make_unique<VirtualSimBootloader>(backend, loop, config, spec));
  }
  // As `flash FILE --all --yes` with the lines going nowhere: the question
  // is answered as a production line would have decided beforehand.
  cli::BoardRows rows(false);
  rows.sink = [](std::string_view) {};
  cli::LineOptions options;
  options.file = file;
  options.all = true;
  options.yes = true;
  std::vector<cli::BoardResult> results;
  {
    cli::ProductionLine line(loop, backend, options, rows);
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    const double cpu_start = CpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    const cli::ExitCode code = line.Run();
    const auto end = std::chrono::steady_clock::now();
    const double cpu_end = CpuSeconds();
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    r.wall_ms = std::chrono::duration<double, std::milli>(end - start).count();
    r.cpu_ms = (cpu_end - cpu_start) * 1000.0;
    r.switches = after.ru_nvcsw - before.ru_nvcsw;
    results = line.results();
    if (code != cli::ExitCode::Success) r.fault = "the line ended with exit code " + std::to_string(cli::ToInt(code));
  }
  if (static_cast<int>(results.size()) != n && r.fault.empty()) {
    r.fault = std::to_string(results.size()) + " results for " + std::to_string(n) + " boards";
  }
  for (const cli::BoardResult& result : results) {
    if (result.code != cli::ExitCode::Success && r.fault.empty()) {
      r.fault = "board " + result.serial + " did not complete (" + result.message + ")";
    }
  }
  for (auto& b : boards) {
    sim::SimulatedBootloader& model = b->model();
    r.reports += static_cast<long>(b->received().size());
    r.device_ms = std::max(r.device_ms, static_cast<double>(model.device_time()) / 1000.0);
    std::string why;
    if (!model.refused().empty())
      why = "had refused commands";
    else if (!model.reset_seen())
      why = "was not reset";
    else if (reference && model.flash() != *reference)
      why = "flash differs from one board's";
    if (!why.empty() && r.fault.empty()) r.fault = "a board " + why;
  }
  r.first_flash = boards.front()->model().flash();
  return r;
}

std::string DefaultImage(const std::string& preset) {
  return std::string(QUELLOADER_FIXTURES) + (preset == "pic16" ? "/pic16-app-4kw.hex" : "/pic18-app-24k.hex");
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 5;
  std::string preset = "pic18";
  std::string path;
  std::vector<int> counts;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--runs" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--preset" && i + 1 < argc) {
      preset = argv[++i];
    } else if (a == "--image" && i + 1 < argc) {
      path = argv[++i];
    } else if (std::atoi(a.c_str()) > 0) {
      counts.push_back(std::atoi(a.c_str()));
    } else {
      std::fprintf(stderr, "usage: multi_board [--runs R] [--preset P] [--image FILE] [N...]\n");
      return 2;
    }
  }
  if (counts.empty()) counts = {1, 2, 4, 8, 16};
  const auto config = sim::Preset(preset);
  if (!config) {
    std::fprintf(stderr, "unknown preset %s\n", preset.c_str());
    return 2;
  }
  if (path.empty()) path = DefaultImage(preset);
  FlashImage image;
  const LoadResult loaded = LoadHexFile(path, config->info.McuType == 1 ? McuFamily::Pic16 : McuFamily::Pic18, image);
  if (!loaded.ok()) {
    std::fprintf(stderr, "%s\n", loaded.message.c_str());
    return 1;
  }

  // One board alone gives the flash every board must end with.
  const RunResult alone = RunOnce(1, *config, path, nullptr);
  if (!alone.fault.empty()) {
    std::fprintf(stderr, "one board alone: %s\n", alone.fault.c_str());
    return 1;
  }
  const std::vector<std::uint8_t> reference = alone.first_flash;

  const auto slash = path.find_last_of('/');
  std::printf("Boards at once: %s, %s (%lld bytes), one blocking event loop, real time, median of %d runs\n",
              preset.c_str(), path.substr(slash + 1).c_str(), static_cast<long long>(image.ImageEnd()), runs);
  std::printf("(the production line of flash --all; each board: boot info, connect, upload, reset; device timing "
              "model on)\n\n");
  std::printf("| boards | device ms | wall ms | min ms | max ms | wall / 1 board | CPU ms | CPU us/report | CPU share "
              "| waits/report |\n");
  std::printf("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  int rc = 0;
  double one_board = 0;
  for (const int n : counts) {
    std::vector<double> wall, cpu, per_report, share, waits;
    double device = 0;
    for (int run = 0; run < runs; ++run) {
      const RunResult r = RunOnce(n, *config, path, &reference);
      if (!r.fault.empty()) {
        std::fprintf(stderr, "%d boards, run %d: %s\n", n, run + 1, r.fault.c_str());
        rc = 1;
        break;
      }
      wall.push_back(r.wall_ms);
      cpu.push_back(r.cpu_ms);
      per_report.push_back(r.cpu_ms * 1000.0 / static_cast<double>(r.reports));
      share.push_back(r.cpu_ms / r.wall_ms);
      waits.push_back(static_cast<double>(r.switches) / static_cast<double>(r.reports));
      device = r.device_ms;
    }
    if (wall.size() != static_cast<std::size_t>(runs)) continue;
    const double median = bench::Median(wall);
    if (n == 1) one_board = median;
    char ratio[16] = "-";
    if (one_board > 0) std::snprintf(ratio, sizeof ratio, "%.4f", median / one_board);
    std::printf("| %d | %.1f | %.1f | %.1f | %.1f | %s | %.1f | %.2f | %.1f %% | %.2f |\n", n, device, median,
                *std::min_element(wall.begin(), wall.end()), *std::max_element(wall.begin(), wall.end()), ratio,
                bench::Median(cpu), bench::Median(per_report), 100.0 * bench::Median(share), bench::Median(waits));
    std::fflush(stdout);
  }
  return rc;
}
