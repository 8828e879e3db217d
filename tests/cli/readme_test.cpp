// The README against what it describes. Its command-line block against
// `quelloader-cli --help`: the block is a synopsis, so "matches" means the
// same commands, every option a command's help lists named on that command's
// lines (by its short or long name) and no option there that the help does
// not list, and the same exit codes in the README's list as in the help.
// Its Layout table against the checkout's top folders.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Names = std::set<std::string>;

std::string Output(const std::string& args) {
  const std::string cmd = std::string("'") + QUELLOADER_CLI + "' " + args + " 2>&1 </dev/null";
  std::string out;
  if (FILE* p = ::popen(cmd.c_str(), "r")) {
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    const int status = ::pclose(p);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << cmd;
  }
  return out;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// What one help text lists.
struct Help {
  std::vector<Names> options;  // each option's names: {"-o", "--output"}
  Names subcommands;
  Names exit_codes;
};

Help ParseHelp(const std::string& text) {
  Help help;
  std::string section;
  static const std::regex heading(R"(^(\S[^:]*):\s*$)");
  static const std::regex option(R"(^ {2}(-[^\s]+))");
  static const std::regex entry(R"(^ {2}(\w+)\s)");
  std::smatch m;
  for (const std::string& line : Lines(text)) {
    if (std::regex_search(line, m, heading)) {
      section = m[1];
    } else if (std::regex_search(line, m, option)) {
      Names names;
      std::stringstream words(m[1].str());
      for (std::string name; std::getline(words, name, ',');) {
        names.insert(name.substr(0, name.find_first_of("{=[")));  // --wait{30}, --wait=...
      }
      if (!names.contains("--help")) help.options.push_back(names);
    } else if (std::regex_search(line, m, entry)) {
      if (section == "Subcommands") help.subcommands.insert(m[1]);
      if (section == "Exit codes") help.exit_codes.insert(m[1]);
    }
  }
  return help;
}

// The README's command-line block: the option names on each command's lines
// ("" for the lines without a command), continuation lines joined.
struct Synopsis {
  std::map<std::string, Names> options;
  Names exit_codes;
};

Synopsis ParseReadme(const std::string& path) {
  std::ifstream in(path);
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  Synopsis s;
  const std::size_t section = text.find("\n## Command line\n");
  EXPECT_NE(section, std::string::npos) << "no Command line section in " << path;
  if (section == std::string::npos) return s;
  const std::size_t open = text.find("```\n", section);
  const std::size_t close = text.find("```\n", open + 4);
  std::vector<std::string> commands;
  for (const std::string& line : Lines(text.substr(open + 4, close - open - 4))) {
    if (line.starts_with("quelloader-cli")) commands.push_back(line);
    else if (!commands.empty()) commands.back() += " " + line;
  }
  EXPECT_FALSE(commands.empty()) << "no command lines in the block";
  static const std::regex name(R"((?:^|[\s\[|(])(--?[A-Za-z][\w-]*))");
  for (const std::string& line : commands) {
    std::istringstream words(line.substr(std::string("quelloader-cli").size()));
    std::string first;
    words >> first;
    const std::string command = first.starts_with("-") ? "" : first;
    Names& names = s.options[command];
    for (std::sregex_iterator it(line.begin(), line.end(), name), end; it != end; ++it) names.insert((*it)[1]);
  }
  // "Exit codes: 0 success · 1 the upload ... · 130 interrupted."
  const std::size_t codes = text.find("\nExit codes:", close);
  EXPECT_NE(codes, std::string::npos) << "no exit code list after the block";
  if (codes == std::string::npos) return s;
  const std::string list = text.substr(codes, text.find("\n\n", codes) - codes);
  static const std::regex code(R"((?::|·)\s+(\d+)\s)");
  for (std::sregex_iterator it(list.begin(), list.end(), code), end; it != end; ++it) s.exit_codes.insert((*it)[1]);
  return s;
}

std::string Join(const Names& names) {
  std::string out;
  for (const auto& n : names) out += (out.empty() ? "" : ", ") + n;
  return out;
}

TEST(Readme, CommandLineBlockMatchesTheHelp) {
  const Synopsis readme = ParseReadme(QUELLOADER_README);
  const Help top = ParseHelp(Output("--help"));
  ASSERT_FALSE(top.subcommands.empty());

  Names readme_commands;
  for (const auto& [command, names] : readme.options)
    if (!command.empty()) readme_commands.insert(command);
  EXPECT_EQ(readme_commands, top.subcommands) << "the commands of the README's block and of --help";
  EXPECT_EQ(readme.exit_codes, top.exit_codes) << "the README's exit codes and those of --help";

  std::map<std::string, Help> helps = {{"", top}};
  for (const std::string& command : top.subcommands) helps[command] = ParseHelp(Output(command + " --help"));
  for (const auto& [command, help] : helps) {
    SCOPED_TRACE("quelloader-cli " + command);
    const auto it = readme.options.find(command);
    const Names shown = it == readme.options.end() ? Names{} : it->second;
    Names known = {"--help"};
    for (const Names& names : help.options) {
      known.insert(names.begin(), names.end());
      bool named = false;
      for (const auto& n : names) named = named || shown.contains(n);
      EXPECT_TRUE(named) << "the help lists " << Join(names) << ", the README's block does not";
    }
    for (const auto& n : shown) {
      EXPECT_TRUE(known.contains(n)) << "the README's block shows " << n << ", the help does not";
    }
  }
}

TEST(Readme, LayoutTableNamesEveryTopFolder) {
  std::ifstream in(QUELLOADER_README);
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  const std::size_t layout = text.find("\n## Layout\n");
  ASSERT_NE(layout, std::string::npos);
  const std::string table = text.substr(layout, text.find("\n\n", text.find("\n|", layout)) - layout);
  const std::filesystem::path top = std::filesystem::path(QUELLOADER_README).parent_path();
  int folders = 0;
  for (const auto& entry : std::filesystem::directory_iterator(top)) {
    const std::string name = entry.path().filename().string();
    // Hidden folders and build trees made inside the checkout are not the project's.
    if (!entry.is_directory() || name.starts_with(".") || std::filesystem::exists(entry.path() / "CMakeCache.txt"))
      continue;
    ++folders;
    EXPECT_NE(table.find("`" + name + "/`"), std::string::npos) << "the Layout table has no row for " << name << "/";
  }
  EXPECT_GT(folders, 5);
}

}  // namespace
