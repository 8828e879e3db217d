#include "sim/model_driver.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>

namespace ql::sim {

namespace {

const char* CommandName(std::uint8_t code) {
  switch (code) {
    case CMD_HANDSHAKE_1: return "CMD_HANDSHAKE_1";
    case CMD_HANDSHAKE_2: return "CMD_HANDSHAKE_2";
    case CMD_BOOT_INFO: return "CMD_BOOT_INFO";
    case CMD_RESET: return "CMD_RESET";
    case CMD_WRITE: return "CMD_WRITE";
    case CMD_ERASE: return "CMD_ERASE";
    default: return "command";
  }
}

}  // namespace

ModelDriver::ModelDriver(EventLoop& loop, Config config) : loop_(loop), model_(std::move(config)) {}

ModelDriver::~ModelDriver() { CancelPending(); }

void ModelDriver::CancelPending() {
  for (TimerId id : pending_) loop_.cancel(id);
  pending_.clear();
}

bool ModelDriver::Receive(std::span<const std::uint8_t> report) {
  if (!present_) return false;
  if (keep_received_) received_.emplace_back(report.begin(), report.end());
  std::vector<Output> outputs = model_.ReceiveReport(report, loop_.now());
  LogNewRecords();
  for (Output& o : outputs) {
    // The id is known only once scheduled; the handler looks it up.
    auto id = std::make_shared<TimerId>(0);
    *id = loop_.schedule_at(o.at, [this, id, o = std::move(o)] { Deliver(*id, o); });
    pending_.push_back(*id);
  }
  return true;
}

void ModelDriver::Unplug() {
  present_ = false;
  CancelPending();
}

void ModelDriver::Deliver(TimerId id, const Output& output) {
  std::erase(pending_, id);
  if (!present_) return;
  if (output.kind == Output::Kind::Unplug) {
    Unplug();
    if (log) log("leaving the bus");
    // Last: the owner may let go of the driver here.
    if (on_unplug) on_unplug();
    return;
  }
  if (on_input) on_input(output.data);
}

void ModelDriver::LogNewRecords() {
  const auto& commands = model_.commands();
  for (; commands_logged_ < commands.size(); ++commands_logged_) {
    if (!log) continue;
    const CommandRecord& c = commands[commands_logged_];
    char line[160];
    if (c.code == CMD_WRITE || c.code == CMD_ERASE) {
      std::snprintf(line, sizeof line, "%s address 0x%X count %u%s", CommandName(c.code),
                    static_cast<unsigned>(c.address), static_cast<unsigned>(c.count),
                    c.refused ? " (refused: bootloader area)" : "");
    } else {
      std::snprintf(line, sizeof line, "%s", CommandName(c.code));
    }
    log(line);
  }
  const auto& refused = model_.refused();
  for (; refused_logged_ < refused.size(); ++refused_logged_) {
    const CommandRecord& c = refused[refused_logged_];
    if (!log || !c.unerased) continue;
    char line[160];
    std::snprintf(line, sizeof line, "data block at 0x%X (%u bytes) written over flash not erased since start",
                  static_cast<unsigned>(c.address), static_cast<unsigned>(c.count));
    log(line);
  }
}

}  // namespace ql::sim
