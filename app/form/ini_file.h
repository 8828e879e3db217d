#pragma once
// Settings.ini: sections of key=value lines, read leniently (lines end in
// CR LF, LF or CR alone; trimmed lines, comments and empty lines dropped,
// names matched without regard to case) and written back in the order read,
// with CR LF line ends. Sections, keys and other lines the window does not
// use survive a run unchanged.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ql {

class IniFile {
 public:
  // One line of a section: key=value, or (`bare`) a line without "=", kept
  // in `key` as it was read and written back the same way; no key matches it.
  struct Entry {
    std::string key;
    std::string value;
    bool bare = false;
  };
  struct Section {
    std::string name;
    std::vector<Entry> keys;
  };

  static IniFile Parse(std::string_view text);
  std::string Serialize() const;

  // Reads `path`; a missing or unreadable file gives an empty store.
  static IniFile Load(const std::string& path);
  // Writes the whole store through a temporary file renamed over `path`,
  // creating the folder if needed. Leaves a read-only file alone (a way to
  // keep settings fixed, so not an error). Returns whether the file was
  // written; when a write was tried and failed, `error` gets the reason.
  bool Save(const std::string& path, std::string* error = nullptr) const;

  std::optional<std::string> Read(std::string_view section, std::string_view key) const;
  // Replaces the value of an existing key in place, or appends the key.
  // A key or value holding a line break (CR or LF) cannot be kept on its
  // line: it is not stored, an existing key keeps its value and a new one is
  // added empty. Returns whether `value` was stored.
  bool Write(std::string_view section, std::string_view key, std::string_view value);

  const std::vector<Section>& sections() const { return sections_; }

 private:
  Section* FindSection(std::string_view name);
  const Section* FindSection(std::string_view name) const;

  std::vector<Section> sections_;
};

bool SameName(std::string_view a, std::string_view b);
std::string Trim(std::string_view s);

// A file that exists and whose owner has no write permission.
bool IsReadOnlyFile(const std::string& path);

}  // namespace ql
