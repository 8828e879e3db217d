#pragma once
// The one event loop of the page, on the browser's clock: every entry point
// of the module runs its work on it.

#include "web/browser_event_loop.h"

namespace ql::web {

inline BrowserEventLoop& PageLoop() {
  // Never destroyed: the module lives as long as the page.
  static BrowserEventLoop* loop = new BrowserEventLoop();
  return *loop;
}

}  // namespace ql::web
