// The module's upload entry point, for the page:
//
//   const up = new Module.Uploader(view, "webhid");        // or "simulate:pic18"
//   up.devices()    -> [{name, vendorId, productId, bootloader, busy}]
//   up.flash(hexText, "firmware.hex")  -> false while a flash runs
//   up.stop(); up.busy(); up.webHidAvailable(); up.simulatedFlash(); up.delete()
//
// `view` is a plain object; each method is optional:
//   history(line), terminal(line), progress(value, max), phase(name),
//   clearTerminal(), devicesChanged(), askBootloaderArea(question) -> bool,
//   finished({ok, outcome, message, device, family, imageBytes, seconds})
#include <emscripten/bind.h>
#include <emscripten/val.h>

#include <algorithm>
#include <memory>
#include <string>

#include "hid/virtual_hid_backend.h"
#include "sim/simulated_bootloader.h"
#include "upload/upload_engine.h"
#include "web/module_values.h"
#include "web/page_loop.h"
#include "web/simulated_slot.h"
#include "web/web_uploader.h"
#include "web/webhid_backend.h"

namespace ql::web {

namespace {

using emscripten::val;

// The page's view object behind UploaderView.
class JsView final : public UploaderView {
 public:
  explicit JsView(val view) : view_(std::move(view)) { has_terminal_ = Has("terminal"); }

  void AppendHistory(std::string_view line) override { Call("history", std::string(line)); }
  void AppendTerminal(std::string_view line) override {
    if (has_terminal_) Call("terminal", std::string(line));
  }
  void ProgressSetMax(std::int64_t max) override {
    max_ = max;
    value_ = 0;
    Call("progress", 0.0, static_cast<double>(max_));
  }
  void ProgressStep() override {
    value_ = std::min(value_ + 7, max_);
    Call("progress", static_cast<double>(value_), static_cast<double>(max_));
  }
  bool AskBootloaderArea() override {
    if (!Has("askBootloaderArea")) return false;
    return view_.call<val>("askBootloaderArea", std::string(kBootAreaQuestion)).as<bool>();
  }
  void FinishUpload() override {}
  void PhaseChanged(SessionPhase phase) override { Call("phase", std::string(PhaseName(phase))); }
  void ClearTerminal() override { Call("clearTerminal"); }
  void DevicesChanged() override { Call("devicesChanged"); }
  void Finished(const FlashResult& r) override {
    val out = val::object();
    out.set("ok", r.ok);
    out.set("outcome", r.outcome);
    out.set("message", r.message);
    out.set("device", r.device);
    out.set("family", r.family);
    out.set("imageBytes", static_cast<double>(r.image_bytes));
    out.set("seconds", r.seconds);
    Call("finished", out);
  }

 private:
  bool Has(const char* name) const { return view_[name].typeOf().as<std::string>() == "function"; }
  template <typename... Args>
  void Call(const char* name, Args&&... args) {
    if (Has(name)) view_.call<void>(name, std::forward<Args>(args)...);
  }

  val view_;
  bool has_terminal_ = false;
  std::int64_t max_ = 0;
  std::int64_t value_ = 0;
};

class JsUploader {
 public:
  JsUploader(val view, const std::string& mode) : view_(std::move(view)) {
    EventLoop& loop = PageLoop();
    const std::string prefix = "simulate:";
    if (mode.rfind(prefix, 0) == 0) {
      virtual_ = std::make_unique<VirtualHidBackend>(loop);
      uploader_ = std::make_unique<WebUploader>(loop, *virtual_, view_);
      if (const std::optional<sim::Config> preset = sim::Preset(mode.substr(prefix.size()))) {
        board_ = std::make_unique<SimulatedSlot>(*virtual_, loop, *preset);
      }
    } else {
      webhid_ = std::make_unique<WebHidBackend>(loop);
      uploader_ = std::make_unique<WebUploader>(loop, *webhid_, view_);
    }
  }
  ~JsUploader() {
    uploader_.reset();
    board_.reset();
  }

  val devices() {
    val out = val::array();
    for (const WebUploader::DeviceEntry& e : uploader_->Devices()) {
      val d = val::object();
      d.set("name", e.name);
      d.set("vendorId", e.vendor_id);
      d.set("productId", e.product_id);
      d.set("bootloader", e.bootloader);
      d.set("busy", e.busy);
      out.call<void>("push", d);
    }
    return out;
  }
  bool flash(const std::string& text, const std::string& name) { return uploader_->Flash(text, name); }
  void stop() { uploader_->Stop(); }
  bool busy() const { return uploader_->Busy(); }
  bool webHidAvailable() const { return webhid_ && webhid_->Available(); }
  // The simulated board's flash (after it left the bus, as it was then);
  // undefined outside the simulation.
  val simulatedFlash() const { return board_ ? BytesToJs(board_->Flash()) : val::undefined(); }

 private:
  JsView view_;
  std::unique_ptr<VirtualHidBackend> virtual_;
  std::unique_ptr<SimulatedSlot> board_;
  std::unique_ptr<WebHidBackend> webhid_;
  std::unique_ptr<WebUploader> uploader_;
};

}  // namespace

EMSCRIPTEN_BINDINGS(quelloader_uploader) {
  emscripten::class_<JsUploader>("Uploader")
      .constructor<val, const std::string&>()
      .function("devices", &JsUploader::devices)
      .function("flash", &JsUploader::flash)
      .function("stop", &JsUploader::stop)
      .function("busy", &JsUploader::busy)
      .function("webHidAvailable", &JsUploader::webHidAvailable)
      .function("simulatedFlash", &JsUploader::simulatedFlash);
}

}  // namespace ql::web
