#include "cli/json_events.h"

#include <unistd.h>

#include <cerrno>

#include "cli/json_text.h"

namespace ql::cli {

namespace {

JsonObject Event(std::string_view name) {
  JsonObject o;
  o.Int("schema", kJsonEventsSchema).String("event", name);
  return o;
}

JsonObject Event(std::string_view name, const BoardName& board) {
  JsonObject o = Event(name);
  o.Raw("board", BoardJson(board));
  return o;
}

// The key of a board's progress rate: all it is known by, since two boards
// without a serial differ only in port or path.
std::string RateKey(const BoardName& b) {
  return b.port + '\n' + b.serial + '\n' + b.path;
}

}  // namespace

std::string BoardJson(const BoardName& board) {
  return JsonObject()
      .StringOrNull("port", board.port)
      .StringOrNull("serial", board.serial)
      .StringOrNull("path", board.path)
      .Text();
}

void JsonEventWriter::BoardFound(const BoardName& board, std::string_view device) {
  Write(Event("board-found", board).StringOrNull("device", device).Text(), Class::Keep);
}

void JsonEventWriter::BoardLost(const BoardName& board) {
  Write(Event("board-lost", board).Text(), Class::Keep);
}

void JsonEventWriter::Phase(const BoardName& board, std::string_view phase) {
  Write(Event("phase", board).String("phase", phase).Text(), Class::Ordinary);
}

bool JsonEventWriter::Progress(const BoardName& board, std::int64_t done, std::int64_t total,
                               std::int64_t now_us) {
  const std::string key = RateKey(board);
  ProgressState& state = progress_[key];
  if (done == state.done && total == state.total) return false;
  const bool first = state.done < 0;
  const bool complete = done >= total;
  if (!first && !complete && now_us - state.last_us < kProgressIntervalUs) return false;
  state = {now_us, done, total};
  Write(Event("progress", board).Int("done", done).Int("total", total).Text(), Class::Progress, key);
  return true;
}

void JsonEventWriter::Result(const BoardName& board, ExitCode code, std::string_view message) {
  progress_.erase(RateKey(board));
  Write(Event("result", board)
            .Int("exit_code", ToInt(code))
            .String("exit_class", ExitClassName(code))
            .String("message", message)
            .Text(),
        Class::Keep);
}

void JsonEventWriter::Summary(std::span<const BoardOutcome> boards) {
  std::int64_t succeeded = 0;
  std::string entries = "[";
  for (const BoardOutcome& b : boards) {
    if (b.result == ExitCode::Success) ++succeeded;
    if (entries.size() > 1) entries += ',';
    entries += JsonObject()
                   .Raw("board", BoardJson(b.board))
                   .StringOrNull("device", b.device)
                   .Int("exit_code", ToInt(b.result))
                   .String("exit_class", ExitClassName(b.result))
                   .String("message", b.message)
                   .Int("bytes", b.bytes)
                   .Seconds("seconds", b.seconds)
                   .Text();
  }
  entries += ']';
  const auto total = static_cast<std::int64_t>(boards.size());
  Write(Event("summary")
            .Int("boards", total)
            .Int("succeeded", succeeded)
            .Int("failed", total - succeeded)
            .Raw("results", entries)
            .Text(),
        Class::Keep);
}

std::string JsonDropNotice(std::uint64_t count) {
  return Event("events-dropped").Int("count", static_cast<std::int64_t>(count)).Text() + '\n';
}

void JsonEventWriter::Write(std::string line, Class kind, const std::string& key) {
  line += '\n';
  if (channel_ != nullptr) {
    switch (kind) {
      case Class::Keep: channel_->Write(OutputKind::Keep, std::move(line)); break;
      case Class::Ordinary: channel_->Write(OutputKind::Ordinary, std::move(line)); break;
      case Class::Progress: channel_->WriteLatest("progress\n" + key, std::move(line)); break;
    }
    return;
  }
  if (!ok_) return;
  // One write for the whole line; a pipe takes up to PIPE_BUF bytes at once,
  // and a longer summary is finished by further writes rather than lost.
  std::size_t written = 0;
  while (written < line.size()) {
    const ssize_t n = ::write(fd_, line.data() + written, line.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      ok_ = false;
      return;
    }
    written += static_cast<std::size_t>(n);
  }
}

}  // namespace ql::cli
