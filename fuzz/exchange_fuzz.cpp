// The receive path and boot-info decoding: after each request, any sequence
// of input reports (any length, any bytes, any arrival time), unplugs and
// stop requests, on virtual time. Checked after every wait: the wait ends by
// its own deadline, an acknowledgement is only ever taken from the bytes
// 0F code at the start of the buffer, a boot-info record decodes exactly as a
// second, plain decoder written here reads it, and every packet leaves as
// whole reports of the device's declared length carrying the packet's bytes.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "core/virtual_event_loop.h"
#include "protocol/exchange.h"

namespace {

using namespace ql;

class FakeDevice final : public ReportDevice {
 public:
  std::uint16_t length = kReportSize;
  std::vector<std::vector<std::uint8_t>> reports;
  std::uint16_t OutputReportByteLength() override { return length; }
  bool SendReport(std::span<const std::uint8_t> report) override {
    reports.emplace_back(report.begin(), report.end());
    return true;
  }
};

// Boot-info decoding read straight from the record's description: L, then
// code bytes with their values; bytes past the buffer read 0 and a name ends
// at its zero byte or at the buffer's end.
TBootInfo PlainDecode(const std::vector<std::uint8_t>& b, TBootInfo info) {
  auto at = [&](std::size_t i) -> std::uint32_t { return i < b.size() ? b[i] : 0u; };
  const std::size_t L = b[0];
  for (std::size_t i = 1; i <= L; ++i) {
    const std::uint32_t code = at(i);
    if (code == 1) {
      info.McuType = static_cast<std::uint8_t>(at(i + 1));
      i += 1;
    } else if (code >= 3 && code <= 5) {
      const auto v = static_cast<std::uint16_t>(at(i + 1) + 256 * at(i + 2));
      (code == 3 ? info.EraseBlockSize : code == 4 ? info.WriteBlockSize : info.InfoWord5) = v;
      i += 2;
    } else if (code == 6) {
      info.BootStart = at(i + 1) + (at(i + 2) << 8) + (at(i + 3) << 16) + (at(i + 4) << 24);
      i += 4;
    } else if (code == 7) {
      std::string name;
      std::size_t j = i + 1;
      for (; j < b.size() && b[j] != 0; ++j) name.push_back(static_cast<char>(b[j]));
      info.BootDeviceName = name;
      i = j;
    }
  }
  return info;
}

constexpr std::uint8_t kCodes[] = {CMD_HANDSHAKE_2, CMD_BOOT_INFO, CMD_HANDSHAKE_1, CMD_WRITE, CMD_ERASE};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  VirtualEventLoop loop;
  Exchange ex(loop);
  FakeDevice dev;
  dev.length = in.ConsumeBool() ? kReportSize : in.ConsumeIntegralInRange<std::uint16_t>(1, 200);
  ex.CurrentDevice = &dev;
  std::vector<std::uint8_t> sent;
  ex.OnPacketSent = [&](std::span<const std::uint8_t> p) { sent.assign(p.begin(), p.end()); };

  for (int round = 0; round < 8 && in.remaining_bytes() > 0; ++round) {
    const std::uint8_t code = in.ConsumeBool() ? in.ConsumeIntegral<std::uint8_t>() : in.PickValueInArray(kCodes);
    // The request: a command, or a data block of any length.
    dev.reports.clear();
    sent.clear();
    std::size_t asked = 2;
    switch (in.ConsumeIntegralInRange(0, 2)) {
      case 0:
        ex.SendPlainCommand(code);
        break;
      case 1:
        ex.SendAddressedCommand(code, in.ConsumeIntegral<std::uint32_t>(), in.ConsumeIntegral<std::uint16_t>());
        asked = 8;
        break;
      default:
        asked = in.ConsumeIntegralInRange<std::size_t>(0, 3000);
        for (std::size_t i = 0; i < ex.TransferBuffer.size(); ++i) ex.TransferBuffer[i] = static_cast<std::uint8_t>(i * 7);
        ex.SendPacket(asked);
        break;
    }
    if (ex.ReceiveCount != 0 || ex.DataReceived) std::abort();
    if (ex.CurrentDevice != nullptr) {
      // Every packet byte travels, 64 to a report, in reports of the declared length.
      if (sent.size() != std::min(asked, ex.TransferBuffer.size())) std::abort();
      if (dev.reports.size() != (sent.size() + kReportDataSize - 1) / kReportDataSize) std::abort();
      for (std::size_t r = 0; r < dev.reports.size(); ++r) {
        const auto& rep = dev.reports[r];
        if (rep.size() != dev.length || rep[0] != 0) std::abort();
        for (std::size_t k = 0; k < kReportDataSize && 1 + k < rep.size() && r * 64 + k < sent.size(); ++k)
          if (rep[1 + k] != sent[r * 64 + k]) std::abort();
      }
    }

    // The answers, with their arrival times, and perhaps an unplug or a stop.
    const int answers = in.ConsumeIntegralInRange(0, 4);
    for (int a = 0; a < answers; ++a) {
      const Micros delay = from_ms(in.ConsumeIntegralInRange(0, 1200));
      std::vector<std::uint8_t> report = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange(0, 80));
      loop.schedule_after(delay, [&ex, report] { ex.ShowRead(report); });
    }
    if (in.ConsumeIntegralInRange(0, 7) == 0)
      loop.schedule_after(from_ms(in.ConsumeIntegralInRange(0, 1200)), [&ex] { ex.CurrentDevice = nullptr; });
    if (in.ConsumeIntegralInRange(0, 7) == 0)
      loop.schedule_after(from_ms(in.ConsumeIntegralInRange(0, 1200)), [&ex] { ex.CancelWaits(); });

    const std::int64_t timeout = in.ConsumeIntegralInRange(1, 1000);
    const TBootInfo before = ex.BootInfo;
    const Micros start = loop.now();
    const WaitResult r = ex.WaitForResponse(code, timeout);
    if (loop.now() - start > from_ms(timeout)) std::abort();
    if (ex.TransferBuffer.size() < kReportDataSize) std::abort();
    switch (r) {
      case WaitResult::WaitOk:
        if (code == CMD_BOOT_INFO) {
          // The decoder sees the buffer as it was when the record was taken.
          if (ex.BootInfo != PlainDecode(ex.TransferBuffer, before)) std::abort();
          ex.ApplyBlockSize();
          if (ex.TransferBuffer.size() != std::max<std::size_t>(ex.BootInfo.EraseBlockSize, kReportDataSize))
            std::abort();
          (void)BootInfoUsable(ex.BootInfo, nullptr);
        } else if (std::find(std::begin(kCodes), std::end(kCodes), code) == std::end(kCodes) ||
                   ex.ReceiveCount < 2 || ex.TransferBuffer[0] != START_MARK || ex.TransferBuffer[1] != code) {
          std::abort();
        }
        break;
      case WaitResult::WaitNoDevice:
        if (ex.CurrentDevice != nullptr) std::abort();
        break;
      case WaitResult::WaitTimeOut:
      case WaitResult::WaitStopped:
        if (code != CMD_BOOT_INFO && ex.BootInfo != before) std::abort();
        break;
    }
    // Late answers still arrive and must land inside the buffer.
    loop.run_until_idle(loop.now() + from_ms(1300));
    if (in.ConsumeIntegralInRange(0, 3) == 0) ex.CurrentDevice = &dev;
  }
  return 0;
}
