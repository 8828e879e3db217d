// The loader's rules on small hand-made files: line splitting, the checksum
// pass and its warning, conversion errors and the image they leave, the
// family rules, record types, and the refusals of far addresses.

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/full_stop.h"
#include "image/flash_image.h"
#include "tests/support/case_dir.h"
#include "tests/support/hex_text.h"

namespace ql {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Status = LoadResult::Status;

// One Intel HEX record with its checksum (two's complement of the byte sum).
std::string Rec(int type, unsigned address, const Bytes& data = {}) {
  return test::HexRecord(static_cast<std::uint8_t>(type), static_cast<std::uint16_t>(address), data.data(),
                         data.size());
}
std::string Upper(unsigned upper) { return Rec(4, 0, {static_cast<std::uint8_t>(upper >> 8), static_cast<std::uint8_t>(upper)}); }
const std::string kEof = ":00000001FF";

LoadResult Load(std::string_view text, FlashImage& image, McuFamily family = McuFamily::None) {
  return LoadHexText(text, "test.hex", family, image);
}

TEST(HexLoader, LineBreaksOfEveryKindGiveTheSameImage) {
  const std::string a = Rec(0, 0x0000, {1, 2, 3, 4});
  const std::string b = Rec(0, 0x0006, {5, 6});
  const Bytes expected = {1, 2, 3, 4, 0xFF, 0xFF, 5, 6};
  for (const std::string& text :
       {a + "\n" + b + "\n" + kEof + "\n", a + "\r\n" + b + "\r\n" + kEof, a + "\r" + b + "\r" + kEof + "\r",
        a + "\r\n" + b + "\n" + kEof + "\r", a + "\n\n\r\n" + b, "\n" + a + "\n" + b + "\r\n\r\n",
        // A NUL byte ends the text: the broken line after it is never read.
        a + "\n" + b + "\n" + std::string(1, '\0') + ":0000000001\n"}) {
    SCOPED_TRACE(text);
    FlashImage image;
    const LoadResult r = Load(text, image);
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_EQ(image.bytes, expected);
  }
}

TEST(HexLoader, ChecksumWarningNamesTheFirstFailingZeroBasedLine) {
  const std::string good = Rec(0, 0, {0xAA});
  const std::string bad = ":0100000000FE";  // sums to 0xFF
  struct Case {
    std::string text;
    int line;
  } cases[] = {
      {bad, 0},
      {good + "\r\n" + bad, 1},
      {good + "\n\n" + bad, 2},          // empty lines count
      {good + "\r\r\n" + bad, 2},        // CR then CR LF: two breaks
      {good + "\n\r" + bad + "\n", 2},   // LF then CR: two breaks
      {good + "\n" + kEof + "\n" + bad + "\n", 2},  // after the end-of-file record
      {good + "\n" + bad + "\n" + bad, 1},
      {":1\n", 0},  // a lone odd character is one field
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    FlashImage image;
    image.bytes = {9, 9, 9};  // the image loaded before is gone
    const LoadResult r = Load(c.text, image);
    EXPECT_EQ(r.status, Status::ChecksumFailed);
    EXPECT_EQ(r.line, c.line);
    EXPECT_EQ(r.message, "CRC check failed. Invalid CRC at line " + std::to_string(c.line) +
                             " in file 'test.hex'.\r\nNo data will be loaded.");
    EXPECT_TRUE(image.empty());
  }
}

TEST(HexLoader, ConversionErrorsCarryTheFieldAndLeaveWhatTheirPassLeaves) {
  const std::string first = Rec(0, 0, {0x11, 0x22});
  struct Case {
    std::string bad_line;
    std::string field;
    Bytes image_prefix;  // what the image starts with after the failure
  } cases[] = {
      // Checksum pass: nothing is placed.
      {":0G00000000", "$0G", {}},
      {": 1000000FF", "$ 1", {}},
      {":010000000x", "$0x", {}},
      // Loading pass: the records before the failing line stay.
      {":0000", "$", {0x11, 0x22}},        // sums to 0, too short for a record type
      {":", "$", {0x11, 0x22}},
      {":03010000AA52", "$", {0x11, 0x22}},  // count two beyond its data
      {":FC000004", "$", {0x11, 0x22}},      // sums to 0, no upper address digits
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bad_line);
    FlashImage image;
    const LoadResult r = Load(first + "\n" + Rec(0, 4, {0x33}) + "\n" + c.bad_line + "\n" + kEof, image);
    EXPECT_EQ(r.status, Status::ConversionError);
    EXPECT_EQ(r.message, "'" + c.field + "' is not a valid integer value");
    EXPECT_EQ(r.line, 2);
    ASSERT_GE(image.bytes.size(), c.image_prefix.size());
    EXPECT_TRUE(std::equal(c.image_prefix.begin(), c.image_prefix.end(), image.bytes.begin()));
    if (c.image_prefix.empty()) {
      EXPECT_TRUE(image.empty());
    } else {
      EXPECT_EQ(image.bytes[4], 0x33);
    }
  }
  EXPECT_EQ(WithFullStop("'$' is not a valid integer value"), "'$' is not a valid integer value.");
}

