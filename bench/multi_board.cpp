// Several boards at once, in real time: N simulated bootloaders with the
// device's own timing model (USB frames, flash erase and write times) on the
// virtual HID backend and ONE blocking event loop, one session each (its own
// exchange, suspending waits), each running boot info, connect, upload of the
// same image and reset. Every board's flash must equal what one board alone
// ends with; a run that flashes wrongly says so and the program exits 1.
//
// Per N: the median wall time of the runs, its ratio to one board, and the
// host CPU time (the whole process) per 64-byte report sent over all boards.
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
#include "core/blocking_event_loop.h"
#include "hid/hid_controller.h"
#include "hid/virtual_hid_backend.h"
#include "hid/virtual_sim_device.h"
#include "image/flash_image.h"
#include "session/session.h"

using namespace ql;

namespace {

// Shows nothing; says yes to the bootloader-area question as a production
// line would have decided beforehand.
class QuietView : public SessionView {
 public:
  void AppendHistory(std::string_view line) override { last = line; }
  bool AskBootloaderArea() override { return true; }
  std::string DeviceName() override { return name; }
  std::string name;
  std::string last;
};

struct Board {
  std::string serial;
  std::unique_ptr<VirtualSimBootloader> sim;
  std::unique_ptr<TJvHidDevice> device;
  QuietView view;
  std::unique_ptr<Session> session;
  Task<UploadOutcome> flow;
};

Task<UploadOutcome> Flow(Board& b, const FlashImage& image) {
  if (!b.session->Attach()) co_return UploadOutcome::Refused;
  if (!co_await b.session->ReadBootInfo()) co_return UploadOutcome::Failed;
  b.view.name = b.session->BootInfo().BootDeviceName + " (Serial=" + b.serial + ")";
  if (!co_await b.session->Connect()) co_return UploadOutcome::Failed;
  const UploadOutcome outcome = co_await b.session->Upload(image);  // ends with the reset
  co_return outcome;
}

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

RunResult RunOnce(int n, const sim::Config& config, const FlashImage& image,
                  const std::vector<std::uint8_t>* reference) {
  RunResult r;
  BlockingEventLoop loop;
  VirtualHidBackend backend(loop);
  std::vector<Board> boards(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    Board& b = boards[static_cast<std::size_t>(i)];
    char serial[16];
    std::snprintf(serial, sizeof serial, "B%02d", i + 1);
    b.serial = serial;
    VirtualHidSpec spec;
    spec.serial = b.serial;
    b.sim = std::make_unique<VirtualSimBootloader>(backend, loop, config, spec);
  }
  TJvHidDeviceController ctl(loop, backend);
  ctl.OnRemoval = [&boards](TJvHidDevice& d) {
    for (Board& b : boards)
      if (b.device.get() == &d) b.session->DeviceRemoved();
  };
  const Micros enumerate_until = loop.now() + from_ms(2000);
  while (ctl.Count() < n && loop.now() < enumerate_until) loop.process_events(enumerate_until);
  if (ctl.Count() != n) {
    r.fault = "only " + std::to_string(ctl.Count()) + " of " + std::to_string(n) + " boards enumerated";
    return r;
  }
  for (int i = 0; i < n; ++i) {
    std::unique_ptr<TJvHidDevice> d = ctl.ClaimByIndex(i);
    auto it = std::find_if(boards.begin(), boards.end(), [&](const Board& x) { return d && x.serial == d->SerialText(); });
    if (it == boards.end()) {
      r.fault = "a board could not be claimed";
      return r;
    }
    it->device = std::move(d);
    it->session = std::make_unique<Session>(loop, *it->device, it->view, /*blocking_waits=*/false);
  }

  rusage before{};
  getrusage(RUSAGE_SELF, &before);
  const double cpu_start = CpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  for (Board& b : boards) b.flow = Flow(b, image);
  const auto all_done = [&] {
    return std::all_of(boards.begin(), boards.end(), [](const Board& b) { return b.flow.done(); });
  };
  const Micros give_up = loop.now() + from_ms(120000);
  while (!all_done() && loop.now() < give_up) loop.process_events(give_up);
  const auto end = std::chrono::steady_clock::now();
  const double cpu_end = CpuSeconds();
  rusage after{};
  getrusage(RUSAGE_SELF, &after);

  r.wall_ms = std::chrono::duration<double, std::milli>(end - start).count();
  r.cpu_ms = (cpu_end - cpu_start) * 1000.0;
  r.switches = after.ru_nvcsw - before.ru_nvcsw;
  for (Board& b : boards) {
    sim::SimulatedBootloader& model = b.sim->model();
    r.reports += static_cast<long>(b.sim->received().size());
    r.device_ms = std::max(r.device_ms, static_cast<double>(model.device_time()) / 1000.0);
    std::string why;
    if (!b.flow.done())
      why = "did not finish";
    else if (b.flow.result() != UploadOutcome::Completed)
      why = "did not complete (" + b.view.last + ")";
    else if (!model.refused().empty())
      why = "had refused commands";
    else if (!model.reset_seen())
      why = "was not reset";
    else if (reference && model.flash() != *reference)
      why = "flash differs from one board's";
    if (!why.empty() && r.fault.empty()) r.fault = "board " + b.serial + " " + why;
  }
  r.first_flash = boards.front().sim->model().flash();
  // Sessions go before their devices, devices before the controller.
  for (Board& b : boards) b.session.reset();
  for (Board& b : boards) b.device.reset();
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
  const RunResult alone = RunOnce(1, *config, image, nullptr);
  if (!alone.fault.empty()) {
    std::fprintf(stderr, "one board alone: %s\n", alone.fault.c_str());
    return 1;
  }
  const std::vector<std::uint8_t> reference = alone.first_flash;

  const auto slash = path.find_last_of('/');
  std::printf("Boards at once: %s, %s (%lld bytes), one blocking event loop, real time, median of %d runs\n",
              preset.c_str(), path.substr(slash + 1).c_str(), static_cast<long long>(image.ImageEnd()), runs);
  std::printf("(each board: boot info, connect, upload, reset; device timing model on)\n\n");
  std::printf("| boards | device ms | wall ms | min ms | max ms | wall / 1 board | CPU ms | CPU us/report | CPU share "
              "| waits/report |\n");
  std::printf("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  int rc = 0;
  double one_board = 0;
  for (const int n : counts) {
    std::vector<double> wall, cpu, per_report, share, waits;
    double device = 0;
    for (int run = 0; run < runs; ++run) {
      const RunResult r = RunOnce(n, *config, image, &reference);
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
