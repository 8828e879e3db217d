#include "core/debug_log.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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
  using namespace std::chrono;
  const auto now = floor<milliseconds>(system_clock::now());
  const auto day = floor<days>(now);
  const year_month_day date{day};
  const hh_mm_ss time{now - day};
  char stamp[40];
  std::snprintf(stamp, sizeof stamp, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
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
  std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace ql
