#pragma once
// A coroutine that returns a value: the upload and the session steps are
// written as Task<T> so that one body serves two ways of waiting. A wait that
// completes at once (the window's waits, which process events nested until
// the answer) lets the coroutine run straight through, so the task is done
// when the call returns; a wait that suspends (several boards on one event
// loop) parks the coroutine until its answer, time-out or removal, and the
// loop resumes it.
//
// The body starts at once (no initial suspension). One awaiter at most may
// co_await a task; destroying an unfinished task destroys its frame, and with
// it the pending wait, which cancels itself.
//
// Never write `co_return co_await task;`: GCC 12 then hands the awaited task
// a handle eight bytes off its caller's frame, and the resumption after a
// suspension jumps into the void. Await into a variable, then co_return it.

#include <coroutine>
#include <exception>
#include <optional>
#include <utility>

namespace ql {

template <typename T>
class Task;

namespace task_detail {

struct PromiseBase {
  std::coroutine_handle<> continuation;
  std::exception_ptr error;

  std::suspend_never initial_suspend() noexcept { return {}; }
  struct FinalAwaiter {
    bool await_ready() noexcept { return false; }
    template <typename P>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<P> h) noexcept {
      if (auto c = h.promise().continuation) return c;
      return std::noop_coroutine();
    }
    void await_resume() noexcept {}
  };
  FinalAwaiter final_suspend() noexcept { return {}; }
  void unhandled_exception() { error = std::current_exception(); }
};

}  // namespace task_detail

template <typename T>
class [[nodiscard]] Task {
 public:
  struct promise_type : task_detail::PromiseBase {
    std::optional<T> value;
    Task get_return_object() { return Task(std::coroutine_handle<promise_type>::from_promise(*this)); }
    void return_value(T v) { value = std::move(v); }
  };

  Task() = default;
  Task(Task&& other) noexcept : h_(std::exchange(other.h_, {})) {}
  Task& operator=(Task&& other) noexcept {
    if (this != &other) {
      Reset();
      h_ = std::exchange(other.h_, {});
    }
    return *this;
  }
  ~Task() { Reset(); }

  bool valid() const { return static_cast<bool>(h_); }
  bool done() const { return h_ && h_.done(); }
  // The result of a finished task (rethrows what its body threw).
  T& result() {
    auto& p = h_.promise();
    if (p.error) std::rethrow_exception(p.error);
    return *p.value;
  }

  bool await_ready() const noexcept { return done(); }
  void await_suspend(std::coroutine_handle<> awaiting) noexcept { h_.promise().continuation = awaiting; }
  T await_resume() { return std::move(result()); }

 private:
  explicit Task(std::coroutine_handle<promise_type> h) : h_(h) {}
  void Reset() {
    if (h_) h_.destroy();
    h_ = {};
  }
  std::coroutine_handle<promise_type> h_;
};

// A task with no value: a step that is run for what it does.
template <>
class [[nodiscard]] Task<void> {
 public:
  struct promise_type : task_detail::PromiseBase {
    Task get_return_object() { return Task(std::coroutine_handle<promise_type>::from_promise(*this)); }
    void return_void() {}
  };

  Task() = default;
  Task(Task&& other) noexcept : h_(std::exchange(other.h_, {})) {}
  Task& operator=(Task&& other) noexcept {
    if (this != &other) {
      Reset();
      h_ = std::exchange(other.h_, {});
    }
    return *this;
  }
  ~Task() { Reset(); }

  bool valid() const { return static_cast<bool>(h_); }
  bool done() const { return h_ && h_.done(); }
  // Rethrows what the finished body threw.
  void result() {
    if (auto& p = h_.promise(); p.error) std::rethrow_exception(p.error);
  }

  bool await_ready() const noexcept { return done(); }
  void await_suspend(std::coroutine_handle<> awaiting) noexcept { h_.promise().continuation = awaiting; }
  void await_resume() { result(); }

 private:
  explicit Task(std::coroutine_handle<promise_type> h) : h_(h) {}
  void Reset() {
    if (h_) h_.destroy();
    h_ = {};
  }
  std::coroutine_handle<promise_type> h_;
};

}  // namespace ql
