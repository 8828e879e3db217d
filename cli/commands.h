#pragma once
// The subcommands of quelloader-cli. Each lives in its own file and registers
// its options on the application; main() runs the one that was given.

#include <CLI/CLI.hpp>

#include <functional>

#include "cli/exit_codes.h"

namespace ql::cli {

struct Command {
  CLI::App* app = nullptr;        // the subcommand's parser
  std::function<ExitCode()> run;  // runs it after a successful parse
};

Command AddImageCommand(CLI::App& app);  // cmd_image.cpp
Command AddFlashCommand(CLI::App& app);  // cmd_flash.cpp

// Reads a number given in decimal or with a 0x prefix in hex; throws
// CLI::ValidationError (a usage error) otherwise or above `max`.
std::uint32_t ParseNumber(const std::string& text, std::uint32_t max, const std::string& what);

}  // namespace ql::cli
