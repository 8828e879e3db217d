#pragma once
// The names of the simulated bootloader's faults on a command line
// ("--fault unplug@40"), shared by quelloader-sim and quelloader-cli.

#include <optional>
#include <string_view>

#include "sim/simulated_bootloader.h"

namespace ql::sim {

inline std::optional<FaultKind> FaultFromName(std::string_view name) {
  if (name == "no-answer") return FaultKind::NoAnswer;
  if (name == "wrong-answer") return FaultKind::WrongAnswer;
  if (name == "garbage-boot-info") return FaultKind::GarbageBootInfo;
  if (name == "short-boot-info") return FaultKind::ShortBootInfo;
  if (name == "silent") return FaultKind::Silent;
  if (name == "unplug") return FaultKind::Unplug;
  if (name == "deaf") return FaultKind::Deaf;
  return std::nullopt;
}

inline constexpr std::string_view kFaultNames =
    "no-answer, wrong-answer, garbage-boot-info, short-boot-info, silent, unplug, deaf";

}  // namespace ql::sim
