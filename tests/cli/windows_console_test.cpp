// The command line's own Windows parts: the console's stop events, taken as
// the stop signals are on Linux, and file names outside the ANSI code page,
// from the command line's UTF-16 to the files opened.

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>
#include <vector>

#include "cli/console.h"
#include "cli/hex_input.h"
#include "cli/interrupt.h"
#include "cli/output_channel.h"
#include "cli/output_writer.h"
#include "cli/production_log.h"
#include "core/blocking_event_loop.h"
#include "tests/support/case_dir.h"
#include "tests/support/test_pipe.h"

namespace ql::cli {
namespace {

namespace fs = std::filesystem;

// The handler's routine called as the system's thread would: each event
// reaches the loop as its signal, the first gives the exit code, and a second
// one abandons the end of a run whose output is not being read.
TEST(WindowsConsoleStop, TheFirstEventStopsAndASecondAbandons) {
  BlockingEventLoop loop;
  std::vector<int> seen;
  StopSignalWatch watch(loop, [&](int signal) { seen.push_back(signal); });
  EXPECT_FALSE(ConsoleStopEvent(7)) << "not a stop event: left to the next handler";

  EXPECT_TRUE(ConsoleStopEvent(CTRL_C_EVENT));
  EXPECT_TRUE(seen.empty()) << "the handler only posts; the loop delivers";
  EXPECT_TRUE(loop.run_until([&] { return seen.size() == 1; }, loop.now() + from_ms(20'000)));
  EXPECT_EQ(seen, std::vector<int>{kInterruptSignal});
  EXPECT_EQ(StopSignalWatch::StopCode(), ExitCode::Interrupted);

  // The run's end waits for a reader that never comes: the second event,
  // from another thread while the loop waits, gives the output up.
  int fds[2];
  ASSERT_TRUE(test::MakePipe(fds));
  test::FillPipe(fds[1]);
  {
    OutputChannel channel(fds[1], loop, {});
    channel.Write(OutputKind::Keep, std::string(OutputWriter::kChunk, 'x'));
    channel.Write(OutputKind::Keep, "never read\n");
    const int signals = StopSignalWatch::Count();
    std::thread second([] { ConsoleStopEvent(CTRL_BREAK_EVENT); });
    EXPECT_FALSE(channel.Finish([signals] { return StopSignalWatch::Count() > signals; }));
    second.join();
  }
  EXPECT_EQ(StopSignalWatch::Count(), 2);
  EXPECT_EQ(StopSignalWatch::FirstSignal(), kInterruptSignal) << "the first event's code stays";
  ::_close(fds[0]);
  ::_close(fds[1]);
}

TEST(WindowsConsoleStop, ClosingLogOffAndShutDownAreHangupAndTerminate) {
  BlockingEventLoop loop;
  std::vector<int> seen;
  {
    StopSignalWatch watch(loop, [&](int signal) { seen.push_back(signal); });
    EXPECT_TRUE(ConsoleStopEvent(CTRL_CLOSE_EVENT));
    EXPECT_TRUE(ConsoleStopEvent(CTRL_LOGOFF_EVENT));
    EXPECT_TRUE(ConsoleStopEvent(CTRL_SHUTDOWN_EVENT));
    EXPECT_TRUE(loop.run_until([&] { return seen.size() == 3; }, loop.now() + from_ms(20'000)));
    EXPECT_EQ(StopSignalWatch::StopCode(), ExitCode::Hangup);
  }
  EXPECT_EQ(seen, (std::vector<int>{kHangupSignal, kTerminateSignal, kTerminateSignal}));
  // With the watch gone the events are the system's again (its default ends the process).
  EXPECT_FALSE(ConsoleStopEvent(CTRL_C_EVENT));
  loop.process_ready();
  EXPECT_EQ(seen.size(), 3u);
}

// C:\Users\Zoë\ from the UTF-16 command line to the HEX file read, the path
// made absolute and the log written beside it.
TEST(WindowsFileNames, AHexFileUnderZoeLoadsFromTheCommandLine) {
  const std::vector<std::string> args =
      ArgumentsOfCommandLine(L"quelloader-cli.exe image \"C:\\Users\\Zo\u00EB\\my board.hex\" -o Zo\u00EB.bin");
  EXPECT_EQ(args, (std::vector<std::string>{"quelloader-cli.exe", "image", "C:\\Users\\Zo\xC3\xAB\\my board.hex",
                                            "-o", "Zo\xC3\xAB.bin"}));

  const fs::path dir = test::FreshCaseDir() / fs::path(u8"Zo\u00EB");
  fs::create_directories(dir);
  fs::copy_file(fs::path(QUELLOADER_FIXTURES) / "pic18-blink.hex", dir / "my board.hex");
  // The fixtures are read-only; the copy must go again with the case's folder.
  fs::permissions(dir / "my board.hex", fs::perms::owner_write, fs::perm_options::add);
  const std::string utf8 = reinterpret_cast<const char*>((dir / "my board.hex").u8string().c_str());
  FlashImage image;
  EXPECT_TRUE(LoadHexForCommand(utf8, McuFamily::Pic18, image));
  EXPECT_GT(image.ImageEnd(), 0u);

  const std::string absolute = AbsolutePath(utf8);
  EXPECT_TRUE(fs::path(reinterpret_cast<const char8_t*>(absolute.c_str())).is_absolute()) << absolute;
  EXPECT_NE(absolute.find("Zo\xC3\xAB\\my board.hex"), std::string::npos) << absolute;

  std::string error;
  const std::string log_path = reinterpret_cast<const char*>((dir / "log.jsonl").u8string().c_str());
  auto log = ProductionLog::Open(log_path, error);
  ASSERT_TRUE(log) << error;
  ProductionRecord record;
  record.hex_file = absolute;
  ASSERT_TRUE(log->Append(record, error)) << error;
  EXPECT_TRUE(fs::exists(dir / "log.jsonl"));
}

}  // namespace
}  // namespace ql::cli
