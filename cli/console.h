#pragma once
// What quelloader-cli writes for the person at the terminal goes through
// BoardRows (cli/board_rows.h); this is the one text rule they share.

#include <string>
#include <string_view>

namespace ql::cli {

// Text for a terminal: CR LF pairs become LF.
std::string TerminalText(std::string_view text);

}  // namespace ql::cli
