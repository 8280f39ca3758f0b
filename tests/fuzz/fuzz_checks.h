#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Checks shared by the libFuzzer entry points and the corpus replay test. Each returns an
// empty text when everything agrees, otherwise a description of the first disagreement.
namespace lmk::fuzz {

// ParseWholeNumber against a separate reading of its rules: accepted or refused, the value,
// and the refusal message quoting the text unchanged.
std::string CheckWholeNumber(std::string_view text);

// Report bytes to the probe's facts: a size found stands on a video stream line, only a side
// beyond 2147483647 is refused, and a name (masked) or a tag holding stream lines, an output
// heading or a duration changes nothing.
std::string CheckProbeReport(std::string_view report);

// The bytes with everything outside printable ASCII written as \xNN, for messages.
std::string Printable(std::string_view bytes);

}  // namespace lmk::fuzz
