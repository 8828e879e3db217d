#include "sim/simulated_bootloader.h"

#include "sim/model_driver.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>

namespace ql::sim {

namespace {

constexpr std::string_view kBootPattern = "BOOT";

// Flash times from the parts' data sheets, rounded, and kept below the host's
// time-outs (10 ms per erased block, 500 ms per data block).
Config MakePreset(std::string name, std::uint8_t mcu_type, std::uint16_t erase_block, std::uint16_t write_block,
                  std::uint32_t boot_start, std::string device, std::uint32_t flash_size, Micros erase_time,
                  Micros write_time) {
  Config c;
  c.preset = std::move(name);
  c.info.McuType = mcu_type;
  c.info.EraseBlockSize = erase_block;
  c.info.WriteBlockSize = write_block;
  c.info.BootStart = boot_start;
  c.info.BootDeviceName = std::move(device);
  c.flash_size = flash_size;
  c.timing.frame = 1000;
  c.timing.erase_per_block = erase_time;
  c.timing.write_per_block = write_time;
  return c;
}

}  // namespace

std::optional<Config> Preset(std::string_view name) {
  if (name == "pic18") return MakePreset("pic18", 2, 64, 32, 0x7C00, "PIC18F4550", 0x8000, 2000, 2000);
  if (name == "pic18j") return MakePreset("pic18j", 2, 1024, 64, 0xF000, "PIC18F46J50", 0x10000, 3000, 2800);
  if (name == "pic16") return MakePreset("pic16", 1, 64, 64, 0x3C00, "PIC16F1459", 0x4000, 2500, 2500);
  return std::nullopt;
}

std::vector<std::string> PresetNames() { return {"pic18", "pic18j", "pic16"}; }

std::string ConfigConflict(const Config& config) {
  const auto hex = [](std::uint64_t v) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(v));
    return std::string(text);
  };
  const std::string device = config.preset.empty() ? "the simulated device" : "the " + config.preset + " preset";
  if (config.info.BootStart >= config.flash_size)
    return "bootloader start " + hex(config.info.BootStart) + " is not inside the flash of " + device +
           ", which ends at " + hex(config.flash_size);
  const unsigned erase = config.info.EraseBlockSize;
  if (erase != 0 && config.flash_size % erase != 0)
    return "erase block size " + std::to_string(erase) + " does not divide the " + hex(config.flash_size) +
           " bytes of flash of " + device;
  return {};
}

// ---- The model -------------------------------------------------------------

SimulatedBootloader::SimulatedBootloader(Config config) : config_(std::move(config)) {
  deaf_ = config_.fault.kind == FaultKind::Deaf && config_.fault.step <= 1;
  flash_.resize(config_.flash_size);
  erased_.assign(config_.flash_size, false);
  for (std::uint32_t a = 0; a < config_.flash_size; ++a)
    flash_[a] = a >= config_.info.BootStart ? BootAreaByte(a) : ErasedByte(a);
}

void SimulatedBootloader::BeginSession() {
  erased_.assign(erased_.size(), false);
  present_ = true;  // back on the bus after a reset that left it
}

std::uint8_t SimulatedBootloader::Mask(std::uint32_t address) const {
  // PIC16 program words are 14 bits: the high byte of each word keeps 6.
  return config_.info.McuType == 1 && (address & 1) ? 0x3F : 0xFF;
}

std::uint8_t SimulatedBootloader::ErasedByte(std::uint32_t address) const { return Mask(address); }

std::uint8_t SimulatedBootloader::BootAreaByte(std::uint32_t address) const {
  return static_cast<std::uint8_t>(kBootPattern[address % kBootPattern.size()]) & Mask(address);
}

bool SimulatedBootloader::BootAreaIntact() const {
  for (std::uint32_t a = config_.info.BootStart; a < flash_.size(); ++a)
    if (flash_[a] != BootAreaByte(a)) return false;
  return true;
}

std::vector<std::uint8_t> SimulatedBootloader::BootInfoRecord() const {
  const TBootInfo& info = config_.info;
  std::vector<std::uint8_t> r{0};
  r.push_back(1);
  r.push_back(info.McuType);
  r.push_back(3);
  r.push_back(static_cast<std::uint8_t>(info.EraseBlockSize));
  r.push_back(static_cast<std::uint8_t>(info.EraseBlockSize >> 8));
  r.push_back(4);
  r.push_back(static_cast<std::uint8_t>(info.WriteBlockSize));
  r.push_back(static_cast<std::uint8_t>(info.WriteBlockSize >> 8));
  r.push_back(6);
  for (int i = 0; i < 4; ++i) r.push_back(static_cast<std::uint8_t>(info.BootStart >> (8 * i)));
  r.push_back(7);
  // The name and its zero byte must fit in the one report.
  const std::size_t room = kReportDataSize - r.size() - 1;
  for (std::size_t i = 0; i < info.BootDeviceName.size() && i < room; ++i)
    r.push_back(static_cast<std::uint8_t>(info.BootDeviceName[i]));
  r.push_back(0);
  r[0] = static_cast<std::uint8_t>(r.size() - 1);
  r.resize(kReportDataSize, 0);
  return r;
}

