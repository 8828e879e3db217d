// The module's entry point for the page: the window's behaviour (QBootForm)
// shown by the page through WebView, on the page's event loop, over WebHID or
// a simulated board.
//
//   const form = new Module.Form(view, "webhid");   // or "simulate:pic18"
//   form.shown()                                    // once the page is up
//   form.connectClick(); form.openHexClick(); form.startClick(); form.activityClick()
//   form.chooseFile(name, bytes)        the file picked after view.browseHexFile()
//   form.dropFiles([{name, bytes}])     bytes null for a file the page did not read
//   form.uploadEndClosed()              the end-of-upload dialog was closed
//   form.caption(control), enabled(control), connected(), uploadActive(), uploadEndOpen(), webHidAvailable(),
//   bootloaderListed(), listRebuilds(), simulatedFlash(), known()
//
// Every handler returns at once: the steps it starts (connect, boot info,
// upload) park on their waits and end on the loop. Chosen and dropped files
// are written into the module's own file system, in the folder the module
// works in (/hex), handed to the form by their bare names, and removed again
// once read: the form keeps the image, not the file.
#include <emscripten/bind.h>
#include <emscripten/val.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "app/form/qboot_form.h"
#include "core/bootloader_name.h"
#include "core/write_file.h"
#include "hid/virtual_hid_backend.h"
#include "sim/simulated_bootloader.h"
#include "web/module_values.h"
#include "web/page_loop.h"
#include "web/simulated_slot.h"
#include "web/web_view.h"
#include "web/webhid_backend.h"

namespace ql::web {

namespace {

using emscripten::val;

constexpr const char* kFileFolder = "/hex";

// A name the browser gave a file, usable as one in the folder: no folder
// part of its own, nothing that names the folder or its parent.
bool UsableName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

Control ControlNamed(const std::string& name) {
  if (name == "ButtonOpenHex") return Control::ButtonOpenHex;
  if (name == "ButtonStartBootloader") return Control::ButtonStartBootloader;
  if (name == "AdvGlowButton1") return Control::AdvGlowButton1;
  return Control::ButtonConnect;
}

WindowOptions PageOptions() {
  WindowOptions options;
  options.suspending_waits = true;
  options.end_dialog_closes_later = true;
  return options;
}

class JsForm {
 public:
  JsForm(val view, const std::string& mode) : view_(std::move(view)) {
    ::mkdir(kFileFolder, 0777);
    if (::chdir(kFileFolder) != 0) known_ = false;
    EventLoop& loop = PageLoop();
    const std::string prefix = "simulate:";
    if (mode.rfind(prefix, 0) == 0) {
      virtual_ = std::make_unique<VirtualHidBackend>(loop);
      if (const std::optional<sim::Config> preset = sim::Preset(mode.substr(prefix.size()))) {
        board_ = std::make_unique<SimulatedSlot>(*virtual_, loop, *preset);
      } else {
        known_ = false;
      }
      form_ = std::make_unique<QBootForm>(loop, *virtual_, view_, PageOptions());
    } else {
      webhid_ = std::make_unique<WebHidBackend>(loop);
      form_ = std::make_unique<QBootForm>(loop, *webhid_, view_, PageOptions());
    }
  }
  ~JsForm() {
    form_.reset();
    board_.reset();
  }
  JsForm(const JsForm&) = delete;
  JsForm& operator=(const JsForm&) = delete;

  void shown() { form_->Shown(); }
  void connectClick() { form_->ButtonConnectClick(); }
  void openHexClick() { form_->ButtonOpenHexClick(); }
  void startClick() { form_->ButtonStartBootloaderClick(); }
  void activityClick() { form_->AdvGlowButton1Click(); }
  void uploadEndClosed() { form_->UploadEndClosed(); }

