// The Linux reader thread, fed through a socket pair instead of a hidraw
// node: reports reach the event thread one at a time, in order, with the
// report-ID byte in front, and stopping never waits on a hand-over the
// event thread has not run yet.

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "core/blocking_event_loop.h"
#include "hid/linux_hid_backend.h"

namespace ql {
namespace {

struct SocketPair {
  SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0); }
  ~SocketPair() {
    if (fds[1] >= 0) close(fds[1]);
  }
  void Send(std::vector<std::uint8_t> packet) const {
    ASSERT_EQ(write(fds[1], packet.data(), packet.size()), static_cast<ssize_t>(packet.size()));
  }
  int fds[2] = {-1, -1};
};

TEST(LinuxReader, ReportsReachTheEventThreadInOrderWithAReportIdByte) {
  BlockingEventLoop loop;
  SocketPair pair;
  std::vector<std::vector<std::uint8_t>> got;
  const auto event_thread = std::this_thread::get_id();
  bool other_thread = false;
  HidReaderCallbacks callbacks;
  callbacks.on_report = [&](std::span<const std::uint8_t> r) {
    other_thread |= std::this_thread::get_id() != event_thread;
    got.emplace_back(r.begin(), r.end());
  };
  auto reader = StartFdReader(pair.fds[0], false, 65, 100, loop, callbacks);
  std::vector<std::uint8_t> first(64, 0xAA);
  first[0] = 0x0F;
  first[1] = 0x03;
  pair.Send(first);
  pair.Send(std::vector<std::uint8_t>(64, 0x55));
  loop.run_until([&] { return got.size() == 2; }, loop.now() + from_ms(5000));
  ASSERT_EQ(got.size(), 2u);
  EXPECT_FALSE(other_thread);
  ASSERT_EQ(got[0].size(), 65u);
  EXPECT_EQ(got[0][0], 0);  // report ID
  EXPECT_EQ(got[0][1], 0x0F);
  EXPECT_EQ(got[0][2], 0x03);
  EXPECT_EQ(got[1][64], 0x55);
}

TEST(LinuxReader, StoppingWithAHandOverPendingNeitherBlocksNorDeliversLater) {
  BlockingEventLoop loop;
  SocketPair pair;
  int delivered = 0;
  HidReaderCallbacks callbacks;
  callbacks.on_report = [&](std::span<const std::uint8_t>) { ++delivered; };
  auto reader = StartFdReader(pair.fds[0], false, 65, 100, loop, callbacks);
  pair.Send(std::vector<std::uint8_t>(64, 1));
  pair.Send(std::vector<std::uint8_t>(64, 2));
  // The event thread runs nothing, so the reader is either reading or
  // waiting for its first hand-over to be run. Stopping must return anyway.
  reader.reset();
  const int at_stop = delivered;
  EXPECT_LE(at_stop, 1);
  // Whatever it had posted must not run once it is gone.
  loop.process_events(loop.now() + from_ms(20));
  loop.process_events(loop.now());
  EXPECT_EQ(delivered, at_stop);
}

TEST(LinuxReader, AVanishedDeviceIsReportedAsAReadError) {
  BlockingEventLoop loop;
  SocketPair pair;
  std::vector<std::uint32_t> errors;
  HidReaderCallbacks callbacks;
  callbacks.on_error = [&](std::uint32_t e) { errors.push_back(e); };
  auto reader = StartFdReader(pair.fds[0], false, 65, 50, loop, callbacks);
  close(pair.fds[1]);
  pair.fds[1] = -1;
  loop.run_until([&] { return !errors.empty(); }, loop.now() + from_ms(5000));
  ASSERT_FALSE(errors.empty());
  EXPECT_EQ(errors.front(), static_cast<std::uint32_t>(EIO));
}

}  // namespace
}  // namespace ql
