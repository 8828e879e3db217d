#include "app/form/markup_runs.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace ql {

namespace {

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The attributes of a tag: name=value pairs, values quoted or not.
std::vector<std::pair<std::string, std::string>> Attributes(std::string_view tag) {
  std::vector<std::pair<std::string, std::string>> attrs;
  std::size_t i = 0;
  while (i < tag.size() && !IsBlank(tag[i])) ++i;  // the tag's name
  while (i < tag.size()) {
    while (i < tag.size() && IsBlank(tag[i])) ++i;
    const std::size_t key_start = i;
    while (i < tag.size() && tag[i] != '=' && !IsBlank(tag[i])) ++i;
    std::string key = Upper(tag.substr(key_start, i - key_start));
    while (i < tag.size() && IsBlank(tag[i])) ++i;
    std::string value;
    if (i < tag.size() && tag[i] == '=') {
      ++i;
      while (i < tag.size() && IsBlank(tag[i])) ++i;
      if (i < tag.size() && (tag[i] == '"' || tag[i] == '\'')) {
        const char quote = tag[i++];
        const std::size_t end = tag.find(quote, i);
        value = std::string(tag.substr(i, end == std::string_view::npos ? std::string_view::npos : end - i));
        i = end == std::string_view::npos ? tag.size() : end + 1;
      } else {
        const std::size_t start = i;
        while (i < tag.size() && !IsBlank(tag[i])) ++i;
        value = std::string(tag.substr(start, i - start));
      }
    }
    if (!key.empty()) attrs.emplace_back(std::move(key), std::move(value));
  }
  return attrs;
}

std::optional<std::uint32_t> ParseColour(std::string_view text) {
  if (text.size() != 7 || text[0] != '#') return std::nullopt;
  std::uint32_t rgb = 0;
  for (char c : text.substr(1)) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
    rgb = rgb * 16 + static_cast<std::uint32_t>(std::isdigit(static_cast<unsigned char>(c))
                                                    ? c - '0'
                                                    : std::toupper(static_cast<unsigned char>(c)) - 'A' + 10);
  }
  return rgb;
}

class Parser {
 public:
  std::vector<MarkupLine> Run(std::string_view markup) {
    std::size_t pos = 0;
    while (pos < markup.size()) {
      const std::size_t open = markup.find('<', pos);
      const std::size_t close = open == std::string_view::npos ? open : markup.find('>', open);
      if (close == std::string_view::npos) {
        Text(markup.substr(pos));
        break;
      }
      Text(markup.substr(pos, open - pos));
      Tag(markup.substr(open + 1, close - open - 1));
      pos = close + 1;
    }
    if (!line_.runs.empty()) lines_.push_back(std::move(line_));
    return std::move(lines_);
  }

 private:
  MarkupStyle Current() const {
    MarkupStyle s = fonts_.empty() ? MarkupStyle{} : fonts_.back();
    s.bold = bold_ > 0;
    return s;
  }

  void Append(const std::string& piece) {
    const MarkupStyle style = Current();
    if (line_.runs.empty() || !(line_.runs.back().style == style)) line_.runs.push_back({style, {}});
    line_.runs.back().text += piece;
  }

  bool LineEndsInBlank() const {
    for (auto it = line_.runs.rbegin(); it != line_.runs.rend(); ++it)
      if (!it->text.empty()) return it->text.back() == ' ';
    return true;  // nothing yet: a blank at a line's start is dropped
  }

