// The --log production record: its line, read back as JSON, and its append
// under two processes at once and under a file that will not take a line.

#include "cli/production_log.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/case_dir.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using ql::cli::ExitCode;
using ql::cli::ProductionLog;
using ql::cli::ProductionRecord;
using ql::test::FreshCaseDir;

std::string ReadText(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The file's lines, each parsed; the test fails on a line that is no JSON
// object or on text after the last line feed.
std::vector<json> LogLines(const fs::path& p) {
  const std::string text = ReadText(p);
  std::vector<json> out;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    json j = json::parse(text.substr(start, end - start), nullptr, false);
    EXPECT_TRUE(j.is_object()) << "line " << out.size() << " is not a JSON object";
    out.push_back(std::move(j));
  }
  EXPECT_EQ(start, text.size()) << "the file ends inside a line";
  return out;
}

ProductionRecord Record(std::string serial, std::string message) {
  ProductionRecord r;
  r.unix_time_us = 1'700'000'000'123'456;
  r.port = "3-1.4";
  r.serial = std::move(serial);
  r.device = "PIC18F2550 \"bootloader\"";
  r.family = ql::McuFamily::Pic18;
  r.hex_file = "/srv/firmware/v1.2.hex";
  r.image_sha256 = ql::cli::ImageSha256(std::vector<std::uint8_t>{1, 2, 3});
  r.image_bytes = 3;
  r.result = ExitCode::Success;
  r.message = std::move(message);
  r.seconds = 3.5;
  return r;
}