TEST(HexLoader, ByteCountIsNotComparedWithTheLine) {
  FlashImage image;
  // Count one beyond its data: the checksum byte becomes the last data byte.
  ASSERT_TRUE(Load(":02000000AA54", image).ok());
  EXPECT_EQ(image.bytes, (Bytes{0xAA, 0x54}));
  // An odd digit count: the last field is read from its one digit.
  ASSERT_TRUE(Load(":0100F000F", image).ok());
  ASSERT_EQ(image.bytes.size(), 0xF1u);
  EXPECT_EQ(image.bytes[0xF0], 0x0F);
}

TEST(HexLoader, FamilyFillValues) {
  const std::string text = Rec(0, 0x0000, Bytes(16, 0x00)) + "\n" + Rec(0, 0x0020, Bytes(16, 0x00)) + "\n" + kEof;
  FlashImage image;
  ASSERT_TRUE(Load(text, image, McuFamily::Pic16).ok());
  ASSERT_EQ(image.bytes.size(), 0x30u);
  for (int a = 0x10; a < 0x20; ++a) EXPECT_EQ(image.bytes[a], a % 2 ? 0x3F : 0xFF) << a;
  for (auto family : {McuFamily::Pic18, McuFamily::None}) {
    ASSERT_TRUE(Load(text, image, family).ok());
    ASSERT_EQ(image.bytes.size(), 0x30u);
    for (int a = 0x10; a < 0x20; ++a) EXPECT_EQ(image.bytes[a], 0xFF) << a;
    EXPECT_EQ(image.bytes[0x2F], 0x00);
  }
  // A record of no bytes still lengthens the image with the fill.
  ASSERT_TRUE(Load(Rec(0, 0x0005), image, McuFamily::Pic16).ok());
  EXPECT_EQ(image.bytes, (Bytes{0xFF, 0x3F, 0xFF, 0x3F, 0xFF}));
}

TEST(HexLoader, FamilyLimitsApplyToTheRecordStart) {
  FlashImage image;
  // Starts below 0x400E: placed whole, past the limit.
  ASSERT_TRUE(Load(Rec(0, 0x400C, {1, 2, 3, 4}), image, McuFamily::Pic16).ok());
  ASSERT_EQ(image.bytes.size(), 0x4010u);
  EXPECT_EQ(image.bytes[0x400F], 4);
  EXPECT_EQ(image.bytes[0x400B], 0x3F);
  ASSERT_TRUE(Load(Rec(0, 0x400E, {1, 2}), image, McuFamily::Pic16).ok());
  EXPECT_TRUE(image.empty());

  ASSERT_TRUE(Load(Upper(0x30) + "\n" + Rec(0, 0, {1}), image, McuFamily::Pic18).ok());
  EXPECT_TRUE(image.empty());
  ASSERT_TRUE(Load(Upper(0x20) + "\n" + Rec(0, 0, {7}), image, McuFamily::Pic18).ok());
  ASSERT_EQ(image.bytes.size(), 0x200001u);
  EXPECT_EQ(image.bytes[0x200000], 7);
  ASSERT_TRUE(Load(Upper(0x30) + "\n" + Rec(0, 0, {1}), image, McuFamily::None).ok());
  EXPECT_EQ(image.bytes.size(), 0x300001u);
}

TEST(HexLoader, RecordTypesAndAddressing) {
  FlashImage image;
  // Lines after the end-of-file record are still read; a segment record is
  // ignored; upper addresses add 64 KiB steps; a line need not start with ':'.
  std::string text = Rec(0, 0, {1}) + "\n" + kEof + "\n" + Rec(2, 0, {0x10, 0x00}) + "\n" + Rec(0, 2, {2}) + "\n" +
                     Upper(1) + "\n" + "X" + Rec(0, 1, {3}).substr(1) + "\n" + Rec(3, 0, {0, 0, 0, 0}) + "\n" +
                     Rec(5, 0, {0, 0, 0, 0}) + "\n";
  ASSERT_TRUE(Load(text, image).ok());
  ASSERT_EQ(image.bytes.size(), 0x10002u);
  EXPECT_EQ(image.bytes[0], 1);
  EXPECT_EQ(image.bytes[2], 2);
  EXPECT_EQ(image.bytes[0x10001], 3);

  // A record crossing 0xFFFF continues at 0x10000; lower-case digits.
  text = Rec(0, 0xFFFE, {0xAB, 0xCD, 0xEF});
  for (char& ch : text) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  ASSERT_TRUE(Load(text, image).ok());
  ASSERT_EQ(image.bytes.size(), 0x10001u);
  EXPECT_EQ(image.bytes[0xFFFE], 0xAB);
  EXPECT_EQ(image.bytes[0x10000], 0xEF);
}

