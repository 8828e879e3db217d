#pragma once
// The two MCU families the bootloader serves, as the boot info's McuType
// numbers them (1 PIC16, 2 PIC18), and their names as the programs show them.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ql {

// `None` loads a HEX file under no family's rules (every record, gaps 0xFF).
enum class McuFamily { Pic16, Pic18, None };

inline constexpr std::uint8_t kMcuTypePic16 = 1;
inline constexpr std::uint8_t kMcuTypePic18 = 2;

// The family a boot-info McuType stands for (1 PIC16, 2 PIC18, else None).
McuFamily FamilyFromMcuType(std::uint8_t mcu_type);
// The McuType a family is announced with; 0 (no family) for None.
std::uint8_t McuTypeFromFamily(McuFamily family);

// "PIC16" or "PIC18"; "" for None.
std::string_view FamilyText(McuFamily family);
// The name a boot info's McuType stands for: "PIC16", "PIC18", or
// "unknown (N)" for a type no family has.
std::string FamilyName(std::uint8_t mcu_type);

// The command line's spelling of a family ("pic16", "pic18", "none") and
// its reading; std::nullopt for any other word.
std::string_view FamilyOption(McuFamily family);
std::optional<McuFamily> FamilyFromOption(std::string_view word);

}  // namespace ql
