#include "cli/interrupt.h"

namespace ql::cli {

ExitCode StopSignalWatch::StopSignalExitCode(int signal) {
  switch (signal) {
    case kTerminateSignal:
      return ExitCode::Terminated;
    case kHangupSignal:
      return ExitCode::Hangup;
    default:
      return ExitCode::Interrupted;
  }
}

}  // namespace ql::cli
