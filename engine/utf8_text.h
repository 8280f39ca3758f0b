#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace lmk {

// The code point that starts at `at` in `text`, and its length in bytes; a byte that starts no
// valid sequence stands for itself, one byte long.
std::pair<char32_t, std::size_t> DecodeUtf8(std::string_view text, std::size_t at);

// `text`, longer than `head` + `tail` bytes, with its middle given up for `mark`: at most `head`
// bytes of its start and `tail` of its end are kept, each cut between whole UTF-8 characters,
// so that a name stays valid UTF-8.
std::string ShortenedInTheMiddle(std::string_view text, std::size_t head, std::size_t tail,
                                 std::string_view mark);

}  // namespace lmk