TEST(ProductionLog, Sha256AndUtcTimes) {
  const std::string abc = "abc";
  EXPECT_EQ(ql::cli::ImageSha256({reinterpret_cast<const std::uint8_t*>(abc.data()), abc.size()}),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(ql::cli::ImageSha256({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  // Longer than one block, and not a multiple of it.
  const std::vector<std::uint8_t> million_a(1'000'000, 'a');
  EXPECT_EQ(ql::cli::ImageSha256(million_a), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");

  EXPECT_EQ(ql::cli::IsoUtcTime(0), "1970-01-01T00:00:00.000Z");
  EXPECT_EQ(ql::cli::IsoUtcTime(1'700'000'000'123'456), "2023-11-14T22:13:20.123Z");
  EXPECT_EQ(ql::cli::IsoUtcTime(951'782'400'999'999), "2000-02-29T00:00:00.999Z");
  EXPECT_EQ(ql::cli::IsoUtcTime(-1), "1969-12-31T23:59:59.999Z");
}

TEST(ProductionLog, LinesAreAppendedAndReadBackWithEveryField) {
  const fs::path file = FreshCaseDir() / "production.log";
  std::string error;
  {
    auto log = ProductionLog::Open(file.string(), error);
    ASSERT_TRUE(log) << error;
    ASSERT_TRUE(log->Append(Record("S1", "Upload completed"), error)) << error;
  }
  {
    // A second run appends; it never truncates.
    auto log = ProductionLog::Open(file.string(), error);
    ASSERT_TRUE(log) << error;
    ProductionRecord unknown;  // a board that failed before anything was known
    unknown.unix_time_us = 0;
    unknown.port = "3-1.5";
    unknown.result = ExitCode::NoDevice;
    unknown.message = "no boot info";
    ASSERT_TRUE(log->Append(unknown, error)) << error;
  }
  const std::vector<json> lines = LogLines(file);
  ASSERT_EQ(lines.size(), 2u);
  const json& a = lines[0];
  EXPECT_EQ(a["schema"], ql::cli::kProductionLogSchema);
  EXPECT_EQ(a["time"], "2023-11-14T22:13:20.123Z");
  EXPECT_EQ(a["port"], "3-1.4");
  EXPECT_EQ(a["serial"], "S1");
  EXPECT_EQ(a["device"], "PIC18F2550 \"bootloader\"");
  EXPECT_EQ(a["family"], "PIC18");
  EXPECT_EQ(a["hex_file"], "/srv/firmware/v1.2.hex");
  EXPECT_EQ(a["image_sha256"], "039058c6f2c0cb492c533b0a4d14ef77cc0f78abccced5287d84a1a2011cfb81");
  EXPECT_EQ(a["image_bytes"], 3);
  EXPECT_EQ(a["exit_code"], 0);
  EXPECT_EQ(a["exit_class"], "success");
  EXPECT_EQ(a["message"], "Upload completed");
  EXPECT_DOUBLE_EQ(a["seconds"].get<double>(), 3.5);
  const json& b = lines[1];
  for (const char* key : {"serial", "device", "family", "hex_file", "image_sha256"}) {
    EXPECT_TRUE(b.at(key).is_null()) << key;
  }
  EXPECT_EQ(b["exit_code"], 4);
  EXPECT_EQ(b["exit_class"], "no-device");
}

TEST(ProductionLog, OpenFailureNamesTheFileAndTheCause) {
  const fs::path dir = FreshCaseDir();
  std::string error;
  EXPECT_FALSE(ProductionLog::Open((dir / "missing" / "production.log").string(), error));
  EXPECT_NE(error.find((dir / "missing" / "production.log").string()), std::string::npos) << error;
  EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;
  error.clear();
  EXPECT_FALSE(ProductionLog::Open(dir.string(), error));  // a folder
  EXPECT_NE(error.find("directory"), std::string::npos) << error;
}

// Two processes log at once, lines of every length up to well past the size a
// pipe or a stdio buffer writes in one piece: each line whole, none lost.
TEST(ProductionLog, TwoProcessesAppendingAtOnceNeverInterleave) {
  const fs::path file = FreshCaseDir() / "shared.log";
  constexpr int kLines = 2000;
#ifdef _WIN32
  // No fork: two threads, each with a log of its own, append through handles
  // of their own as two processes would.
  // They start together, once both have opened the file.
  std::mutex mutex;
  std::condition_variable cv;
  int opened = 0;
  std::vector<std::thread> writers;
  bool failed[2] = {false, false};
  for (int process = 0; process < 2; ++process) {
    writers.emplace_back([&, process] {
      std::string error;
      auto log = ProductionLog::Open(file.string(), error);
      {
        std::unique_lock lock(mutex);
        ++opened;
        cv.notify_all();
        cv.wait(lock, [&] { return opened == 2; });
      }
      for (int i = 0; log && i < kLines; ++i) {
        const std::string filler(static_cast<std::size_t>((i * 37) % 9000), static_cast<char>('a' + process));
        if (!log->Append(Record("P" + std::to_string(process), std::to_string(i) + ":" + filler), error)) break;
        if (i + 1 == kLines) return;
      }
      failed[process] = true;
    });
  }
  for (std::thread& t : writers) t.join();
  EXPECT_FALSE(failed[0] || failed[1]);
#else
  // The children start together when the parent closes the pipe, so that
  // their appends overlap rather than one finishing before the other begins.
  int start[2];
  ASSERT_EQ(::pipe(start), 0);
  std::vector<pid_t> children;
  for (int process = 0; process < 2; ++process) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(start[1]);
      std::string error;
      auto log = ProductionLog::Open(file.string(), error);
      if (!log) ::_exit(2);
      char byte;
      if (::read(start[0], &byte, 1) != 0) ::_exit(4);
      for (int i = 0; i < kLines; ++i) {
        const std::string filler(static_cast<std::size_t>((i * 37) % 9000), static_cast<char>('a' + process));
        if (!log->Append(Record("P" + std::to_string(process), std::to_string(i) + ":" + filler), error)) ::_exit(3);
      }
      ::_exit(0);
    }
    children.push_back(pid);
  }
  ::close(start[0]);
  ::close(start[1]);
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  }
#endif
  const std::vector<json> lines = LogLines(file);
  ASSERT_EQ(lines.size(), 2u * kLines);
  std::set<int> seen[2];
  for (const json& j : lines) {
    const int process = j.at("serial") == "P0" ? 0 : 1;
    const std::string message = j.at("message");
    const std::size_t colon = message.find(':');
    ASSERT_NE(colon, std::string::npos);
    const int i = std::stoi(message.substr(0, colon));
    EXPECT_EQ(message.substr(colon + 1), std::string(static_cast<std::size_t>((i * 37) % 9000), static_cast<char>('a' + process)));
    seen[process].insert(i);
  }
  EXPECT_EQ(seen[0].size(), static_cast<std::size_t>(kLines));
  EXPECT_EQ(seen[1].size(), static_cast<std::size_t>(kLines));
}

// A file that takes only part of a line (here a file-size limit; a full disk
// is the same): the append fails and the torn part is cut off, so the file
// still holds whole lines only and the next append starts a line of its own.
TEST(ProductionLog, ALineTheFileCannotTakeWholeIsReportedAndTakenBack) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no per-process file-size limit (ulimit -f) to tear a line with";
#else
  const fs::path file = FreshCaseDir() / "limited.log";
  std::string error;
  {
    auto log = ProductionLog::Open(file.string(), error);
    ASSERT_TRUE(log) << error;
    ASSERT_TRUE(log->Append(Record("S1", "first"), error)) << error;
  }
  const auto size = static_cast<rlim_t>(fs::file_size(file));
  // In a child: the limit and the ignored SIGXFSZ must not reach this process.
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{size + 40, size + 40};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(10);
    std::string child_error;
    auto log = ProductionLog::Open(file.string(), child_error);
    if (!log) ::_exit(11);
    if (log->Append(Record("S2", "second"), child_error)) ::_exit(12);  // must fail
    if (child_error.find(file.string()) == std::string::npos) ::_exit(13);
    // The cause, not only that the line did not fit: the size limit.
    if (child_error.find("size limit") == std::string::npos || child_error.find("ulimit -f") == std::string::npos)
      ::_exit(14);
    if (log->error() != EFBIG) ::_exit(15);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0) << "10 setrlimit, 11 open, 12 the append succeeded, 13 the error names no file, "
                                       "14 the error does not name the size limit, 15 error() is not EFBIG";
  EXPECT_EQ(fs::file_size(file), size);
  {
    auto log = ProductionLog::Open(file.string(), error);
    ASSERT_TRUE(log) << error;
    ASSERT_TRUE(log->Append(Record("S3", "third"), error)) << error;
  }
  const std::vector<json> lines = LogLines(file);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0]["serial"], "S1");
  EXPECT_EQ(lines[1]["serial"], "S3");
#endif
}

