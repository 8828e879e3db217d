// The page's loop host: performance.now() for the clock, one setTimeout for
// the earliest timer, and a MessageChannel for posted work (a message is
// handled after what the page has queued, without setTimeout's 4 ms clamp).
// Under node (the tests) the channel's port holds the process open only
// while a wake is on its way, so a finished run ends.
#include <emscripten/em_js.h>
#include <emscripten/emscripten.h>

#include <cmath>

#include "web/browser_event_loop.h"

namespace ql::web {
class PageLoopHost;
}

extern "C" {
// The host's callbacks from JavaScript; `host` is the PageLoopHost.
EMSCRIPTEN_KEEPALIVE void ql_page_loop_wake(ql::web::PageLoopHost* host);
EMSCRIPTEN_KEEPALIVE void ql_page_loop_timer(ql::web::PageLoopHost* host);
}

// clang-format off
EM_JS(void, ql_page_loop_open, (void* host), {
  const channel = new MessageChannel();
  const state = { channel: channel, timeout: null };
  channel.port1.onmessage = function() {
    if (channel.port1.unref) channel.port1.unref();
    if (state.closed) return;
    _ql_page_loop_wake(host);
  };
  if (channel.port1.unref) channel.port1.unref();
  (Module.qlLoopHosts = Module.qlLoopHosts || new Map()).set(host, state);
});

EM_JS(void, ql_page_loop_request_wake, (void* host), {
  const state = Module.qlLoopHosts.get(host);
  if (state.channel.port1.ref) state.channel.port1.ref();
  state.channel.port2.postMessage(0);
});

EM_JS(void, ql_page_loop_arm, (void* host, double delay_ms), {
  const state = Module.qlLoopHosts.get(host);
  if (state.timeout !== null) clearTimeout(state.timeout);
  state.timeout = setTimeout(function() {
    state.timeout = null;
    if (!state.closed) _ql_page_loop_timer(host);
  }, delay_ms);
});

EM_JS(void, ql_page_loop_cancel, (void* host), {
  const state = Module.qlLoopHosts.get(host);
  if (state.timeout !== null) clearTimeout(state.timeout);
  state.timeout = null;
});

EM_JS(void, ql_page_loop_close, (void* host), {
  const state = Module.qlLoopHosts.get(host);
  state.closed = true;
  if (state.timeout !== null) clearTimeout(state.timeout);
  state.channel.port1.close();
  Module.qlLoopHosts.delete(host);
});
// clang-format on

namespace ql::web {

class PageLoopHost final : public BrowserLoopHost {
 public:
  PageLoopHost() { ql_page_loop_open(this); }
  ~PageLoopHost() override { ql_page_loop_close(this); }
  PageLoopHost(const PageLoopHost&) = delete;
  PageLoopHost& operator=(const PageLoopHost&) = delete;

  void Attach(BrowserEventLoop* loop) override { loop_ = loop; }
  BrowserEventLoop* loop() const { return loop_; }

  Micros Now() const override { return static_cast<Micros>(std::llround(emscripten_get_now() * 1000.0)); }
  void RequestWake() override { ql_page_loop_request_wake(const_cast<PageLoopHost*>(this)); }
  void ArmTimer(Micros at) override {
    // Whole milliseconds, rounded up: a timer that fires early only asks again.
    const double delay = std::ceil(static_cast<double>(at - Now()) / 1000.0);
    ql_page_loop_arm(this, delay < 0 ? 0 : delay);
  }
  void CancelTimer() override { ql_page_loop_cancel(this); }

 private:
  BrowserEventLoop* loop_ = nullptr;
};

std::unique_ptr<BrowserLoopHost> MakePageLoopHost() { return std::make_unique<PageLoopHost>(); }

}  // namespace ql::web

void ql_page_loop_wake(ql::web::PageLoopHost* host) {
  if (host->loop() != nullptr) host->loop()->OnWake();
}

void ql_page_loop_timer(ql::web::PageLoopHost* host) {
  if (host->loop() != nullptr) host->loop()->OnTimer();
}
