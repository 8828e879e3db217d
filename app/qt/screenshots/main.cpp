// quelloader-screenshots: takes the README's pictures of the window. It opens
// the window as `quelloader --simulate PRESET` does, without a settings file,
// and walks it through an upload of HEX_FILE, saving the pictures in OUT_DIR.
// Usage: quelloader-screenshots [--simulate PRESET] OUT_DIR HEX_FILE
// (tools/screenshots.sh runs it under Xvfb.)
#include <CLI/CLI.hpp>
#include <QApplication>
#include <QFile>

#include <string>

#include "app/qt/dialogs.h"
#include "app/qt/qboot.h"
#include "app/qt/qt_event_loop.h"
#include "app/qt/screenshots/screenshot_tour.h"
#include "hid/virtual_hid_backend.h"
#include "hid/virtual_sim_device.h"
#include "sim/simulated_bootloader.h"

int main(int argc, char** argv) {
  CLI::App cli{"Takes the documentation's pictures of the window, walked through a simulated upload.",
               "quelloader-screenshots"};
  std::string preset = "pic18";
  std::string out_dir;
  std::string hex_file;
  cli.add_option("--simulate", preset, "Preset of the simulated bootloader")
      ->check(CLI::IsMember(ql::sim::PresetNames()))
      ->type_name("PRESET");
  cli.add_option("OUT_DIR", out_dir, "Folder for the pictures")->required();
  cli.add_option("HEX_FILE", hex_file, "Intel HEX file to upload")->required();
  CLI11_PARSE(cli, argc, argv);

  // As the window's own program starts: Qt gets only the program name.
  int qt_argc = 1;
  QApplication app(qt_argc, argv);
  QApplication::setApplicationName(QStringLiteral("Quelloader"));
  QGuiApplication::setDesktopFileName(QStringLiteral("quelloader"));

  ql::QtEventLoop loop;
  ql::VirtualHidBackend backend(loop);
  ql::VirtualSimBootloader simulator(backend, loop, *ql::sim::Preset(preset));
  ql::QtWindowDialogs dialogs;
  // No settings file: the pictures show a first start and leave nothing
  // behind. The walk drops the file after connecting, so that it is read
  // under the device's family rules.
  ql::WindowOptions options;
  ql::TqBoot window(loop, backend, dialogs, options);
  window.show();
  ql::StartScreenshotTour(window, QFile::decodeName(out_dir.c_str()), QFile::decodeName(hex_file.c_str()));
  return QApplication::exec();
}
