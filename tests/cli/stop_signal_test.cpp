// The stop-signal watch in the test's own process: the signals really
// raised, their numbers delivered through the event loop.

#include "cli/interrupt.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <vector>

#include "core/blocking_event_loop.h"

namespace ql::cli {
namespace {

bool HandlerIsDefault(int signal) {
  struct sigaction now {};
  ::sigaction(signal, nullptr, &now);
  return now.sa_handler == SIG_DFL;
}

TEST(CliStopSignals, EachStopSignalReachesTheLoopAndTheFirstGivesTheExitCode) {
  BlockingEventLoop loop;
  std::vector<int> seen;
  {
    StopSignalWatch watch(loop, [&](int signal) { seen.push_back(signal); });
    EXPECT_FALSE(StopSignalWatch::Stopped());
    EXPECT_EQ(StopSignalWatch::StopCode(), ExitCode::Interrupted);
    // The default action of each would end this process.
    ::raise(SIGTERM);
    ::raise(SIGHUP);
    ::raise(SIGINT);
    EXPECT_EQ(StopSignalWatch::Count(), 3);
    EXPECT_TRUE(seen.empty()) << "the handler only notes the signal; the loop delivers it";
    EXPECT_TRUE(loop.run_until([&] { return seen.size() == 3; }, loop.now() + from_ms(20'000)));
    EXPECT_EQ(seen, (std::vector<int>{SIGTERM, SIGHUP, SIGINT}));
    EXPECT_EQ(StopSignalWatch::FirstSignal(), SIGTERM);
    EXPECT_EQ(StopSignalWatch::StopCode(), ExitCode::Terminated);
  }
  for (const int s : {SIGINT, SIGTERM, SIGHUP}) EXPECT_TRUE(HandlerIsDefault(s)) << s;

  // A new watch starts with no signal seen.
  StopSignalWatch again(loop, [](int) {});
  EXPECT_FALSE(StopSignalWatch::Stopped());
  ::raise(SIGHUP);
  EXPECT_EQ(StopSignalWatch::StopCode(), ExitCode::Hangup);
}

TEST(CliStopSignals, ExitCodesFollowTheShellsConvention) {
  EXPECT_EQ(ToInt(StopSignalWatch::StopSignalExitCode(SIGINT)), 128 + SIGINT);
  EXPECT_EQ(ToInt(StopSignalWatch::StopSignalExitCode(SIGTERM)), 128 + SIGTERM);
  EXPECT_EQ(ToInt(StopSignalWatch::StopSignalExitCode(SIGHUP)), 128 + SIGHUP);
}

}  // namespace
}  // namespace ql::cli
