#include "core/debug_log.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>

namespace ql {

namespace {
std::atomic<bool> g_enabled{false};
std::mutex g_sink_mutex;
std::function<void(std::string)> g_sink;
}  // namespace

void SetDebugSink(std::function<void(std::string line)> sink) {
  std::lock_guard lock(g_sink_mutex);
  g_sink = std::move(sink);
}

bool DebugEnabled() { return g_enabled.load(std::memory_order_relaxed); }
void SetDebugEnabled(bool on) { g_enabled.store(on, std::memory_order_relaxed); }

void EnableDebugFromEnvironment() {
  const char* v = std::getenv("QUELLOADER_DEBUG");
  if (v != nullptr && *v != '\0' && std::string_view(v) != "0") SetDebugEnabled(true);
}

void DebugLog(std::string_view text) {
  if (!DebugEnabled()) return;
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  std::tm tm{};
  gmtime_r(&ts.tv_sec, &tm);
  char stamp[40];
  const std::size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &tm);
  std::snprintf(stamp + n, sizeof stamp - n, ".%03ldZ", ts.tv_nsec / 1000000);
  // One write per line, so that lines from reader threads never interleave.
  std::string line = std::string(stamp) + " quelloader: ";
  line.append(text);
  {
    std::lock_guard lock(g_sink_mutex);
    if (g_sink) {
      g_sink(std::move(line));
      return;
    }
  }
  line.push_back('\n');
  [[maybe_unused]] const ssize_t w = ::write(STDERR_FILENO, line.data(), line.size());
}

}  // namespace ql