TEST(HexLoader, AProgramPast64KiBReadsBackByteForByte) {
  // Written as compilers write it: an extended linear address record at the
  // 64 KiB boundary, the records after it counted from there.
  Bytes bytes(0x10000 + 40);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + (i >> 16));
  const std::string text = test::HexText(bytes);
  ASSERT_NE(text.find("\n" + Upper(1) + "\n"), std::string::npos);
  FlashImage image;
  ASSERT_TRUE(Load(text, image).ok());
  EXPECT_EQ(image.bytes, bytes);
}

TEST(HexLoader, OrderAndOverlaps) {
  const std::string r1 = Rec(0, 0x00, {1, 1, 1, 1});
  const std::string r2 = Rec(0, 0x10, {2, 2});
  const std::string r3 = Rec(0, 0x02, {3, 3, 3, 3});
  FlashImage up, down;
  ASSERT_TRUE(Load(r1 + "\n" + r2, up).ok());
  ASSERT_TRUE(Load(r2 + "\n" + r1, down).ok());
  EXPECT_EQ(up.bytes, down.bytes);
  ASSERT_TRUE(Load(r1 + "\n" + r3, up).ok());
  EXPECT_EQ(up.bytes, (Bytes{1, 1, 3, 3, 3, 3}));
  ASSERT_TRUE(Load(r3 + "\n" + r1, up).ok());
  EXPECT_EQ(up.bytes, (Bytes{1, 1, 1, 1, 3, 3}));
}

TEST(HexLoader, FarAddressesAreRefusedWithoutAllocating) {
  const std::string before = Rec(0, 0, {1, 2}) + "\n";
  struct Case {
    std::string text;
    Status status;
  } cases[] = {
      {before + Upper(0x8000) + "\n" + Rec(0, 0, {1}), Status::AddressTooHigh},
      {before + Upper(0xFFFF) + "\n" + Rec(0, 0xFFF0, Bytes(16, 0)), Status::AddressTooHigh},
      {before + Upper(0x7FFF) + "\n" + Rec(0, 0xFFF0, Bytes(16, 0)), Status::AddressTooHigh},  // ends at 2^31
      {before + Upper(0x8000) + "\n" + Rec(0, 0), Status::AddressTooHigh},
      {before + Upper(0x7FFF) + "\n" + Rec(0, 0xFFF0, Bytes(15, 0)), Status::TooLarge},
      {before + Upper(0x0100) + "\n" + Rec(0, 0, {1}), Status::TooLarge},
      {before + Upper(0x00FF) + "\n" + Rec(0, 0xFFFF, {1, 2}), Status::TooLarge},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    FlashImage image;
    const LoadResult r = Load(c.text, image);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.line, 2);
    EXPECT_FALSE(r.message.empty());
    EXPECT_TRUE(image.empty());
  }
  // Up to the limit is fine (PIC18 EEPROM data lives at 0xF00000).
  FlashImage image;
  ASSERT_TRUE(Load(Upper(0x00FF) + "\n" + Rec(0, 0xFFFF, {9}), image).ok());
  ASSERT_EQ(image.ImageEnd(), kMaxImageSize);
  EXPECT_EQ(image.bytes.back(), 9);
  // Families with a limit leave such records out instead.
  ASSERT_TRUE(Load(Upper(0x8000) + "\n" + Rec(0, 0, {1}), image, McuFamily::Pic18).ok());
  EXPECT_TRUE(image.empty());
}

TEST(HexLoader, MissingAndUnreadableFiles) {
  FlashImage image;
  image.bytes = {5, 6};
  LoadResult r = LoadHexFile("/nonexistent/none.hex", McuFamily::None, image);
  EXPECT_EQ(r.status, Status::NotFound);
  EXPECT_EQ(image.bytes, (Bytes{5, 6}));  // left as it was
#ifdef _WIN32
  // The null device opens, but is no file.
  r = LoadHexFile("NUL", McuFamily::None, image);
  EXPECT_EQ(r.status, Status::NotRegularFile);
  EXPECT_EQ(r.message, "Cannot open file \"NUL\". It is a device, FIFO or socket, not a regular file");
  EXPECT_TRUE(image.empty());
#else
  // A socket exists but cannot be opened as a file, even by root.
  const auto path = std::filesystem::path(QUELLOADER_TEST_TMP) / "socket.hex";
  std::filesystem::create_directories(path.parent_path());
  std::filesystem::remove(path);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  r = LoadHexFile(path.string(), McuFamily::None, image);
  ::close(fd);
  std::filesystem::remove(path);
  // Not a regular file: refused without being opened.
  EXPECT_EQ(r.status, Status::NotRegularFile);
  EXPECT_EQ(r.message, "Cannot open file \"" + path.string() + "\". It is a device, FIFO or socket, not a regular file");
  EXPECT_TRUE(image.empty());
#endif
}

