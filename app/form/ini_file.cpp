#include "app/form/ini_file.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <span>
#include <system_error>

#include "app/form/utf8_path.h"
#include "core/read_file.h"
#include "core/write_file.h"

#include <algorithm>
#include <cctype>

namespace ql {

namespace {
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }
bool HasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }
}  // namespace

std::string Trim(std::string_view s) {
  std::size_t b = 0;
  std::size_t e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return std::string(s.substr(b, e - b));
}

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

IniFile IniFile::Parse(std::string_view text) {
  IniFile ini;
  Section* current = nullptr;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    // A line ends at CR LF, LF or a lone CR.
    std::size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string line = Trim(text.substr(pos, end - pos));
    pos = end + 1;
    if (end < text.size() && text[end] == '\r' && pos < text.size() && text[pos] == '\n') ++pos;
    if (line.empty() || line[0] == ';') continue;
    if (line.front() == '[' && line.back() == ']' && line.size() >= 2) {
      const std::string name = Trim(std::string_view(line).substr(1, line.size() - 2));
      current = ini.FindSection(name);
      if (!current) {
        ini.sections_.push_back({name, {}});
        current = &ini.sections_.back();
      }
      continue;
    }
    if (!current) continue;  // lines before the first section
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos) {
      current->keys.push_back({line, {}, true});
      continue;
    }
    std::string key = Trim(std::string_view(line).substr(0, eq));
    std::string value = Trim(std::string_view(line).substr(eq + 1));
    auto it = std::find_if(current->keys.begin(), current->keys.end(),
                           [&](const Entry& e) { return !e.bare && SameName(e.key, key); });
    if (it != current->keys.end()) {
      it->value = std::move(value);
    } else {
      current->keys.push_back({std::move(key), std::move(value), false});
    }
  }
  return ini;
}

std::string IniFile::Serialize() const {
  std::string out;
  for (const Section& s : sections_) {
    out += "[" + s.name + "]\r\n";
    for (const Entry& e : s.keys) out += e.bare ? e.key + "\r\n" : e.key + "=" + e.value + "\r\n";
    out += "\r\n";
  }
  return out;
}

IniFile IniFile::Load(const std::string& path) {
  // A settings file is a few hundred bytes; a huge one is not ours to read.
  constexpr std::int64_t kLimit = 16 * 1024 * 1024;
  const FileContent f = ReadRegularFile(path, kLimit);
  if (f.status != FileContent::Status::Ok) return {};
  return Parse(std::string_view(f.text.get(), f.length));
}

bool IsReadOnlyFile(const std::string& path) {
  std::error_code ec;
  const auto st = std::filesystem::status(Utf8Path(path), ec);
  if (ec || !std::filesystem::exists(st)) return false;
  return (st.permissions() & std::filesystem::perms::owner_write) == std::filesystem::perms::none;
}

bool IniFile::Save(const std::string& path, std::string* error) const {
  if (IsReadOnlyFile(path)) return false;
  auto fail = [&](const std::string& reason) {
    if (error) *error = reason;
    return false;
  };
  std::error_code ec;
  const std::filesystem::path folder = std::filesystem::absolute(Utf8Path(path), ec).parent_path();
  if (ec || (!std::filesystem::is_directory(folder, ec) && !std::filesystem::create_directories(folder, ec)))
    return fail("its folder cannot be created");
  const std::string text = Serialize();
  // Written beside the old file and renamed over it: a failure leaves the old one.
  const int err = WriteFile(path, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  if (err != 0) return fail(std::strerror(err));
  return true;
}

IniFile::Section* IniFile::FindSection(std::string_view name) {
  for (Section& s : sections_)
    if (SameName(s.name, name)) return &s;
  return nullptr;
}

const IniFile::Section* IniFile::FindSection(std::string_view name) const {
  for (const Section& s : sections_)
    if (SameName(s.name, name)) return &s;
  return nullptr;
}

std::optional<std::string> IniFile::Read(std::string_view section, std::string_view key) const {
  const Section* s = FindSection(section);
  if (!s) return std::nullopt;
  for (const Entry& e : s->keys)
    if (!e.bare && SameName(e.key, key)) return e.value;
  return std::nullopt;
}

bool IniFile::Write(std::string_view section, std::string_view key, std::string_view value) {
  // A line break would end the line early and make the rest of the value
  // read as lines of their own (keys, even a section) at the next start.
  if (HasLineBreak(section) || HasLineBreak(key)) return false;
  const bool storable = !HasLineBreak(value);
  Section* s = FindSection(section);
  if (!s) {
    sections_.push_back({std::string(section), {}});
    s = &sections_.back();
  }
  for (Entry& e : s->keys) {
    if (!e.bare && SameName(e.key, key)) {
      if (storable) e.value = std::string(value);
      return storable;
    }
  }
  s->keys.push_back({std::string(key), storable ? std::string(value) : std::string(), false});
  return storable;
}

}  // namespace ql
