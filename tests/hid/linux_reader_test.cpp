// The Linux reader thread, fed through a socket pair instead of a hidraw
// node: reports reach the event thread one at a time, in order, with the
// report-ID byte in front, and stopping never waits on a hand-over the
// event thread has not run yet.

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <memory>
#include <mutex>
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

// A report sent by the device and not yet seen by the event thread (in the
// queue, or in the reader's hands waiting for the hand-over) is pending; once
// the event thread has taken it, nothing is.
TEST(LinuxReader, AReportOnItsWayIsPendingUntilHandedOver) {
  BlockingEventLoop loop;
  SocketPair pair;
  int delivered = 0;
  HidReaderCallbacks callbacks;
  callbacks.on_report = [&](std::span<const std::uint8_t>) { ++delivered; };
  auto reader = StartFdReader(pair.fds[0], false, 65, 100, loop, callbacks);
  EXPECT_FALSE(reader->Pending());
  pair.Send(std::vector<std::uint8_t>(64, 7));
  // The event thread has run nothing yet: wherever the reader is, the report
  // has not reached it.
  EXPECT_TRUE(reader->Pending());
  loop.run_until([&] { return delivered == 1; }, loop.now() + from_ms(5000));
  ASSERT_EQ(delivered, 1);
  EXPECT_FALSE(reader->Pending());
}

// A handle whose writes block until the test lets them through.
class GatedHandle final : public HidHandle {
 public:
  bool read_write() const override { return true; }
  std::optional<HidAttributes> GetAttributes() override { return std::nullopt; }
  std::optional<std::u16string> GetProductString() override { return std::nullopt; }
  std::optional<HidSerialQuery> GetSerialNumberString() override { return std::nullopt; }
  std::optional<HidReportCaps> GetCaps() override { return std::nullopt; }
  bool Write(std::span<const std::uint8_t> report) override {
    std::unique_lock lock(mutex);
    ++entered;
    changed.notify_all();
    changed.wait(lock, [&] { return open; });
    written->emplace_back(report.begin(), report.end());
    return report[1] != 0xEE;
  }
  void Open() {
    std::lock_guard lock(mutex);
    open = true;
    changed.notify_all();
  }
  void WaitEntered(int n) {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return entered >= n; });
  }
  std::mutex mutex;
  std::condition_variable changed;
  bool open = false;
  int entered = 0;
  // Outlives the handle, which the writer destroys.
  std::shared_ptr<std::vector<std::vector<std::uint8_t>>> written =
      std::make_shared<std::vector<std::vector<std::uint8_t>>>();
};

// Submitting never waits for the device: a write it does not take holds up
// only the writer's own thread. The ends come to the event thread in order,
// with the write's result, and what is queued when the writer goes still
// goes out.
TEST(ThreadedWriter, SubmitNeverBlocksAndEndsComeInOrder) {
  BlockingEventLoop loop;
  auto owned = std::make_unique<GatedHandle>();
  GatedHandle& handle = *owned;
  std::vector<bool> ends;
  const auto event_thread = std::this_thread::get_id();
  bool other_thread = false;
  HidWriterCallbacks callbacks;
  callbacks.on_written = [&](bool ok) {
    other_thread |= std::this_thread::get_id() != event_thread;
    ends.push_back(ok);
  };
  const auto written = handle.written;
  auto writer = StartThreadedWriter(std::move(owned), loop, callbacks);
  ASSERT_TRUE(writer);
  writer->Submit({0, 1});
  writer->Submit({0, 0xEE});  // one the device refuses
  writer->Submit({0, 3});
  handle.WaitEntered(1);  // the first write is under way, and stuck
  loop.process_events(loop.now());
  EXPECT_TRUE(ends.empty());
  handle.Open();
  loop.run_until([&] { return ends.size() == 3; }, loop.now() + from_ms(5000));
  EXPECT_EQ(ends, (std::vector<bool>{true, false, true}));
  EXPECT_FALSE(other_thread);

  // Queued when the writer goes: written before the destructor returns.
  writer->Submit({0, 4});
  writer->Submit({0, 5});
  writer.reset();
  ASSERT_EQ(written->size(), 5u);
  EXPECT_EQ(written->back(), (std::vector<std::uint8_t>{0, 5}));
  // And no end is told after the writer has gone.
  loop.process_events(loop.now() + from_ms(20));
  EXPECT_EQ(ends.size(), 3u);
}

}  // namespace
}  // namespace ql