  // "" when the form has been told; else why the file could not be handed over.
  // Bytes null: the page could not read the file, which the form then does not find.
  std::string chooseFile(const std::string& name, const val& bytes) {
    const bool readable = !bytes.isNull() && !bytes.isUndefined();
    if (readable && !UsableName(name)) return "The file name \"" + name + "\" cannot be used.";
    if (readable) {
      if (const int error = WriteFile(name, BytesFromJs(bytes)); error != 0) return WriteFailureText(name, error);
    }
    form_->ChosenInOpenDialog(name);
    if (readable) ::unlink(name.c_str());
    return {};
  }

  std::string dropFiles(const val& files) {
    std::vector<std::string> names;
    std::vector<std::string> written;
    std::string problem;
    const unsigned count = files["length"].as<unsigned>();
    for (unsigned i = 0; i < count; ++i) {
      const val file = files[i];
      const std::string name = file["name"].as<std::string>();
      names.push_back(name);
      if (!UsableName(name) || file["bytes"].isNull() || file["bytes"].isUndefined()) continue;
      if (const int error = WriteFile(name, BytesFromJs(file["bytes"])); error != 0) {
        if (problem.empty()) problem = WriteFailureText(name, error);
        continue;
      }
      written.push_back(name);
    }
    form_->DropFiles(names);
    for (const std::string& name : written) ::unlink(name.c_str());
    return problem;
  }

  // What the form holds for a control (by its name in WebView): the page
  // starts from it.
  std::string caption(const std::string& control) const { return form_->Caption(ControlNamed(control)); }
  bool enabled(const std::string& control) const { return form_->Enabled(ControlNamed(control)); }
  bool connected() const { return form_->Connected(); }
  bool uploadActive() const { return form_->UploadActive(); }
  bool uploadEndOpen() const { return form_->UploadEndOpen(); }
  bool webHidAvailable() const { return webhid_ && webhid_->Available(); }
  // Whether the form's device list holds a bootloader (WebHID: one granted and attached).
  bool bootloaderListed() const {
    for (const DeviceLink::Entry& e : form_->link().HidDeviceList()) {
      if (e.device && e.device->ProductText() == BootloaderProductName) return true;
    }
    return false;
  }
  int listRebuilds() const { return form_->link().ListRebuildCount(); }
  // False for an unknown simulated preset.
  bool known() const { return known_; }
  // The simulated board's flash (after it left the bus, as it was then);
  // undefined outside the simulation.
  val simulatedFlash() const { return board_ ? BytesToJs(board_->Flash()) : val::undefined(); }

 private:
  WebView view_;
  bool known_ = true;
  std::unique_ptr<VirtualHidBackend> virtual_;
  std::unique_ptr<SimulatedSlot> board_;
  std::unique_ptr<WebHidBackend> webhid_;
  std::unique_ptr<QBootForm> form_;
};

}  // namespace

EMSCRIPTEN_BINDINGS(quelloader_form) {
  emscripten::class_<JsForm>("Form")
      .constructor<val, const std::string&>()
      .function("shown", &JsForm::shown)
      .function("connectClick", &JsForm::connectClick)
      .function("openHexClick", &JsForm::openHexClick)
      .function("startClick", &JsForm::startClick)
      .function("activityClick", &JsForm::activityClick)
      .function("uploadEndClosed", &JsForm::uploadEndClosed)
      .function("chooseFile", &JsForm::chooseFile)
      .function("dropFiles", &JsForm::dropFiles)
      .function("caption", &JsForm::caption)
      .function("enabled", &JsForm::enabled)
      .function("connected", &JsForm::connected)
      .function("uploadActive", &JsForm::uploadActive)
      .function("uploadEndOpen", &JsForm::uploadEndOpen)
      .function("webHidAvailable", &JsForm::webHidAvailable)
      .function("bootloaderListed", &JsForm::bootloaderListed)
      .function("listRebuilds", &JsForm::listRebuilds)
      .function("known", &JsForm::known)
      .function("simulatedFlash", &JsForm::simulatedFlash);
}

}  // namespace ql::web
