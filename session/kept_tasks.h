#pragma once
// Steps started by a click (a connect, an upload, a list rebuild) are
// coroutines. Where waits block (the desktop windows: a wait processes events
// nested until its answer) such a step has run to its end when it is kept;
// where waits suspend (the browser, which cannot block) it parks, and its
// owner keeps it here until it ends. Destroying the keeper destroys the
// unfinished steps, and with them their waits.

#include <algorithm>
#include <vector>

#include "core/event_loop.h"
#include "core/task.h"

namespace ql {

class KeptTasks {
 public:
  // `blocking`: the owner's waits block, so `task` must end here; the loop
  // runs until it has, should a wait of it suspend after all.
  void Keep(EventLoop& loop, bool blocking, Task<void> task) {
    std::erase_if(tasks_, [](const Task<void>& t) { return t.done(); });
    if (blocking) {
      while (!task.done()) loop.process_events(loop.now() + from_ms(1000));
    }
    if (task.done()) {
      task.result();  // what it threw reaches the caller
      return;
    }
    tasks_.push_back(std::move(task));
  }
  // Steps still parked.
  std::size_t running() const {
    return static_cast<std::size_t>(std::count_if(tasks_.begin(), tasks_.end(), [](const Task<void>& t) { return !t.done(); }));
  }
  void Clear() { tasks_.clear(); }

 private:
  std::vector<Task<void>> tasks_;
};

}  // namespace ql
