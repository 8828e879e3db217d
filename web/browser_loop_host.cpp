// The page's loop host: performance.now() for the clock, one setTimeout for
// the earliest timer, and a MessageChannel for posted work (a message is
// handled after what the page has queued, without setTimeout's 4 ms clamp).
// Under node (the tests) the channel's port holds the process open only
// while a wake or a timer's last stretch is on its way, so a finished run ends.
//
// A timer keeps to its time within the clock's tenth of a millisecond:
// setTimeout takes whole milliseconds and Chromium fires it a tenth of a
// millisecond late or more, which rounded up came to 0.7 ms a timer, a tenth
// of an upload's time over the simulated device's hundreds of answers. So
// setTimeout wakes the page half a millisecond or more early, and the rest
// is waited out in message hops, each a task of its own: the page never
// blocks, and clicks and reports are handled in between.
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
  const hops = new MessageChannel();
  const state = { channel: channel, hops: hops, timeout: null, due: null, hopping: false };
  channel.port1.onmessage = function() {
    if (channel.port1.unref) channel.port1.unref();
    if (state.closed) return;
    _ql_page_loop_wake(host);
  };
  if (channel.port1.unref) channel.port1.unref();
  // The timer's last stretch: one hop after another until it is due. A hop
  // is always a task of its own, never a call from inside the loop.
  state.post = function() {
    state.hopping = true;
    if (hops.port1.ref) hops.port1.ref();
    hops.port2.postMessage(0);
  };
  state.coarse = function(delay_ms) {
    state.timeout = setTimeout(function() {
      state.timeout = null;
      if (!state.closed && !state.hopping) state.post();
    }, delay_ms);
  };
  state.still = 0;
  hops.port1.onmessage = function() {
    state.hopping = false;
    if (hops.port1.unref) hops.port1.unref();
    // Re-armed meanwhile for later: its setTimeout takes over.
    if (state.closed || state.due === null || state.timeout !== null) return;
    const now = performance.now();
    if (now >= state.due) {
      state.due = null;
      state.still = 0;
      return _ql_page_loop_timer(host);
    }
    // A clock that stands still while the page is busy (a browser run on
    // virtual time, which moves only when the page is idle) never gets there
    // by hops: a setTimeout then waits out the rest.
    state.still = now === state.lastHop ? state.still + 1 : 0;
    state.lastHop = now;
    if (state.still > 200) {
      state.still = 0;
      return state.coarse(Math.ceil(state.due - now));
    }
    state.post();
  };
  if (hops.port1.unref) hops.port1.unref();
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
  state.timeout = null;
  state.due = performance.now() + delay_ms;
  // setTimeout for all but the last half millisecond or more (it fires a
  // tenth or two of a millisecond late as a rule); hops for the rest.
  const coarse = Math.floor(delay_ms - 0.5);
  if (coarse >= 1) {
    state.coarse(coarse);
  } else if (!state.hopping) {
    state.post();
  }
});

EM_JS(void, ql_page_loop_cancel, (void* host), {
  const state = Module.qlLoopHosts.get(host);
  if (state.timeout !== null) clearTimeout(state.timeout);
  state.timeout = null;
  state.due = null;
});

EM_JS(void, ql_page_loop_close, (void* host), {
  const state = Module.qlLoopHosts.get(host);
  state.closed = true;
  state.due = null;
  if (state.timeout !== null) clearTimeout(state.timeout);
  state.channel.port1.close();
  state.hops.port1.close();
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
    const double delay = static_cast<double>(at - Now()) / 1000.0;
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
