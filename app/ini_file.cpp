#include "app/ini_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

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
  QFile f(QString::fromStdString(path));
  if (!f.open(QIODevice::ReadOnly)) return {};
  const QByteArray data = f.readAll();
  return Parse(std::string_view(data.constData(), static_cast<std::size_t>(data.size())));
}

bool IsReadOnlyFile(const std::string& path) {
  const QFileInfo info(QString::fromStdString(path));
  return info.exists() && !(info.permissions() & QFileDevice::WriteOwner);
}

bool IniFile::Save(const std::string& path, std::string* error) const {
  if (IsReadOnlyFile(path)) return false;
  auto fail = [&](const QString& reason) {
    if (error) *error = reason.toStdString();
    return false;
  };
  const QString qpath = QString::fromStdString(path);
  const QString folder = QFileInfo(qpath).absolutePath();
  if (!QDir().mkpath(folder)) return fail(QStringLiteral("its folder cannot be created"));
  QSaveFile f(qpath);
  if (!f.open(QIODevice::WriteOnly)) return fail(f.errorString());
  const std::string text = Serialize();
  if (f.write(text.data(), static_cast<qint64>(text.size())) != static_cast<qint64>(text.size())) {
    const QString reason = f.errorString();
    f.cancelWriting();
    return fail(reason);
  }
  if (!f.commit()) return fail(f.errorString());
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
