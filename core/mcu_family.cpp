#include "core/mcu_family.h"

namespace ql {

McuFamily FamilyFromMcuType(std::uint8_t mcu_type) {
  switch (mcu_type) {
    case kMcuTypePic16:
      return McuFamily::Pic16;
    case kMcuTypePic18:
      return McuFamily::Pic18;
    default:
      return McuFamily::None;
  }
}

std::uint8_t McuTypeFromFamily(McuFamily family) {
  switch (family) {
    case McuFamily::Pic16:
      return kMcuTypePic16;
    case McuFamily::Pic18:
      return kMcuTypePic18;
    case McuFamily::None:
      break;
  }
  return 0;
}

std::string_view FamilyText(McuFamily family) {
  switch (family) {
    case McuFamily::Pic16:
      return "PIC16";
    case McuFamily::Pic18:
      return "PIC18";
    case McuFamily::None:
      break;
  }
  return {};
}

std::string FamilyName(std::uint8_t mcu_type) {
  const McuFamily family = FamilyFromMcuType(mcu_type);
  if (family != McuFamily::None) return std::string(FamilyText(family));
  return "unknown (" + std::to_string(mcu_type) + ")";
}

std::string_view FamilyOption(McuFamily family) {
  switch (family) {
    case McuFamily::Pic16:
      return "pic16";
    case McuFamily::Pic18:
      return "pic18";
    case McuFamily::None:
      break;
  }
  return "none";
}

std::optional<McuFamily> FamilyFromOption(std::string_view word) {
  for (McuFamily f : {McuFamily::Pic16, McuFamily::Pic18, McuFamily::None})
    if (word == FamilyOption(f)) return f;
  return std::nullopt;
}

}  // namespace ql