bool SimulatedBootloader::FaultAt(FaultKind kind) const {
  return config_.fault.kind == kind && (config_.fault.step == 0 || config_.fault.step == step_);
}

void SimulatedBootloader::Answer(std::vector<Output>& out, Micros at, std::vector<std::uint8_t> data) {
  data.resize(kReportDataSize, 0);
  device_time_ += config_.timing.frame;
  out.push_back(Output{Output::Kind::Report, at + config_.timing.frame, std::move(data)});
}

void SimulatedBootloader::Ack(std::vector<Output>& out, Micros at, std::uint8_t code) {
  if (FaultAt(FaultKind::WrongAnswer)) code = code == CMD_ERASE ? CMD_WRITE : CMD_ERASE;
  Answer(out, at, {START_MARK, code});
}

bool SimulatedBootloader::InBootAreaOrOutside(std::uint64_t begin, std::uint64_t end) const {
  return end > config_.info.BootStart || end > config_.flash_size || begin > end;
}

std::vector<Output> SimulatedBootloader::ReceiveReport(std::span<const std::uint8_t> report, Micros now) {
  if (report.empty()) return {};
  return Receive(report.subspan(1), now);
}

std::vector<Output> SimulatedBootloader::Receive(std::span<const std::uint8_t> data, Micros now) {
  std::vector<Output> out;
  if (!present_ || deaf_) return out;
  std::array<std::uint8_t, kReportDataSize> report{};
  std::copy_n(data.begin(), std::min(data.size(), report.size()), report.begin());

  // Reports queue behind the flash work; each takes one frame to arrive.
  const Micros arrival = std::max(now, busy_until_) + config_.timing.frame;
  busy_until_ = arrival;
  device_time_ += config_.timing.frame;

  const int steps_before = step_;
  if (write_remaining_ > 0) DataReport(report, arrival, out);
  else Command(report, arrival, out);
  // The packet before the deaf one is done: nothing more is taken.
  if (step_ != steps_before && config_.fault.kind == FaultKind::Deaf && step_ + 1 >= config_.fault.step) deaf_ = true;
  return out;
}

void SimulatedBootloader::Command(std::span<const std::uint8_t> data, Micros arrival, std::vector<Output>& out) {
  CommandRecord rec;
  rec.at = arrival;
  rec.code = data[1];
  const bool known = data[0] == START_MARK &&
                     (rec.code == CMD_HANDSHAKE_1 || rec.code == CMD_HANDSHAKE_2 || rec.code == CMD_BOOT_INFO ||
                      rec.code == CMD_RESET || rec.code == CMD_WRITE || rec.code == CMD_ERASE);
  if (!known) {
    // Not a packet this bootloader knows: counted, never answered.
    ++ignored_reports_;
    return;
  }
  rec.step = ++step_;
  const bool addressed = rec.code == CMD_WRITE || rec.code == CMD_ERASE;
  if (addressed) {
    rec.address = static_cast<std::uint32_t>(data[2] | data[3] << 8 | data[4] << 16) |
                  static_cast<std::uint32_t>(data[5]) << 24;
    rec.count = static_cast<std::uint16_t>(data[6] | data[7] << 8);
  }

  if (FaultAt(FaultKind::Unplug)) {
    commands_.push_back(rec);
    present_ = false;
    out.push_back(Output{Output::Kind::Unplug, arrival, {}});
    return;
  }
  const bool dropped = FaultAt(FaultKind::Silent) || FaultAt(FaultKind::NoAnswer);
  if (dropped) {
    commands_.push_back(rec);
    return;
  }

  const Timing& t = config_.timing;
  const std::uint32_t erase_block = config_.info.EraseBlockSize;
  switch (rec.code) {
    case CMD_HANDSHAKE_1:
    case CMD_HANDSHAKE_2:
      Ack(out, arrival, rec.code);
      break;
    case CMD_BOOT_INFO: {
      std::vector<std::uint8_t> record = BootInfoRecord();
      if (FaultAt(FaultKind::GarbageBootInfo)) {
        std::uint32_t x = 0x2545F491u + static_cast<std::uint32_t>(step_);
        for (auto& b : record) {
          x = x * 1664525u + 1013904223u;
          b = static_cast<std::uint8_t>(x >> 24);
        }
      } else if (FaultAt(FaultKind::ShortBootInfo)) {
        // Length byte, McuType (2 bytes) and EraseBlockSize (3 bytes) only.
        std::fill(record.begin() + 6, record.end(), 0);
      } else if (FaultAt(FaultKind::WrongAnswer)) {
        record = {START_MARK, CMD_ERASE};
      }
      Answer(out, arrival, std::move(record));
      break;
    }
    case CMD_RESET:
      commands_.push_back(rec);
      reset_seen_ = true;
      present_ = false;
      // The MCU restarts into the application and drops off the bus.
      out.push_back(Output{Output::Kind::Unplug, arrival + t.frame, {}});
      return;
    case CMD_ERASE: {
      Micros work = 0;
      if (erase_block == 0) {
        rec.refused = true;
      } else {
        // The named block and count - 1 blocks below it.
        const std::uint64_t top = rec.address / erase_block;
        if (rec.count > top + 1) {
          rec.refused = true;  // reaches below address 0
        } else {
          const std::uint64_t begin = (top + 1 - rec.count) * erase_block;
          const std::uint64_t end = (top + 1) * erase_block;
          rec.refused = rec.count > 0 && InBootAreaOrOutside(begin, end);
          if (!rec.refused) {
            for (std::uint64_t a = begin; a < end; ++a) {
              flash_[a] = ErasedByte(static_cast<std::uint32_t>(a));
              erased_[a] = true;
            }
            work = t.erase_per_block * rec.count;
          }
        }
      }
      busy_until_ = arrival + work;
      device_time_ += work;
      Ack(out, busy_until_, CMD_ERASE);
      break;
    }
    case CMD_WRITE: {
      rec.refused = rec.count > 0 && InBootAreaOrOutside(rec.address, std::uint64_t{rec.address} + rec.count);
      write_remaining_ = rec.count;
      write_address_ = rec.address;
      write_refused_ = rec.refused;
      block_.clear();
      block_size_ = std::min<std::uint32_t>(write_remaining_, std::max<std::uint32_t>(erase_block, 1));
      break;  // no answer to the command itself
    }
    default:
      break;
  }
  commands_.push_back(rec);
  if (rec.refused) refused_.push_back(rec);
}

