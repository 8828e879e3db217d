// The --json events: a run of every kind of event (board found and lost,
// phase, progress, result, summary) for a few boards whose port, serial, path,
// device name, phase and messages are any bytes, with progress on a virtual
// clock. What the writer puts on its descriptor must be exactly one line per
// event that is due, each ending in its line feed, without raw control
// characters, each one JSON object giving back every field as written (the
// text rule of docs/json-events.md: invalid UTF-8 bytes as U+FFFD each, an
// unknown name as null). Progress follows the documented rate rule, kept
// here per board by all three names: the first of a board is written, a
// repeat of its last written one never, the one reaching its total always,
// any other only 100 ms or more after the board's last; a result forgets the
// board.

#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "cli/json_events.h"
#include "json_line_check.h"

namespace {

using namespace ql::cli;
using fuzzcheck::ExpectInt;
using fuzzcheck::ExpectString;
using nlohmann::json;

std::string Text(FuzzedDataProvider& in, std::size_t max) { return in.ConsumeRandomLengthString(max); }

void ExpectBoard(const json& j, const BoardName& b) {
  if (!j.contains("board") || !j["board"].is_object() || j["board"].size() != 3) std::abort();
  ExpectString(j["board"], "port", b.port, true);
  ExpectString(j["board"], "serial", b.serial, true);
  ExpectString(j["board"], "path", b.path, true);
}

void ExpectEvent(const json& j, const char* name, std::size_t fields) {
  if (j.size() != fields) std::abort();
  ExpectInt(j, "schema", 1);
  ExpectString(j, "event", name, false);
}

double AnyDouble(FuzzedDataProvider& in) {
  const auto bits = in.ConsumeIntegral<std::uint64_t>();
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

struct Shown {
  std::int64_t at_us, done, total;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const int fd = ::memfd_create("json-events", 0);
  if (fd < 0 || ::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0) std::abort();

  FuzzedDataProvider in(data, size);
  std::vector<BoardName> boards(in.ConsumeIntegralInRange(1, 4));
  for (BoardName& b : boards) b = {Text(in, 24), Text(in, 24), Text(in, 24)};

  JsonEventWriter writer(fd);
  std::vector<std::function<void(const json&)>> expected;
  std::map<std::tuple<std::string, std::string, std::string>, Shown> shown;  // the rate rule's memory
  std::int64_t now = in.ConsumeIntegralInRange<std::int64_t>(0, std::int64_t{1} << 40);

  for (int op = 0; op < 40 && in.remaining_bytes() > 0; ++op) {
    const BoardName b = boards[in.ConsumeIntegralInRange<std::size_t>(0, boards.size() - 1)];
    const auto key = std::make_tuple(b.port, b.serial, b.path);
    switch (in.ConsumeIntegralInRange(0, 5)) {
      case 0: {
        const std::string device = Text(in, 40);
        writer.BoardFound(b, device);
        expected.push_back([=](const json& j) {
          ExpectEvent(j, "board-found", 4);
          ExpectBoard(j, b);
          ExpectString(j, "device", device, true);
        });
        break;
      }
      case 1:
        writer.BoardLost(b);
        expected.push_back([=](const json& j) {
          ExpectEvent(j, "board-lost", 3);
          ExpectBoard(j, b);
        });
        break;
      case 2: {
        const std::string phase = Text(in, 20);
        writer.Phase(b, phase);
        expected.push_back([=](const json& j) {
          ExpectEvent(j, "phase", 4);
          ExpectBoard(j, b);
          ExpectString(j, "phase", phase, false);
        });
        break;
      }
      case 3: {
        // Bytes of an image: small counts meet the rule's edges, large ones its arithmetic.
        // Steps at the interval's edges, or any up to 250 ms.
        now += in.ConsumeBool() ? in.PickValueInArray<std::int64_t>({0, 1, 99'999, 100'000, 100'001})
                                : in.ConsumeIntegralInRange<std::int64_t>(0, 250'000);
        const bool small = in.ConsumeBool();
        const std::int64_t total = small ? in.ConsumeIntegralInRange<std::int64_t>(0, 6)
                                         : in.ConsumeIntegralInRange<std::int64_t>(0, INT64_MAX);
        const std::int64_t done = small ? in.ConsumeIntegralInRange<std::int64_t>(0, 7)
                                        : in.ConsumeIntegralInRange<std::int64_t>(0, INT64_MAX);
        const auto last = shown.find(key);
        bool due;
        if (last == shown.end()) due = true;
        else if (last->second.done == done && last->second.total == total) due = false;
        else due = done >= total || now - last->second.at_us >= 100'000;
        if (writer.Progress(b, done, total, now) != due) std::abort();
        if (due) {
          shown[key] = {now, done, total};
          expected.push_back([=](const json& j) {
            ExpectEvent(j, "progress", 5);
            ExpectBoard(j, b);
            ExpectInt(j, "done", done);
            ExpectInt(j, "total", total);
          });
        }
        break;
      }
      case 4: {
        const int code = in.PickValueInArray(fuzzcheck::kExitCodes);
        const std::string message = Text(in, 60);
        writer.Result(b, static_cast<ExitCode>(code), message);
        shown.erase(key);
        expected.push_back([=](const json& j) {
          ExpectEvent(j, "result", 6);
          ExpectBoard(j, b);
          ExpectInt(j, "exit_code", code);
          ExpectString(j, "exit_class", fuzzcheck::ExitClass(code), false);
          ExpectString(j, "message", message, false);
        });
        break;
      }
      default: {
        std::vector<BoardOutcome> outcomes(in.ConsumeIntegralInRange(0, 4));
        for (BoardOutcome& o : outcomes) {
          o.board = in.ConsumeBool() ? b : BoardName{Text(in, 16), Text(in, 16), Text(in, 16)};
          o.device = Text(in, 24);
          o.result = static_cast<ExitCode>(in.PickValueInArray(fuzzcheck::kExitCodes));
          o.message = Text(in, 40);
          o.bytes = in.ConsumeIntegral<std::int64_t>();
          o.seconds = AnyDouble(in);
        }
        writer.Summary(outcomes);
        expected.push_back([=](const json& j) {
          ExpectEvent(j, "summary", 6);
          std::int64_t succeeded = 0;
          for (const BoardOutcome& o : outcomes) succeeded += o.result == ExitCode::Success ? 1 : 0;
          ExpectInt(j, "boards", static_cast<std::int64_t>(outcomes.size()));
          ExpectInt(j, "succeeded", succeeded);
          ExpectInt(j, "failed", static_cast<std::int64_t>(outcomes.size()) - succeeded);
          if (!j.contains("results") || !j["results"].is_array() || j["results"].size() != outcomes.size())
            std::abort();
          for (std::size_t i = 0; i < outcomes.size(); ++i) {
            const json& e = j["results"][i];
            const BoardOutcome& o = outcomes[i];
            if (!e.is_object() || e.size() != 7) std::abort();
            ExpectBoard(e, o.board);
            ExpectString(e, "device", o.device, true);
            ExpectInt(e, "exit_code", ToInt(o.result));
            ExpectString(e, "exit_class", fuzzcheck::ExitClass(ToInt(o.result)), false);
            ExpectString(e, "message", o.message, false);
            ExpectInt(e, "bytes", o.bytes);
            fuzzcheck::ExpectSeconds(e, "seconds", o.seconds);
          }
        });
        break;
      }
    }
  }
  if (!writer.ok()) std::abort();

  // What the descriptor got: exactly the expected lines, in order.
  const off_t length = ::lseek(fd, 0, SEEK_CUR);
  std::string out(static_cast<std::size_t>(length), '\0');
  if (length < 0 || ::pread(fd, out.data(), out.size(), 0) != length) std::abort();
  std::size_t start = 0;
  for (const auto& check : expected) {
    const std::size_t end = out.find('\n', start);
    if (end == std::string::npos) std::abort();
    check(fuzzcheck::ReadLine(std::string_view(out).substr(start, end + 1 - start)));
    start = end + 1;
  }
  if (start != out.size()) std::abort();
  return 0;
}