  void Text(std::string_view text) {
    std::string piece;
    bool blank = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
      const char c = text[i];
      if (IsBlank(c)) {
        blank = true;
        continue;
      }
      if (blank) {
        if (!(piece.empty() && LineEndsInBlank())) piece += ' ';
        blank = false;
      }
      if (c == '&') {
        static constexpr std::pair<std::string_view, std::string_view> kEntities[] = {
            {"&amp;", "&"}, {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&nbsp;", "\xC2\xA0"}};
        bool decoded = false;
        for (const auto& [name, value] : kEntities) {
          if (text.substr(i, name.size()) == name) {
            piece += value;
            i += name.size() - 1;
            decoded = true;
            break;
          }
        }
        if (decoded) continue;
      }
      piece += c;
    }
    if (blank && !(piece.empty() && LineEndsInBlank())) piece += ' ';
    if (!piece.empty()) Append(piece);
  }

  void NewLine(bool centred) {
    lines_.push_back(std::move(line_));
    line_ = MarkupLine{};
    line_.centred = centred;
  }

  void Tag(std::string_view tag) {
    std::size_t i = 0;
    while (i < tag.size() && IsBlank(tag[i])) ++i;
    const bool closing = i < tag.size() && tag[i] == '/';
    if (closing) ++i;
    std::size_t end = i;
    while (end < tag.size() && std::isalpha(static_cast<unsigned char>(tag[end]))) ++end;
    const std::string name = Upper(tag.substr(i, end - i));
    if (name == "B") {
      bold_ = closing ? std::max(0, bold_ - 1) : bold_ + 1;
    } else if (name == "BR") {
      NewLine(line_.centred);
    } else if (name == "P") {
      bool centred = false;
      if (!closing)
        for (const auto& [key, value] : Attributes(tag.substr(end)))
          if (key == "ALIGN") centred = Upper(value) == "CENTER";
      if (!line_.runs.empty()) NewLine(centred);
      line_.centred = centred;
    } else if (name == "FONT") {
      if (closing) {
        if (!fonts_.empty()) fonts_.pop_back();
        return;
      }
      MarkupStyle style = fonts_.empty() ? MarkupStyle{} : fonts_.back();
      for (const auto& [key, value] : Attributes(tag.substr(end))) {
        if (key == "FACE") {
          style.face = value;
        } else if (key == "SIZE") {
          int pt = 0;
          bool digits = !value.empty();
          for (char c : value) {
            if (!std::isdigit(static_cast<unsigned char>(c)))
              digits = false;
            else if (pt < 1000)
              pt = pt * 10 + (c - '0');
          }
          if (digits && pt > 0) style.size_pt = pt;
        } else if (key == "COLOR") {
          if (auto rgb = ParseColour(value)) style.rgb = rgb;
        }
      }
      fonts_.push_back(std::move(style));
    }
    // Any other tag is not part of the window's markup: left out.
  }

  std::vector<MarkupLine> lines_;
  MarkupLine line_;
  std::vector<MarkupStyle> fonts_;
  int bold_ = 0;
};

struct Piece {
  MarkupStyle style;
  std::string text;
  int width = 0;
};

}  // namespace

std::vector<MarkupLine> ParseMarkup(std::string_view markup) { return Parser().Run(markup); }

std::string MarkupPlainText(std::string_view markup) {
  std::string out;
  bool first = true;
  for (const MarkupLine& line : ParseMarkup(markup)) {
    if (!first) out += '\n';
    first = false;
    for (const MarkupRun& run : line.runs) out += run.text;
    while (!out.empty() && out.back() == ' ') out.pop_back();
  }
  return out;
}

MarkupLayout LayoutMarkup(const std::vector<MarkupLine>& lines, int width, const MarkupMetrics& metrics) {
  MarkupLayout layout;
  std::vector<Piece> row;
  int row_width = 0;
  MarkupStyle last_style;

  auto flush = [&](bool centred) {
    int height = 0;
    int ascent = 0;
    for (const Piece& p : row) {
      height = std::max(height, metrics.line_height(p.style));
      ascent = std::max(ascent, metrics.ascent(p.style));
    }
    if (row.empty()) {
      height = metrics.line_height(last_style);
      ascent = metrics.ascent(last_style);
    }
    int x = centred ? std::max(0, (width - row_width) / 2) : 0;
    for (Piece& p : row) {
      layout.fragments.push_back({x, layout.height + ascent, p.style, std::move(p.text)});
      x += p.width;
    }
    layout.height += height;
    row.clear();
    row_width = 0;
  };

  auto add = [&](const MarkupStyle& style, const std::string& text) {
    const int w = metrics.text_width(style, text);
    if (!row.empty() && row.back().style == style) {
      row.back().text += text;
      row.back().width = metrics.text_width(style, row.back().text);
      row_width = 0;
      for (const Piece& p : row) row_width += p.width;
    } else {
      row.push_back({style, text, w});
      row_width += w;
    }
  };

  for (const MarkupLine& line : lines) {
    std::optional<MarkupStyle> pending_blank;  // a blank between two words, placed with the next word
    for (const MarkupRun& run : line.runs) {
      last_style = run.style;
      std::size_t i = 0;
      while (i < run.text.size()) {
        if (run.text[i] == ' ') {
          if (!row.empty()) pending_blank = run.style;
          ++i;
          continue;
        }
        std::size_t end = run.text.find(' ', i);
        if (end == std::string::npos) end = run.text.size();
        const std::string word = run.text.substr(i, end - i);
        i = end;
        const int blank_width = pending_blank ? metrics.text_width(*pending_blank, " ") : 0;
        if (!row.empty() && row_width + blank_width + metrics.text_width(run.style, word) > width) {
          flush(line.centred);
          pending_blank.reset();
        }
        if (pending_blank) add(*pending_blank, " ");
        pending_blank.reset();
        add(run.style, word);
      }
    }
    flush(line.centred);
  }
  return layout;
}

}  // namespace ql
