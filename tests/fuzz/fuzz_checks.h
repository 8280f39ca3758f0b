#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Checks shared by the libFuzzer entry points and the corpus replay test. Each returns an
// empty text when everything agrees, otherwise a description of the first disagreement.
namespace lmk::fuzz {

// Reports up to this size are also searched with std::regex; larger ones get the invariants
// only, since the regex search slows down and recurses deeply on long texts.
inline constexpr std::size_t kRegexReportLimit = 2048;

// ParseWholeNumber against a separate reading of its rules: accepted or refused, the value,
// and the refusal message quoting the text unchanged.
std::string CheckWholeNumber(std::string_view text);

// Report bytes to lines to comma text to source frame: the invariants of each step, the search
// against std::regex on small reports, and ProbeFactsFromReport against the groups found.
std::string CheckProbeReport(std::string_view report);

// The bytes with everything outside printable ASCII written as \xNN, for messages.
std::string Printable(std::string_view bytes);

}  // namespace lmk::fuzz
