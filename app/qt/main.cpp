// quelloader: the window. Usage: quelloader [--simulate PRESET] [FILE] (see --help)
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/qt/dialogs.h"
#include "app/qt/qboot.h"
#include "app/qt/qt_event_loop.h"
#include "app/qt/settings_location.h"
#include "app/form/window_arguments.h"
#include "core/debug_log.h"
#include "core/version.h"
#include "hid/platform_hid_backend.h"
#include "hid/virtual_hid_backend.h"
#include "hid/virtual_sim_device.h"
#include "sim/simulated_bootloader.h"

#include <fcntl.h>
#include <unistd.h>

namespace {

// Ctrl+C, a polite kill or the terminal it was started from closing
// (SIGINT, SIGTERM, SIGHUP) closes the window as its close button would: the
// upload stops, the settings are written and the device readers end.
int g_signal_pipe[2] = {-1, -1};

void OnSignal(int) {
  const char c = 1;
  [[maybe_unused]] const auto n = ::write(g_signal_pipe[1], &c, 1);
}

}  // namespace

int main(int argc, char** argv) {
  // A closed pipe (stdout into `head`, debug lines into a pipeline that ended)
  // fails the write; it must not end the window in the middle of an upload.
  std::signal(SIGPIPE, SIG_IGN);
  // Answered before any display is opened: help, version and usage errors.
  const ql::ParsedWindowArguments parsed = ql::ParseWindowArguments(argc, argv, ql::QtWindowProgramText());
  std::fputs(parsed.out.c_str(), stdout);
  std::fputs(parsed.err.c_str(), stderr);
  if (parsed.exit_code) return *parsed.exit_code;
  const ql::WindowArguments& args = parsed.args;

  // The command line is ours alone: Qt gets only the program name, so that a
  // file name cannot pass for one of its options (the environment, such as
  // QT_QPA_PLATFORM, still configures it).
  int qt_argc = 1;
  QApplication app(qt_argc, argv);
  QApplication::setApplicationName(QStringLiteral("Quelloader"));
  // The display name stays unset: Qt would append it to the window's caption.
  QGuiApplication::setDesktopFileName(QStringLiteral("quelloader"));

  // QUELLOADER_DEBUG=1: timestamped debug lines on stderr for field reports.
  ql::EnableDebugFromEnvironment();
  ql::QtEventLoop loop;

  std::unique_ptr<ql::HidBackend> backend;
  ql::VirtualHidBackend* virtual_backend = nullptr;
  std::unique_ptr<ql::VirtualSimBootloader> simulator;
  if (!args.simulate.empty()) {
    const auto config = ql::sim::Preset(args.simulate);  // a known name: the parser checked it
    auto vb = std::make_unique<ql::VirtualHidBackend>(loop);
    virtual_backend = vb.get();
    backend = std::move(vb);
    simulator = std::make_unique<ql::VirtualSimBootloader>(*virtual_backend, loop, *config);
  } else {
    backend = ql::MakePlatformHidBackend();
  }

  ql::QtWindowDialogs dialogs;
  ql::WindowOptions options;
  options.settings_path = ql::SettingsPath(QCoreApplication::applicationDirPath().toStdString());
  options.command_line_file = args.file;

  int rc = 0;
  {
    ql::TqBoot window(loop, *backend, dialogs, options);
    window.show();
    // The demo board goes back into its bootloader within two seconds after it left
    // the bus (after an upload's reset, or a disconnect), so the workflow can
    // be tried again without restarting.
    QTimer replug;
    if (simulator) {
      const ql::sim::Config config = *ql::sim::Preset(args.simulate);
      replug.setInterval(2000);
      QObject::connect(&replug, &QTimer::timeout, [&, config] {
        if (simulator->attached()) return;
        simulator = std::make_unique<ql::VirtualSimBootloader>(*virtual_backend, loop, config);
      });
      replug.start();
    }
    ql::EventLoop::WatchId signal_watch = 0;
    if (::pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) == 0) {
      signal_watch = loop.watch_readable(g_signal_pipe[0], [&window] {
        char c;
        while (::read(g_signal_pipe[0], &c, 1) == 1) {
        }
        window.close();
      });
      for (const int s : {SIGINT, SIGTERM, SIGHUP}) std::signal(s, OnSignal);
    }
    rc = QApplication::exec();
    for (const int s : {SIGINT, SIGTERM, SIGHUP}) std::signal(s, SIG_DFL);
    // The window may still show a message box while it goes (settings not
    // saved): nothing may close it from under that.
    if (signal_watch) loop.unwatch(signal_watch);
  }
  simulator.reset();
  return rc;
}