void SimulatedBootloader::DataReport(std::span<const std::uint8_t> data, Micros arrival, std::vector<Output>& out) {
  // A data block is EraseBlockSize bytes (or what is left of the write); a
  // report carries up to 64 of them and the rest of its bytes is padding.
  const std::size_t take = std::min<std::size_t>(data.size(), block_size_ - block_.size());
  block_.insert(block_.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(take));
  if (block_.size() < block_size_) return;

  ++step_;
  ++data_blocks_;
  const std::uint32_t address = write_address_;
  write_address_ += block_size_;
  write_remaining_ -= block_size_;
  std::vector<std::uint8_t> block = std::move(block_);
  block_.clear();
  const std::uint32_t done_size = static_cast<std::uint32_t>(block.size());
  block_size_ = std::min<std::uint32_t>(write_remaining_, std::max<std::uint32_t>(config_.info.EraseBlockSize, 1));

  if (FaultAt(FaultKind::Unplug)) {
    present_ = false;
    write_remaining_ = 0;
    out.push_back(Output{Output::Kind::Unplug, arrival, {}});
    return;
  }
  if (FaultAt(FaultKind::Silent) || FaultAt(FaultKind::NoAnswer)) return;

  Micros work = 0;
  if (!write_refused_) {
    const auto first = erased_.begin() + address;
    if (!std::all_of(first, first + done_size, [](bool erased) { return erased; })) {
      CommandRecord rec;
      rec.step = step_;
      rec.at = arrival;
      rec.code = CMD_WRITE;
      rec.address = address;
      rec.count = static_cast<std::uint16_t>(done_size);
      rec.unerased = true;
      refused_.push_back(rec);
    }
    // Flash can only clear bits: programming ANDs into what is there.
    for (std::uint32_t i = 0; i < done_size; ++i) flash_[address + i] &= block[i] & Mask(address + i);
    const std::uint32_t wb = std::max<std::uint32_t>(config_.info.WriteBlockSize, 1);
    work = config_.timing.write_per_block * ((done_size + wb - 1) / wb);
  }
  busy_until_ = arrival + work;
  device_time_ += work;
  Ack(out, busy_until_, CMD_WRITE);
}

// ---- On an event loop ------------------------------------------------------

SimDevice::SimDevice(EventLoop& loop, Config config) : driver_(std::make_unique<ModelDriver>(loop, std::move(config))) {
  driver_->on_input = [this](std::span<const std::uint8_t> data) {
    if (on_input) on_input(data);
  };
  driver_->on_unplug = [this] {
    if (on_unplug) on_unplug();
  };
}

SimDevice::~SimDevice() = default;

bool SimDevice::SendReport(std::span<const std::uint8_t> report) { return driver_->Receive(report); }

bool SimDevice::present() const { return driver_->present(); }
SimulatedBootloader& SimDevice::model() { return driver_->model(); }
const SimulatedBootloader& SimDevice::model() const { return driver_->model(); }

void SimDevice::AttachTo(Exchange& exchange) {
  on_input = [&exchange](std::span<const std::uint8_t> data) { exchange.ShowRead(data); };
  on_unplug = [this, &exchange] {
    if (exchange.CurrentDevice == this) exchange.SetCurrentDevice(nullptr);
  };
  exchange.CurrentDevice = this;
}

}  // namespace ql::sim
