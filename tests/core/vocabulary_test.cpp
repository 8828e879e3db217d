// The words and small rules every program shares: the family names, the
// full stop of an error report, and writing bytes to a file.

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <csignal>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "core/full_stop.h"
#include "core/mcu_family.h"
#include "core/write_file.h"
#include "tests/support/case_dir.h"

namespace ql {
namespace {

TEST(McuFamilyNames, BootInfoTypesMapBothWaysAndUnknownTypesSayTheirNumber) {
  EXPECT_EQ(FamilyFromMcuType(1), McuFamily::Pic16);
  EXPECT_EQ(FamilyFromMcuType(2), McuFamily::Pic18);
  for (std::uint8_t t : {0, 3, 255}) EXPECT_EQ(FamilyFromMcuType(t), McuFamily::None) << int(t);
  for (McuFamily f : {McuFamily::Pic16, McuFamily::Pic18}) EXPECT_EQ(FamilyFromMcuType(McuTypeFromFamily(f)), f);
  EXPECT_EQ(McuTypeFromFamily(McuFamily::None), 0);

  EXPECT_EQ(FamilyName(1), "PIC16");
  EXPECT_EQ(FamilyName(2), "PIC18");
  EXPECT_EQ(FamilyName(0), "unknown (0)");
  EXPECT_EQ(FamilyName(200), "unknown (200)");
}

TEST(McuFamilyNames, CommandLineWordsReadBackAndNothingElseIsAFamily) {
  for (McuFamily f : {McuFamily::Pic16, McuFamily::Pic18, McuFamily::None})
    EXPECT_EQ(FamilyFromOption(FamilyOption(f)), f);
  EXPECT_EQ(FamilyOption(McuFamily::Pic18), "pic18");
  for (const char* word : {"", "PIC18", "pic1", "pic180", "pic18 "})
    EXPECT_EQ(FamilyFromOption(word), std::nullopt) << '"' << word << '"';
}

TEST(FullStop, AddedAfterAWordOrNumberButNotAfterPunctuation) {
  EXPECT_EQ(WithFullStop("code 7"), "code 7.");
  EXPECT_EQ(WithFullStop("Cannot open file \"a.hex\""), "Cannot open file \"a.hex\"");
  EXPECT_EQ(WithFullStop("Done."), "Done.");
  EXPECT_EQ(WithFullStop("Failed!"), "Failed!");
  EXPECT_EQ(WithFullStop("(x)"), "(x)");  // ')' sorts before '.'
  EXPECT_EQ(WithFullStop(""), "");
  // A text ending in a letter outside ASCII is a word like any other: its
  // last UTF-8 byte sorts after '.' as an unsigned byte.
  EXPECT_EQ(WithFullStop("Datei nicht lesbar: Größe"), "Datei nicht lesbar: Größe.");
  EXPECT_EQ(WithFullStop("cannot open \xE2\x80\x9C" "a\xE2\x80\x9D"), "cannot open \xE2\x80\x9C" "a\xE2\x80\x9D.");
}

class WriteFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = test::FreshCaseDir();
  }
  static std::vector<std::uint8_t> Read(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  std::filesystem::path dir_;
};

TEST_F(WriteFileTest, ReplacesTheFileWithExactlyTheBytes) {
  const auto path = (dir_ / "image.bin").string();
  std::ofstream(path) << "a much longer earlier content that must not survive";
  const std::vector<std::uint8_t> bytes = {0x00, 0xFF, 0x0A, 0x0D, 0x3F};
  ASSERT_EQ(WriteFile(path, bytes), 0);
  EXPECT_EQ(Read(path), bytes);
  ASSERT_EQ(WriteFile(path, {}), 0);
  EXPECT_TRUE(Read(path).empty());
}

TEST_F(WriteFileTest, AFailedWriteLeavesTheEarlierFileWholeAndNothingBesideIt) {
#ifdef _WIN32
  GTEST_SKIP() << "a write made to fail part-way needs a file-size limit (setrlimit), POSIX's own";
#else
  const auto path = (dir_ / "image.bin").string();
  const std::vector<std::uint8_t> earlier(64, 0x11);
  ASSERT_EQ(WriteFile(path, earlier), 0);
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  // A file-size limit makes the write fail part-way, as a full disk does.
  const pid_t child = ::fork();
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{16, 16};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    ::_exit(WriteFile(path, std::vector<std::uint8_t>(100, 0x22)));
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), EFBIG);
  EXPECT_EQ(Read(path), earlier);
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir_)) names.push_back(e.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"image.bin"});

  // A replacement keeps the file's permissions; a link is written through.
  const std::vector<std::uint8_t> later = {1, 2, 3};
  ASSERT_EQ(WriteFile(path, later), 0);
  EXPECT_EQ(Read(path), later);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  const auto link = dir_ / "latest.bin";
  std::filesystem::create_symlink("image.bin", link);
  ASSERT_EQ(WriteFile(link.string(), earlier), 0);
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(Read(path), earlier);
#endif
}

TEST_F(WriteFileTest, NamesOutsideAsciiAreWrittenAsNamed) {
  // UTF-8 inside, the system's own names outside (wide on Windows).
  const auto folder = dir_ / test::Utf8Path("Zo\u00eb");
  std::filesystem::create_directories(folder);
  const std::string path = test::Utf8(folder / test::Utf8Path("image \u00e9t\u00e9.bin"));
  const std::vector<std::uint8_t> first = {1, 2, 3}, second = {4, 5};
  ASSERT_EQ(WriteFile(path, first), 0);
  ASSERT_EQ(WriteFile(path, second), 0);
  EXPECT_EQ(Read(test::Utf8Path(path)), second);
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder)) names.push_back(test::Utf8(e.path().filename()));
  EXPECT_EQ(names, std::vector<std::string>{"image \u00e9t\u00e9.bin"});
}

TEST_F(WriteFileTest, AFailureKeepsItsOwnReason) {
  const std::vector<std::uint8_t> bytes(100, 0xAB);
  EXPECT_EQ(WriteFile((dir_ / "no-such-folder" / "x.bin").string(), bytes), ENOENT);
#ifdef _WIN32
  // Windows refuses to open a folder for writing as access denied.
  EXPECT_EQ(WriteFile(dir_.string(), bytes), EACCES);
#else
  EXPECT_EQ(WriteFile(dir_.string(), bytes), EISDIR);
#endif
  // A full device refuses the data itself, not the open.
  if (std::filesystem::exists("/dev/full")) {
    EXPECT_EQ(WriteFile("/dev/full", bytes), ENOSPC);
  }
  EXPECT_EQ(WriteFailureText("out.bin", ENOENT), "cannot write \"out.bin\": No such file or directory");
}

}  // namespace
}  // namespace ql
