// The module's image entry point: a HEX file's text, as the page read it,
// into the flash image the upload writes.
//
//   const r = Module.loadHex(text, "firmware.hex", "pic18");
//   r.status ("ok", "checksum-failed", ...), r.message, r.line, r.size, r.bytes
#include <emscripten/bind.h>
#include <emscripten/val.h>

#include <string>

#include "core/full_stop.h"
#include "core/mcu_family.h"
#include "image/flash_image.h"
#include "web/module_values.h"

namespace ql::web {

namespace {

emscripten::val LoadHex(const std::string& text, const std::string& name, const std::string& family_word) {
  emscripten::val out = emscripten::val::object();
  const std::optional<McuFamily> family = FamilyFromOption(family_word);
  if (!family) {
    out.set("status", std::string("bad-family"));
    out.set("message", "unknown family \"" + family_word + "\": pic16, pic18 or none");
    return out;
  }
  FlashImage image;
  const LoadResult r = LoadHexText(text, name, *family, image);
  out.set("status", std::string(LoadStatusName(r.status)));
  out.set("message", r.ok() ? std::string() : WithFullStop(r.message));
  out.set("line", r.line);
  out.set("family", std::string(FamilyOption(image.family)));
  out.set("size", static_cast<double>(image.ImageEnd()));
  out.set("bytes", BytesToJs(image.bytes));
  return out;
}

}  // namespace

EMSCRIPTEN_BINDINGS(quelloader_image) { emscripten::function("loadHex", &LoadHex); }

}  // namespace ql::web
