// The shipped udev rule, read from its file and applied to the device chains
// udev would see for a hidraw node: which nodes it opens to the seat's user.
// A small evaluator of the rule keys the file uses stands in for udevd.

#include <fnmatch.h>
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/bootloader_name.h"

namespace {

// One device of a chain, the node itself first and then its parents.
struct Dev {
  std::string subsystem;
  std::map<std::string, std::string> attrs;
  std::map<std::string, std::string> props;
};

struct Key {
  std::string name;  // "SUBSYSTEM", "ATTRS{product}", ...
  std::string op;    // "==", "!=", "=", "+="
  std::string value;
};

std::vector<std::vector<Key>> ParseRules(const std::string& file) {
  std::ifstream in(file);
  std::vector<std::vector<Key>> rules;
  std::string line;
  while (std::getline(in, line)) {
    const auto first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    std::vector<Key> rule;
    std::size_t at = first;
    while (at < line.size()) {
      const std::size_t quote = line.find('"', at);
      if (quote == std::string::npos) break;
      const std::size_t end = line.find('"', quote + 1);
      std::string lhs = line.substr(at, quote - at);
      lhs.erase(0, lhs.find_first_not_of(" ,\t"));
      const std::size_t op_at = lhs.find_first_of("=!+");
      Key key{lhs.substr(0, op_at), lhs.substr(op_at), line.substr(quote + 1, end - quote - 1)};
      while (!key.name.empty() && key.name.back() == ' ') key.name.pop_back();
      rule.push_back(key);
      at = end + 1;
    }
    rules.push_back(rule);
  }
  return rules;
}

std::string Inner(const std::string& name) {
  const auto open = name.find('{');
  return name.substr(open + 1, name.size() - open - 2);
}

bool Matches(const Key& key, const std::string* value) {
  const bool hit = value != nullptr && fnmatch(key.value.c_str(), value->c_str(), 0) == 0;
  return key.op == "==" ? hit : !hit;
}

const std::string* Find(const std::map<std::string, std::string>& m, const std::string& k) {
  const auto it = m.find(k);
  return it == m.end() ? nullptr : &it->second;
}

// The tags the rules give the first device of `chain`.
std::set<std::string> Apply(const std::vector<std::vector<Key>>& rules, std::vector<Dev> chain) {
  std::set<std::string> tags;
  Dev& node = chain[0];
  std::string skip_to;
  for (const auto& rule : rules) {
    if (!skip_to.empty()) {
      if (rule.size() == 1 && rule[0].name == "LABEL" && rule[0].value == skip_to) skip_to.clear();
      continue;
    }
    bool match = true;
    std::vector<const Key*> parent_keys;
    for (const Key& key : rule) {
      if (!match) break;
      if (key.name == "SUBSYSTEM") {
        match = Matches(key, &node.subsystem);
      } else if (key.name.rfind("ENV{", 0) == 0 && key.op != "=") {
        match = Matches(key, Find(node.props, Inner(key.name)));
      } else if (key.name == "IMPORT{parent}") {
        // udev imports the parent's property; a rule whose import found
        // nothing does not go on.
        const std::string* v = chain.size() > 1 ? Find(chain[1].props, key.value) : nullptr;
        if (v != nullptr) node.props[key.value] = *v;
        match = v != nullptr;
      } else if (key.name == "SUBSYSTEMS" || key.name.rfind("ATTRS{", 0) == 0) {
        parent_keys.push_back(&key);
      }
    }
    if (match && !parent_keys.empty()) {
      // Every parent key must hold on one and the same device of the chain.
      match = false;
      for (const Dev& d : chain) {
        bool all = true;
        for (const Key* key : parent_keys) {
          all = all && (key->name == "SUBSYSTEMS" ? Matches(*key, &d.subsystem)
                                                   : Matches(*key, Find(d.attrs, Inner(key->name))));
        }
        if (all) {
          match = true;
          break;
        }
      }
    }
    if (!match) continue;
    for (const Key& key : rule) {
      if (key.name == "TAG" && key.op == "+=") tags.insert(key.value);
      if (key.name == "GOTO") skip_to = key.value;
    }
  }
  return tags;
}

// A hidraw node of a HID device with `hid_id` and `hid_name`, above it the
// parents given.
std::vector<Dev> Node(const std::string& hid_id, const std::string& hid_name,
                      std::vector<Dev> parents) {
  std::vector<Dev> chain{{"hidraw", {}, {}}, {"hid", {}, {{"HID_ID", hid_id}, {"HID_NAME", hid_name}}}};
  chain.insert(chain.end(), parents.begin(), parents.end());
  return chain;
}

std::vector<Dev> UsbAbove(const std::string& manufacturer, const std::string& product) {
  return {{"usb", {{"bInterfaceClass", "03"}}, {}},
          {"usb", {{"manufacturer", manufacturer}, {"product", product}}, {}}};
}

TEST(UdevRule, OpensExactlyTheBootloaderNodes) {
  const auto rules = ParseRules(QUELLOADER_UDEV_RULE);
  ASSERT_FALSE(rules.empty());
  auto opened = [&](const std::vector<Dev>& chain) { return Apply(rules, chain).count("uaccess") == 1; };
  // The name the program recognises the bootloader by: the rule must match it.
  const std::string name(ql::BootloaderProductName);

  // A board on USB, named by its USB device's product string.
  EXPECT_TRUE(opened(Node("0003:000004D8:0000003C", "Microchip Technology Inc. " + name,
                          UsbAbove("Microchip Technology Inc.", name))));
  // The simulated bootloader through /dev/uhid: no USB device above it.
  EXPECT_TRUE(opened(Node("0003:00001209:00000001", name, {{"misc", {}, {}}})));
  // Manufacturer "USB HID" and product "Bootloader": the HID name reads like
  // the bootloader's, the product string does not.
  EXPECT_FALSE(opened(Node("0003:00001234:00005678", name, UsbAbove("USB HID", "Bootloader"))));
  // A Bluetooth device behind a USB adapter goes by its own name, as the
  // program reads it.
  const std::vector<Dev> adapter = {{"bluetooth", {}, {}}, {"bluetooth", {}, {}},
                                    UsbAbove("Intel", "Bluetooth")[0], UsbAbove("Intel", "Bluetooth")[1]};
  EXPECT_FALSE(opened(Node("0005:0000046D:0000B01E", "Keyboard K380", adapter)));
  EXPECT_TRUE(opened(Node("0005:0000046D:0000B01E", name, adapter)));
  // Anything else is left alone.
  EXPECT_FALSE(opened(Node("0003:0000046D:0000C077", "Logitech USB Optical Mouse",
                           UsbAbove("Logitech", "USB Optical Mouse"))));
  std::vector<Dev> usb_device = {UsbAbove("x", name)[1]};
  EXPECT_FALSE(opened(usb_device));
}

}  // namespace
