#include <algorithm>
#include <thread>
#include <utility>

#include "core/debug_log.h"
#include "hid/reader_hand_over.h"
#include "hid/win32_hid_api.h"
#include "hid/win32_hid_backend.h"

namespace ql {

namespace {

using win32::UniqueHandle;

// A reader thread with one overlapped read at a time on a handle of its own,
// waiting on the read and on the stop alike: no polling, and a stop is
// noticed at once.
class Win32Reader final : public HidReader {
 public:
  Win32Reader(UniqueHandle handle, DWORD open_error, std::uint16_t input_length, int sleep_ms, EventLoop& loop,
              HidReaderCallbacks callbacks)
      : hand_over_(ReaderHandOver::Make(loop, std::move(callbacks))),
        handle_(std::move(handle)),
        open_error_(open_error),
        stop_event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
        read_event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
        length_(input_length > 1 ? input_length : 65),
        sleep_ms_(sleep_ms) {
    thread_ = std::thread([this] { Run(); });
  }

  ~Win32Reader() override {
    hand_over_->Stop();
    SetEvent(stop_event_.get());
    thread_.join();
    hand_over_->Close();
  }
  Win32Reader(const Win32Reader&) = delete;
  Win32Reader& operator=(const Win32Reader&) = delete;

  bool Pending() const override {
    // The finished read first, then the reader: the reader marks the report
    // as held before it clears the read's event.
    if (WaitForSingleObject(read_event_.get(), 0) == WAIT_OBJECT_0) return true;
    return hand_over_->Holding();
  }

 private:
  void Run() {
    ReaderHandOver& h = *hand_over_;
    std::vector<std::uint8_t> buffer(length_);
    while (!h.Stopping()) {
      std::fill(buffer.begin(), buffer.end(), 0);
      if (!handle_ || !stop_event_ || !read_event_) {
        if (!h.Error(open_error_ != 0 ? open_error_ : ERROR_INVALID_HANDLE)) break;
        if (!h.Pause(sleep_ms_)) break;
        continue;
      }
      OVERLAPPED overlapped{};
      overlapped.hEvent = read_event_.get();
      if (!ReadFile(handle_.get(), buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, &overlapped) &&
          GetLastError() != ERROR_IO_PENDING) {
        if (!Failed(GetLastError())) break;
        continue;
      }
      const HANDLE events[2] = {stop_event_.get(), read_event_.get()};
      const DWORD woken = WaitForMultipleObjects(2, events, FALSE, INFINITE);
      const DWORD wait_error = woken == WAIT_FAILED ? GetLastError() : 0;
      DWORD count = 0;
      if (woken != WAIT_OBJECT_0 + 1) {
        // Told to stop (or the wait itself failed): the read is cancelled and
        // its end awaited, since the driver writes into `buffer` until then.
        CancelIo(handle_.get());
        GetOverlappedResult(handle_.get(), &overlapped, &count, TRUE);
        ResetEvent(read_event_.get());
        if (woken == WAIT_OBJECT_0 || !Failed(wait_error)) break;
        continue;
      }
      h.SetHolding(true);
      ResetEvent(read_event_.get());
      if (!GetOverlappedResult(handle_.get(), &overlapped, &count, FALSE)) {
        const DWORD error = GetLastError();
        h.SetHolding(false);
        if (!Failed(error)) break;
        continue;
      }
      if (count == 0) {
        h.SetHolding(false);
        continue;
      }
      // The driver puts the report ID in front, 0 for a device without IDs.
      if (!h.Report({buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(count)})) break;
    }
  }

  // A read that could not be done: its error goes to the event thread, and
  // the reader waits a step, since a device that went away fails every read
  // at once until its holder gives it back. False when told to stop.
  bool Failed(DWORD error) {
    if (DebugEnabled()) DebugLog("reader: read failed: " + win32::Win32ErrorText(error));
    return hand_over_->Error(error) && hand_over_->Pause(sleep_ms_);
  }

  std::shared_ptr<ReaderHandOver> hand_over_;
  UniqueHandle handle_;
  DWORD open_error_;
  UniqueHandle stop_event_;
  UniqueHandle read_event_;
  std::size_t length_;
  int sleep_ms_;
  std::thread thread_;
};

}  // namespace

std::unique_ptr<HidReader> StartWin32Reader(const std::string& path, EventLoop& loop, std::uint16_t input_length,
                                            int sleep_ms, HidReaderCallbacks callbacks) {
  const std::u16string wide = ToUtf16(path);
  UniqueHandle handle(CreateFileW(reinterpret_cast<const wchar_t*>(wide.c_str()), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                                  nullptr));
  const DWORD open_error = handle ? 0 : GetLastError();
  if (!handle && DebugEnabled()) DebugLog("reader: cannot open " + path + ": " + win32::Win32ErrorText(open_error));
  return std::make_unique<Win32Reader>(std::move(handle), open_error, input_length, sleep_ms, loop,
                                       std::move(callbacks));
}

}  // namespace ql
