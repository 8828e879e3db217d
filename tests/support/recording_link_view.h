#pragma once
// A view that records what the device link shows: the list items, the link
// picture, the Connect caption, the upload button's state and the history.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/form/list_items.h"
#include "session/device_link.h"

namespace ql::test {

// What the device link shows.
class RecordingLinkView : public DeviceLinkView {
 public:
  // What the window's boxes would show.
  void ShowMcuType(std::uint8_t mcu_type) override { mcu = McuItem(mcu_type); }
  void ShowDeviceName(std::string_view name) override { device = DeviceItem(name); }
  void SetLinkPicture(int p) override { picture = p; }
  void SetConnectCaption(std::string_view c) override { caption.assign(c); }
  void SetStartEnabled(bool e) override { start_enabled = e; }
  void AppendHistory(std::string_view line) override { history.emplace_back(line); }
  void ClearTerminal() override { ++terminal_clears; }

  std::string mcu;
  std::string device;
  int picture = 0;
  std::string caption = "Connect";
  bool start_enabled = true;
  std::vector<std::string> history;
  int terminal_clears = 0;
};

}  // namespace ql::test
