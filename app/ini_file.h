#pragma once
// Settings.ini: sections of key=value lines, read leniently (trimmed lines,
// comments and empty lines dropped, names matched without regard to case)
// and written back in the order read, with CR LF line ends. Sections and keys
// the window does not use survive a run unchanged.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ql {

class IniFile {
 public:
  struct Section {
    std::string name;
    std::vector<std::pair<std::string, std::string>> keys;
  };

  static IniFile Parse(std::string_view text);
  std::string Serialize() const;

  // Reads `path`; a missing or unreadable file gives an empty store.
  static IniFile Load(const std::string& path);
  // Writes the whole store through a temporary file renamed over `path`,
  // creating the folder if needed. Leaves a read-only file alone. Returns
  // whether the file was written.
  bool Save(const std::string& path) const;

  std::optional<std::string> Read(std::string_view section, std::string_view key) const;
  // Replaces the value of an existing key in place, or appends the key.
  void Write(std::string_view section, std::string_view key, std::string_view value);

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
