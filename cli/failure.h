#pragma once
// The one way a command of quelloader-cli ends in error: it throws a Failure
// carrying the exit code and the message, and main() prints the message once
// ("quelloader-cli: MESSAGE" on stderr) and exits with the code. Commands
// never print their own error line and never call exit().

#include <stdexcept>
#include <string>

#include "cli/exit_codes.h"

namespace ql::cli {

class Failure : public std::runtime_error {
 public:
  Failure(ExitCode code, const std::string& message) : std::runtime_error(message), code_(code) {}
  ExitCode code() const { return code_; }

 private:
  ExitCode code_;
};

// An error whose lines are already on stderr (the HEX loader's, the upload's
// history): main() adds nothing but the exit code.
class QuietFailure : public Failure {
 public:
  explicit QuietFailure(ExitCode code) : Failure(code, std::string()) {}
};

}  // namespace ql::cli
