#pragma once

#include <string_view>

// All console output of the program goes through here, so that a failed write
// to standard output (a closed pipe, a full device) is noticed and reported
// instead of being passed off as success.
namespace Kestrune::Console {

// False when standard output did not take all of `text`.
bool Out(std::string_view text);
void Err(std::string_view text);

// Flushes standard output. False, after saying why on standard error, when
// anything written to it was lost.
bool FinishOutput();

} // namespace Kestrune::Console
