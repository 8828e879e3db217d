#pragma once
// The general error report's full stop: an error text gets a closing "."
// unless its last character already sorts at or before "." (it ends in a
// full stop, a quote, a bracket, "!" ...). Characters are compared as
// unsigned bytes, so text ending in a letter outside ASCII gets one too.

#include <string>
#include <string_view>

namespace ql {

std::string WithFullStop(std::string_view text);

}  // namespace ql
