// Each simulated device preset, uploading a real assembler image in real
// time through the command line's loop and through the window (offscreen,
// activity panel with its terminal log shown), against the device's own
// time: every USB frame in and out plus every flash erase and write, as the
// simulated device accounts them. Both front ends run in the same process,
// alternating, so a busy machine slows both alike.
//
// Usage: upload_presets [--runs N] [--panel-hidden] [PRESET...]   (QT_QPA_PLATFORM=offscreen)

#include <QApplication>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/qt/dialogs.h"
#include "app/qt/qboot.h"
#include "app/qt/qt_event_loop.h"
#include "bench_support.h"
#include "core/blocking_event_loop.h"
#include "hid/virtual_hid_backend.h"
#include "hid/virtual_sim_device.h"
#include "image/flash_image.h"

using namespace ql;

namespace {

bool g_panel_shown = true;  // --panel-hidden: the window without its activity panel

struct Measure {
  double real_ms = 0;
  double device_ms = 0;
  int answers = 0;  // packets the device answered (commands and data blocks)
  double ratio() const { return real_ms / device_ms; }
};

std::string ImageFor(const std::string& preset) {
  return std::string(QUELLOADER_FIXTURES) + (preset == "pic16" ? "/pic16-app-4kw.hex" : "/pic18-app-24k.hex");
}

// The command line's side: the engine on the blocking loop, as `flash` runs it.
std::optional<Measure> CommandLine(const sim::Config& config, const FlashImage& image) {
  BlockingEventLoop loop;
  Exchange exchange(loop);
  sim::SimDevice device(loop, config);
  bench::Connect(device, exchange);
  bench::QuietUi ui;
  const auto start = std::chrono::steady_clock::now();
  const UploadOutcome outcome = RunUpload(exchange, image, ui);
  const auto end = std::chrono::steady_clock::now();
  if (outcome != UploadOutcome::Completed || !device.refused().empty() || !device.reset_seen()) return {};
  return Measure{std::chrono::duration<double, std::milli>(end - start).count(),
                 static_cast<double>(device.device_time()) / 1000.0, device.model().steps()};
}

// Every question answered yes, every message swallowed; the file dialog
// names the image.
struct Quiet final : WindowDialogs {
  QString file;
  bool AskBootloaderArea(QWidget*) override { return true; }
  void ShowChecksumWarning(QWidget*, const QString&) override {}
  void ShowUploadEnd(QWidget*, const QString&, const QString&) override {}
  void ShowError(QWidget*, const QString&) override {}
  std::optional<QString> BrowseHexFile(QWidget*, const QString&, const QString&) override { return file; }
};

// The window's side: connect, open the file (read under the family the
// device reports), show the activity panel, then time the Start click, which
// returns when the upload has ended. The device's time is counted from the
// click, so the connection's handshake is left out of both figures.
std::optional<Measure> Window(const sim::Config& config, const std::string& path) {
  QtEventLoop loop;
  VirtualHidBackend backend(loop);
  Quiet dialogs;
  dialogs.file = QString::fromStdString(path);
  VirtualSimBootloader device(backend, loop, config);
  TqBoot window(loop, backend, dialogs, WindowOptions{});
  window.show();
  const Micros settle = loop.now() + from_ms(300);
  while (loop.now() < settle) loop.process_events(settle);
  window.ButtonConnectClick();
  if (!window.Connected()) return {};
  window.ButtonOpenHexClick();
  if (g_panel_shown) window.AdvGlowButton1Click();  // the activity panel, terminal log included
  const Micros shown = loop.now() + from_ms(200);
  while (loop.now() < shown) loop.process_events(shown);

  const Micros device_before = device.model().device_time();
  const int steps_before = device.model().steps();
  const auto start = std::chrono::steady_clock::now();
  window.ButtonStartBootloaderClick();
  const auto end = std::chrono::steady_clock::now();
  if (!device.model().reset_seen() || !device.model().refused().empty() || window.TerminalLines().isEmpty())
    return {};
  return Measure{std::chrono::duration<double, std::milli>(end - start).count(),
                 static_cast<double>(device.model().device_time() - device_before) / 1000.0,
                 device.model().steps() - steps_before};
}

double MedianOf(const std::vector<Measure>& runs, double (*field)(const Measure&)) {
  std::vector<double> v;
  for (const auto& m : runs) v.push_back(field(m));
  return bench::Median(v);
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  int runs = 3;
  std::vector<std::string> presets;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--panel-hidden") {
      g_panel_shown = false;
    } else if (a == "--runs" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else {
      presets.push_back(a);
    }
  }
  if (presets.empty()) presets = sim::PresetNames();

  std::printf("Upload in real time against the simulated device's own time, median of %d runs\n", runs);
  std::printf("(device: USB frames in and out plus flash erase and write times; ratio = real / device;\n"
              " window offscreen, activity panel %s)\n\n",
              g_panel_shown ? "shown (terminal log on)" : "hidden");
  std::printf("| preset | image | bytes | answers | device ms | cli ms | cli ratio | window ms | window ratio "
              "| window/cli | cli extra us/answer | window extra us/answer |\n");
  std::printf("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  int rc = 0;
  for (const std::string& name : presets) {
    const auto config = sim::Preset(name);
    if (!config) {
      std::fprintf(stderr, "unknown preset %s\n", name.c_str());
      return 2;
    }
    const std::string path = ImageFor(name);
    const McuFamily family = config->info.McuType == 1 ? McuFamily::Pic16 : McuFamily::Pic18;
    FlashImage image;
    const LoadResult loaded = LoadHexFile(path, family, image);
    if (!loaded.ok()) {
      std::fprintf(stderr, "%s\n", loaded.message.c_str());
      return 1;
    }
    std::vector<Measure> cli, win;
    for (int run = 0; run < runs; ++run) {
      const auto c = CommandLine(*config, image);
      const auto w = Window(*config, path);
      if (!c || !w) {
        std::fprintf(stderr, "%s: the %s upload did not complete cleanly\n", name.c_str(), !c ? "command-line" : "window");
        rc = 1;
        break;
      }
      cli.push_back(*c);
      win.push_back(*w);
    }
    if (cli.empty() || cli.size() != win.size()) continue;
    std::vector<double> per_run;  // window over command line, pairwise in the same run
    for (std::size_t i = 0; i < cli.size(); ++i) per_run.push_back(win[i].real_ms / cli[i].real_ms);
    const auto slash = path.find_last_of('/');
    const auto real = [](const Measure& m) { return m.real_ms; };
    const auto device = [](const Measure& m) { return m.device_ms; };
    const auto ratio = [](const Measure& m) { return m.ratio(); };
    // What the host adds over the device, spread over the device's answers.
    const auto extra = [](const Measure& m) { return (m.real_ms - m.device_ms) * 1000.0 / static_cast<double>(m.answers); };
    std::printf("| %s | %s | %lld | %d | %.1f | %.1f | %.4f | %.1f | %.4f | %.4f | %.0f | %.0f |\n", name.c_str(),
                path.substr(slash + 1).c_str(), static_cast<long long>(image.ImageEnd()), cli.front().answers,
                MedianOf(cli, device), MedianOf(cli, real), MedianOf(cli, ratio), MedianOf(win, real),
                MedianOf(win, ratio), bench::Median(per_run), MedianOf(cli, extra), MedianOf(win, extra));
    if (win.front().answers != cli.front().answers)
      std::printf("(%s: the window's upload had %d answers)\n", name.c_str(), win.front().answers);
    std::fflush(stdout);
  }
  return rc;
}
