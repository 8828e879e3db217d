#include "cli/standard_streams.h"

#include <unistd.h>

#include <cstring>

#include "cli/json_events.h"

namespace ql::cli {

namespace {

OutputChannel::Options StderrOptions() {
  OutputChannel::Options o;
  o.drop_notice = [](std::uint64_t n) {
    return "quelloader-cli: " + std::to_string(n) + (n == 1 ? " line" : " lines") +
           " left out here: standard error was not being read.\n";
  };
  return o;
}

OutputChannel::Options JsonOptions() {
  OutputChannel::Options o;
  o.drop_notice = JsonDropNotice;
  return o;
}

}  // namespace

std::string StdoutFailureText(int error) {
  return std::string("quelloader-cli: cannot write to standard output: ") + std::strerror(error) +
         ". The JSON events end here; the boards carry on.";
}

StandardStreams::StandardStreams(EventLoop& loop, bool json) : err_(STDERR_FILENO, loop, StderrOptions()) {
  if (json) out_.emplace(STDOUT_FILENO, loop, JsonOptions(), [this](int error) { StdoutFailed(error); });
}

void StandardStreams::StdoutFailed(int error) {
  const std::string text = StdoutFailureText(error);
  if (say) {
    say(text);
  } else {
    err_.Write(OutputKind::Keep, text + "\n");
  }
}

bool StandardStreams::Finish(const std::function<bool()>& abandon) {
  if (out_ && !out_->Finish(abandon)) {
    err_.Abandon();
    return false;
  }
  return err_.Finish(abandon);
}

}  // namespace ql::cli
