#pragma once
// Reading an Intel HEX file into the flash image: a checksum pass over every
// line, then a loading pass that places data records at their absolute byte
// addresses under the MCU family's address limit and fill values.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/mcu_family.h"

namespace ql {

// Largest image the loader builds: 16 MiB leaves room for PIC18 EEPROM data
// at 0xF00000 while a tiny file naming a far address cannot make it allocate
// gigabytes.
inline constexpr std::int64_t kMaxImageSize = 16 * 1024 * 1024;

// Largest HEX file the loader reads: four times the largest image, room for
// a file that fills it with records of 8 bytes or more. Nothing past it is
// read, so an endless source cannot exhaust memory.
inline constexpr std::int64_t kMaxHexFileSize = 4 * kMaxImageSize;

// The image length is a signed 32-bit count: no byte may lie at or past
// 0x80000000.
inline constexpr std::int64_t kMaxImageEnd = 0x7FFFFFFF;

// The program image: byte i is the byte for program-memory address i.
struct FlashImage {
  std::vector<std::uint8_t> bytes;
  McuFamily family = McuFamily::None;  // the rules of the load that built it

  std::int64_t ImageEnd() const { return static_cast<std::int64_t>(bytes.size()); }
  bool empty() const { return bytes.empty(); }
  // Lengthens to `new_end` with the family's fill value; never shortens.
  void ExtendImage(std::int64_t new_end);
};

// Whether a data record starting at absolute address `a` is placed.
bool FamilyAccepts(McuFamily family, std::int64_t a);

struct LoadResult {
  enum class Status {
    Ok,
    NotFound,          // no file at the path: the image is left as it was
    ChecksumFailed,    // `message` is the warning box text; image empty
    ConversionError,   // "'$..' is not a valid integer value"
    OpenError,         // "Cannot open file "PATH". REASON"
    AddressTooHigh,    // an address at or past 0x80000000; image empty
    TooLarge,          // the image would pass kMaxImageSize; image empty
    OutOfMemory,       // the image could not be allocated; image empty
    NotRegularFile,    // a device, FIFO or socket (after links): not read; image empty
    FileTooLarge,      // the file is longer than kMaxHexFileSize; image empty
  };
  Status status = Status::Ok;
  // Empty when Ok. Error texts carry no closing full stop of their own: the
  // general error report adds one (see core/full_stop.h).
  std::string message;
  int line = -1;  // zero-based line of a failure tied to a line

  bool ok() const { return status == Status::Ok; }
};

// Loads `path` under `family` into `image`. Shows nothing: the result carries
// the text the front end shows. On failure the image holds what the rules
// leave (empty, or the records placed before a failing line).
LoadResult LoadHexFile(const std::string& path, McuFamily family, FlashImage& image);

// The same on text already in memory; `name` is the file name used in the
// checksum warning.
LoadResult LoadHexText(std::string_view text, const std::string& name, McuFamily family, FlashImage& image);

}  // namespace ql
