// Settings.ini: any text read, the window's values written into it, written
// out and read again. What was read must survive the writing (sections and
// keys the window does not use included), and the values the window wrote
// must read back as the same values.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/form/form_storage.h"
#include "app/form/ini_file.h"

namespace {

using namespace ql;

// Texts the window stores: folder and file paths. A line break cannot be
// carried by one INI line, and blanks at either end are trimmed by every INI
// reader, so the window stores only paths without them (see docs/reliability.md).
std::string StorableText(FuzzedDataProvider& in) {
  std::string s = in.ConsumeRandomLengthString(300);
  std::erase_if(s, [](char c) { return c == '\r' || c == '\n'; });
  return Trim(s);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const ScreenInfo screen{in.ConsumeIntegralInRange(0, 10000), in.ConsumeIntegralInRange(0, 10000),
                          in.ConsumeIntegralInRange(1, 400)};
  WindowPlacement placement;
  placement.show_cmd = in.ConsumeIntegralInRange(0, 11);
  placement.flags = in.ConsumeIntegral<int>();
  for (int& v : placement.min_max) v = in.ConsumeIntegral<int>();
  for (int& v : placement.norm) v = in.ConsumeIntegral<int>();
  StoredProps props;
  props.close_when_finished = in.ConsumeBool();
  props.initial_dir = StorableText(in);
  props.file_name = StorableText(in);
  props.mcu_item_index = in.ConsumeIntegral<int>();
  const std::string text = in.ConsumeRemainingBytesAsString();

  // Read, and read what writing it out gives: the same store.
  const IniFile first = IniFile::Parse(text);
  const std::string written = first.Serialize();
  const IniFile again = IniFile::Parse(written);
  if (again.Serialize() != written) std::abort();
  for (const auto& section : first.sections())
    for (const auto& entry : section.keys)
      if (again.Read(section.name, entry.key) != first.Read(section.name, entry.key)) std::abort();

  // The window's values into it, out to text, back in: the same values.
  IniFile store = first;
  GatherFormSettings(store, screen, placement, props);
  const IniFile reread = IniFile::Parse(store.Serialize());
  const AppliedSettings applied = ApplyFormSettings(reread, screen, WindowPlacement{});
  if (applied.error) std::abort();
  if (applied.close_when_finished != props.close_when_finished) std::abort();
  if (applied.initial_dir != props.initial_dir || applied.file_name != props.file_name) std::abort();
  if (applied.mcu_item_index != props.mcu_item_index) std::abort();
  if (!applied.placement || applied.placement->min_max != placement.min_max ||
      applied.placement->norm != placement.norm || applied.placement->flags != placement.flags)
    std::abort();
  if (!applied.show_state || *applied.show_state != ShowStateFromCmd(placement.show_cmd)) std::abort();
  // Keys of other sections are left as they were read.
  for (const auto& section : first.sections()) {
    if (SameName(section.name, kFormSection)) continue;
    for (const auto& entry : section.keys)
      if (reread.Read(section.name, entry.key) != first.Read(section.name, entry.key)) std::abort();
  }
  return 0;
}
