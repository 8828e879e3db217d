// The simulated bootloader as the page (or a test) can put it behind any
// transport written in JavaScript, such as a stand-in for navigator.hid:
//
//   const board = new Module.SimulatedBoard("pic18", "", onInput, onUnplug);
//   board.receive(report)   // a whole output report, report ID first; false once off the bus
//   onInput(data)           // each answer, 64 data bytes, at the time the model gives
//   onUnplug()              // the board left the bus (its reset, or a fault)
//   board.flash(); board.bootInfo(); board.present(); board.resetSeen();
//   board.deviceTime() (ms); board.steps();
//   board.unplug(); board.delete()
//
// The second argument is a fault as the command line names it ("unplug@40",
// "deaf", ...; "" none). Answers come on the page's event loop.
#include <emscripten/bind.h>
#include <emscripten/val.h>

#include <cstdlib>
#include <string>

#include "sim/fault_names.h"
#include "sim/model_driver.h"
#include "sim/simulated_bootloader.h"
#include "web/module_values.h"
#include "web/page_loop.h"

namespace ql::web {

namespace {

using emscripten::val;

// The preset with the fault applied; the preset alone when the fault is "".
// An unknown preset or fault is the pic18 preset with a fault that makes the
// board silent, and `known` false.
sim::Config BoardConfig(const std::string& preset, const std::string& fault, bool* known) {
  *known = true;
  std::optional<sim::Config> config = sim::Preset(preset);
  if (!config) {
    *known = false;
    config = sim::Preset("pic18");
  }
  if (!fault.empty()) {
    const auto at = fault.find('@');
    const std::optional<sim::FaultKind> kind = sim::FaultFromName(fault.substr(0, at));
    if (kind) {
      config->fault = {*kind, at == std::string::npos ? 0 : std::atoi(fault.c_str() + at + 1)};
    } else {
      *known = false;
    }
  }
  if (!*known) config->fault = {sim::FaultKind::Silent, 0};
  return *config;
}

class JsSimulatedBoard {
 public:
  JsSimulatedBoard(const std::string& preset, const std::string& fault, val on_input, val on_unplug)
      : driver_(PageLoop(), BoardConfig(preset, fault, &known_)) {
    driver_.on_input = [on_input](std::span<const std::uint8_t> data) { on_input(BytesToJs(data)); };
    driver_.on_unplug = [on_unplug] { on_unplug(); };
  }

  bool known() const { return known_; }
  bool receive(const val& report) { return driver_.Receive(BytesFromJs(report)); }
  val flash() const { return BytesToJs(driver_.model().flash()); }
  val bootInfo() const {
    const TBootInfo& info = driver_.model().config().info;
    val out = val::object();
    out.set("bootStart", static_cast<double>(info.BootStart));
    out.set("mcuType", info.McuType);
    out.set("eraseBlockSize", info.EraseBlockSize);
    out.set("writeBlockSize", info.WriteBlockSize);
    out.set("deviceName", info.BootDeviceName);
    return out;
  }
  bool present() const { return driver_.present(); }
  bool resetSeen() const { return driver_.model().reset_seen(); }
  int dataBlocks() const { return driver_.model().data_blocks(); }
  // The device's own time so far in milliseconds (USB frames, erases and
  // writes, as the model accounts them), and the packets it has recognised.
  double deviceTime() const { return static_cast<double>(driver_.model().device_time()) / 1000.0; }
  int steps() const { return driver_.model().steps(); }
  void unplug() { driver_.Unplug(); }

 private:
  bool known_ = true;
  sim::ModelDriver driver_;
};

}  // namespace

EMSCRIPTEN_BINDINGS(quelloader_simulated_board) {
  emscripten::class_<JsSimulatedBoard>("SimulatedBoard")
      .constructor<const std::string&, const std::string&, val, val>()
      .function("known", &JsSimulatedBoard::known)
      .function("receive", &JsSimulatedBoard::receive)
      .function("flash", &JsSimulatedBoard::flash)
      .function("bootInfo", &JsSimulatedBoard::bootInfo)
      .function("present", &JsSimulatedBoard::present)
      .function("resetSeen", &JsSimulatedBoard::resetSeen)
      .function("dataBlocks", &JsSimulatedBoard::dataBlocks)
      .function("deviceTime", &JsSimulatedBoard::deviceTime)
      .function("steps", &JsSimulatedBoard::steps)
      .function("unplug", &JsSimulatedBoard::unplug);
}

}  // namespace ql::web
