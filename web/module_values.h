#pragma once
// What the module's entry points share: bytes handed to JavaScript as a
// Uint8Array of its own (not a view into the module's memory, which moves
// when it grows), and the names JavaScript gets for the core's enums.

#include <emscripten/val.h>

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "image/flash_image.h"

namespace ql::web {

inline emscripten::val BytesToJs(std::span<const std::uint8_t> bytes) {
  const emscripten::val view(emscripten::typed_memory_view(bytes.size(), bytes.data()));
  return emscripten::val::global("Uint8Array").new_(view);
}

inline std::vector<std::uint8_t> BytesFromJs(const emscripten::val& array) {
  return emscripten::convertJSArrayToNumberVector<std::uint8_t>(array);
}

inline std::string_view LoadStatusName(LoadResult::Status status) {
  switch (status) {
    case LoadResult::Status::Ok: return "ok";
    case LoadResult::Status::NotFound: return "not-found";
    case LoadResult::Status::ChecksumFailed: return "checksum-failed";
    case LoadResult::Status::ConversionError: return "conversion-error";
    case LoadResult::Status::OpenError: return "open-error";
    case LoadResult::Status::AddressTooHigh: return "address-too-high";
    case LoadResult::Status::TooLarge: return "too-large";
    case LoadResult::Status::OutOfMemory: return "out-of-memory";
    case LoadResult::Status::NotRegularFile: return "not-regular-file";
    case LoadResult::Status::FileTooLarge: return "file-too-large";
  }
  return "unknown";
}

}  // namespace ql::web