// A full disk: every append fails with the cause said plainly, and the log
// keeps the first failure's errno for the run to report once.
TEST(ProductionLog, AFullDiskFailsEachLineWithItsCauseRemembered) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no full device (/dev/full)";
#endif
  std::string error;
  auto log = ProductionLog::Open("/dev/full", error);
  ASSERT_TRUE(log) << error;
  EXPECT_EQ(log->error(), 0);
  EXPECT_FALSE(log->Append(Record("S1", "first"), error));
  EXPECT_EQ(error, "Cannot write to the log file \"/dev/full\": the disk is full (No space left on device)");
  EXPECT_EQ(log->error(), ENOSPC);
  EXPECT_FALSE(log->Append(Record("S2", "second"), error));
  EXPECT_EQ(log->error(), ENOSPC);
  // Moved with the log.
  ProductionLog moved = std::move(*log);
  EXPECT_EQ(moved.error(), ENOSPC);

  const fs::path file = FreshCaseDir() / "fine.log";
  auto fine = ProductionLog::Open(file.string(), error);
  ASSERT_TRUE(fine) << error;
  EXPECT_TRUE(fine->Append(Record("S3", "third"), error)) << error;
  EXPECT_EQ(fine->error(), 0);
  EXPECT_EQ(ql::cli::LogWriteErrorText("x.log", EIO), "Cannot write to the log file \"x.log\": Input/output error");
}

}  // namespace
