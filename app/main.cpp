// quelloader: the window. Usage: quelloader [--simulate PRESET] [FILE]
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/dialogs.h"
#include "app/qboot.h"
#include "app/qt_event_loop.h"
#include "app/screenshot_tour.h"
#include "app/settings_location.h"
#include "core/version.h"
#include "hid/linux_hid_backend.h"
#include "hid/virtual_hid_backend.h"
#include "hid/virtual_sim_device.h"
#include "sim/simulated_bootloader.h"

#include <fcntl.h>
#include <unistd.h>

namespace {

struct Arguments {
  std::optional<QString> file;
  QString simulate;
  QString screenshots;  // hidden: the documentation's pictures
  bool ok = true;
};

Arguments ParseArguments(const QStringList& args) {
  Arguments a;
  for (int i = 1; i < args.size(); ++i) {
    const QString& s = args[i];
    if (s == QLatin1String("--simulate") && i + 1 < args.size()) {
      a.simulate = args[++i];
    } else if (s == QLatin1String("--screenshots") && i + 1 < args.size()) {
      a.screenshots = args[++i];
    } else if (!a.file && !s.startsWith(QLatin1String("--"))) {
      a.file = s;  // the first argument that is not an option names the HEX file
    }
  }
  return a;
}

// Ctrl+C or a polite kill closes the window as its close button would: the
// upload stops, the settings are written and the device readers end.
int g_signal_pipe[2] = {-1, -1};

void OnSignal(int) {
  const char c = 1;
  [[maybe_unused]] const auto n = ::write(g_signal_pipe[1], &c, 1);
}

void PrintHelp() {
  std::string presets;
  for (const auto& n : ql::sim::PresetNames()) presets += (presets.empty() ? "" : ",") + n;
  std::printf(
      "Uploads Intel HEX programs into PIC16/PIC18 microcontrollers through their USB HID bootloader: the window.\n"
      "Usage: quelloader [OPTIONS] [FILE]\n"
      "\n"
      "Positionals:\n"
      "  FILE                        Intel HEX file (extension .hex) to open at start\n"
      "\n"
      "Options:\n"
      "  -h,--help                   Print this help message and exit\n"
      "  --version                   Display program version information and exit\n"
      "  --simulate PRESET:{%s}\n"
      "                              Open the window with a simulated bootloader attached instead of USB devices\n"
      "\n"
      "Files:\n"
      "  Settings.ini beside the program when it runs from a folder of its own that you can write to\n"
      "  (a build folder); an installed program uses $XDG_CONFIG_HOME/quelloader/Settings.ini\n"
      "  (~/.config/quelloader/Settings.ini)\n",
      presets.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  // Answered before any display is opened.
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "-h" || a == "--help") {
      PrintHelp();
      return 0;
    }
    if (a == "--version") {
      std::printf("quelloader %s\nQt %s\ncommit %s\n", ql::kVersion, qVersion(), ql::kCommit);
      return 0;
    }
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Quelloader"));
  // The display name stays unset: Qt would append it to the window's caption.
  QGuiApplication::setDesktopFileName(QStringLiteral("quelloader"));

  const Arguments args = ParseArguments(QApplication::arguments());
  ql::QtEventLoop loop;

  std::unique_ptr<ql::HidBackend> backend;
  ql::VirtualHidBackend* virtual_backend = nullptr;
  std::unique_ptr<ql::VirtualSimBootloader> simulator;
  if (!args.simulate.isEmpty()) {
    auto config = ql::sim::Preset(args.simulate.toStdString());
    if (!config) {
      std::string names;
      for (const auto& n : ql::sim::PresetNames()) names += (names.empty() ? "" : ", ") + n;
      std::fprintf(stderr, "quelloader: unknown preset \"%s\" (one of: %s)\n", qPrintable(args.simulate),
                   names.c_str());
      return 2;
    }
    auto vb = std::make_unique<ql::VirtualHidBackend>(loop);
    virtual_backend = vb.get();
    backend = std::move(vb);
    simulator = std::make_unique<ql::VirtualSimBootloader>(*virtual_backend, loop, *config);
  } else {
    backend = ql::MakeLinuxHidBackend();
  }

  ql::QtWindowDialogs dialogs;
  ql::WindowOptions options;
  options.settings_path = ql::SettingsPath(QCoreApplication::applicationDirPath().toStdString());
  if (!args.screenshots.isEmpty()) options.settings_path.clear();  // pictures leave no settings behind
  // The pictures' walk drops the file after connecting, so that it is read
  // under the device's family rules.
  if (args.screenshots.isEmpty()) options.command_line_file = args.file;

  int rc = 0;
  {
    ql::TqBoot window(loop, *backend, dialogs, options);
    window.show();
    // The demo board goes back into its bootloader within two seconds after it left
    // the bus (after an upload's reset, or a disconnect), so the workflow can
    // be tried again without restarting.
    QTimer replug;
    if (simulator) {
      const ql::sim::Config config = *ql::sim::Preset(args.simulate.toStdString());
      replug.setInterval(2000);
      QObject::connect(&replug, &QTimer::timeout, [&, config] {
        if (simulator->attached()) return;
        simulator = std::make_unique<ql::VirtualSimBootloader>(*virtual_backend, loop, config);
      });
      if (args.screenshots.isEmpty()) replug.start();
    }
    if (::pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) == 0) {
      loop.watch_readable(g_signal_pipe[0], [&window] {
        char c;
        while (::read(g_signal_pipe[0], &c, 1) == 1) {
        }
        window.close();
      });
      std::signal(SIGINT, OnSignal);
      std::signal(SIGTERM, OnSignal);
    }
    if (!args.screenshots.isEmpty())
      ql::StartScreenshotTour(window, args.screenshots, args.file.value_or(QString()));
    rc = QApplication::exec();
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
  }
  simulator.reset();
  return rc;
}