// The warning names the file without its folder, in the system's own path
// form (on Windows a drive and backslashes).
TEST(HexLoader, ChecksumWarningNamesTheFileWithoutItsFolder) {
  const auto path = std::filesystem::absolute(test::FreshCaseDir()).make_preferred() / "bad.hex";
  std::ofstream(path) << ":0100000000FE\n" << kEof << "\n";
  FlashImage image;
  const LoadResult r = LoadHexFile(test::Utf8(path), McuFamily::None, image);
  EXPECT_EQ(r.status, Status::ChecksumFailed);
  EXPECT_EQ(r.message, "CRC check failed. Invalid CRC at line 0 in file 'bad.hex'.\r\nNo data will be loaded.");
}

TEST(HexLoader, APathOutsideAsciiLoads) {
  const auto folder = test::FreshCaseDir() / test::Utf8Path("Zo\u00eb");
  std::filesystem::create_directories(folder);
  const auto path = folder / test::Utf8Path("d\u00e9mo.hex");
  std::ofstream(path) << Rec(0, 0x10, {0xAB, 0xCD}) << "\n" << kEof << "\n";
  FlashImage image;
  const LoadResult r = LoadHexFile(test::Utf8(path), McuFamily::None, image);
  ASSERT_TRUE(r.ok()) << r.message;
  ASSERT_EQ(image.bytes.size(), 0x12u);
  EXPECT_EQ(image.bytes[0x10], 0xAB);
  // A missing one is named in the message as given.
  const std::string missing = test::Utf8(folder / test::Utf8Path("\u00e9.hex"));
  EXPECT_EQ(LoadHexFile(missing, McuFamily::None, image).message.rfind("Cannot open file \"" + missing + "\". ", 0), 0u);
}

TEST(HexLoader, ReadsNeitherDevicesNorPastTheSizeLimit) {
  const auto dir = test::FreshCaseDir();
  FlashImage image;
  LoadResult r;
#ifndef _WIN32
  // A ".hex" link to a device that ends at once: still not a file.
  std::filesystem::create_symlink("/dev/null", dir / "null.hex");
  r = LoadHexFile((dir / "null.hex").string(), McuFamily::None, image);
  EXPECT_EQ(r.status, Status::NotRegularFile);
  EXPECT_NE(r.message.find("not a regular file"), std::string::npos) << r.message;
#endif

  // One byte over the limit is refused whole; at the limit the file is read
  // (zero bytes: the text ends at its first NUL, and the image is empty).
  const auto big = dir / "big.hex";
  std::ofstream(big).close();
  std::filesystem::resize_file(big, static_cast<std::uintmax_t>(kMaxHexFileSize) + 1);
  image.bytes = {1};
  r = LoadHexFile(big.string(), McuFamily::None, image);
  EXPECT_EQ(r.status, Status::FileTooLarge);
  EXPECT_NE(r.message.find("larger than the 67108864 bytes (64 MiB)"), std::string::npos) << r.message;
  EXPECT_TRUE(image.empty());
  std::filesystem::resize_file(big, static_cast<std::uintmax_t>(kMaxHexFileSize));
  EXPECT_TRUE(LoadHexFile(big.string(), McuFamily::None, image).ok());
  std::filesystem::remove(big);
}

TEST(HexLoader, EndlessSourcesAreNotRead) {
#ifdef _WIN32
  GTEST_SKIP() << "FIFOs and /dev/zero are POSIX's; Windows' null device is refused in MissingAndUnreadableFiles";
#else
  const auto dir = test::FreshCaseDir();
  const auto fifo = dir / "pipe.hex";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);  // no writer: opening it would wait forever
  std::filesystem::create_symlink("/dev/zero", dir / "zero.hex");
  for (const auto& path : {std::string("/dev/zero"), fifo.string(), (dir / "zero.hex").string()}) {
    SCOPED_TRACE(path);
    FlashImage image;
    const LoadResult r = LoadHexFile(path, McuFamily::None, image);
    EXPECT_EQ(r.status, Status::NotRegularFile);
    EXPECT_TRUE(image.empty());
  }
#endif
}

}  // namespace
}  // namespace ql
