// How much the window adds to an upload: 32 KiB to a simulated bootloader
// that answers at once, through the window (offscreen, terminal log on, Qt's
// event loop) and through the engine alone on the command line's loop.
// Prints both wall times and their ratio; exits 1 when the window costs more
// than 10 % extra.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "app/qt/dialogs.h"
#include "app/qt/qboot.h"
#include "app/qt/qt_event_loop.h"
#include "core/blocking_event_loop.h"
#include "hid/virtual_hid_backend.h"
#include "hid/virtual_sim_device.h"
#include "image/flash_image.h"
#include "sim/simulated_bootloader.h"
#include "upload/upload_engine.h"

using namespace ql;

namespace {

constexpr std::size_t kImageSize = 32 * 1024;

bool g_zero_latency = true;

sim::Config Device() {
  sim::Config c = *sim::Preset("pic18j");  // bootloader at 0xF000: room for 32 KiB
  if (g_zero_latency) c.timing = {0, 0, 0};
  return c;
}

std::vector<std::uint8_t> Image() {
  std::vector<std::uint8_t> v(kImageSize);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<std::uint8_t>(i * 13 + 5);
  return v;
}

QString WriteHexFile(const std::vector<std::uint8_t>& bytes) {
  QString text;
  for (std::size_t at = 0; at < bytes.size(); at += 16) {
    unsigned sum = 16 + (at >> 8) + (at & 0xFF);
    text += QStringLiteral(":10%1%2").arg(at, 4, 16, QLatin1Char('0')).arg(QStringLiteral("00"));
    for (std::size_t i = 0; i < 16; ++i) {
      sum += bytes[at + i];
      text += QStringLiteral("%1").arg(bytes[at + i], 2, 16, QLatin1Char('0'));
    }
    text += QStringLiteral("%1\n").arg((0x100 - (sum & 0xFF)) & 0xFF, 2, 16, QLatin1Char('0'));
  }
  text += QStringLiteral(":00000001FF\n");
  const QString path = QDir::tempPath() + QStringLiteral("/quelloader-bench-32k.hex");
  QFile f(path);
  f.open(QIODevice::WriteOnly | QIODevice::Truncate);
  f.write(text.toUpper().toLatin1());
  return path;
}

struct Quiet final : WindowDialogs {
  bool AskBootloaderArea(QWidget*) override { return true; }
  void ShowChecksumWarning(QWidget*, const QString&) override {}
  void ShowUploadEnd(QWidget*, const QString&, const QString&) override {}
  void ShowError(QWidget*, const QString&) override {}
  std::optional<QString> BrowseHexFile(QWidget*, const QString&, const QString&) override { return {}; }
};

// The command line's side: lines counted, not shown.
struct CountingUi final : UploadUi {
  std::size_t lines = 0;
  void AppendHistory(std::string_view) override {}
  void AppendTerminal(std::string_view) override { ++lines; }
  void ProgressSetMax(std::int64_t) override {}
  void ProgressStep() override {}
  bool AskBootloaderArea() override { return true; }
  void FinishUpload() override {}
  std::string DeviceName() override { return {}; }
};

double EngineAlone(const std::vector<std::uint8_t>& bytes) {
  BlockingEventLoop loop;
  sim::SimDevice device(loop, Device());
  Exchange exchange(loop);
  device.AttachTo(exchange);
  exchange.BootInfo = device.model().config().info;
  exchange.ApplyBlockSize();
  FlashImage image;
  image.bytes = bytes;
  image.family = McuFamily::Pic18;
  CountingUi ui;
  const auto t0 = std::chrono::steady_clock::now();
  const UploadOutcome outcome = RunUpload(exchange, image, ui);
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (outcome != UploadOutcome::Completed || ui.lines != kImageSize + 3)
    std::fprintf(stderr, "engine upload did not complete (%zu lines)\n", ui.lines);
  return s;
}

double ThroughWindow(const QString& hex) {
  QtEventLoop loop;
  VirtualHidBackend backend(loop);
  Quiet dialogs;
  auto device = std::make_unique<VirtualSimBootloader>(backend, loop, Device());
  double seconds = 0;
  {
    WindowOptions options;
    options.command_line_file = hex.toStdString();
    TqBoot window(loop, backend, dialogs, options);
    window.show();
    window.AdvGlowButton1Click();  // terminal panel shown
    const Micros until = loop.now() + from_ms(500);
    while (loop.now() < until) loop.process_events(until);
    window.ButtonConnectClick();
    if (!window.Connected()) std::fprintf(stderr, "window did not connect\n");
    const auto t0 = std::chrono::steady_clock::now();
    window.ButtonStartBootloaderClick();
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (window.TerminalLines().size() != kImageSize + 3) std::fprintf(stderr, "terminal lines missing\n");
  }
  return seconds;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const auto bytes = Image();
  const QString hex = WriteHexFile(bytes);
  double ratio = 0;
  for (bool zero : {true, false}) {
    g_zero_latency = zero;
    std::vector<double> engine, window;
    for (int i = 0; i < (zero ? 5 : 3); ++i) {
      engine.push_back(EngineAlone(bytes));
      window.push_back(ThroughWindow(hex));
    }
    const double e = Median(engine);
    const double w = Median(window);
    std::printf("32 KiB upload, %s, median of %zu\n",
                zero ? "simulated device answering at once" : "simulated device with pic18j flash and USB timing",
                engine.size());
    std::printf("  engine alone (command-line loop): %9.1f ms\n", e * 1000);
    std::printf("  through the window (offscreen):   %9.1f ms\n", w * 1000);
    std::printf("  window - engine:                  %9.1f ms (ratio %.3f)\n", (w - e) * 1000, w / e);
    if (!zero) ratio = w / e;
  }
  QFile::remove(hex);
  return ratio <= 1.10 ? 0 : 1;
}
