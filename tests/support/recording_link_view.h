#pragma once
// A view that records what the device link shows: the list items, the link
// picture, the Connect caption, the upload button's state and the history.

#include <string>
#include <string_view>
#include <vector>

#include "hid/device_link.h"

namespace ql::test {

// What the device link shows.
class RecordingLinkView : public DeviceLinkView {
 public:
  void SetMcuItem(std::string_view item) override { mcu.assign(item); }
  void SetDeviceItem(std::string_view item) override { device.assign(item); }
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
