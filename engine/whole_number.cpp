#include "whole_number.h"

#include <string>

#include "failures.h"

namespace lmk {
namespace {

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::int32_t ParseWholeNumber(std::string_view text) {
    const auto fail = [&] { return NotAValidInteger(std::string(text)); };
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;

    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }

    std::size_t prefix = 0;
    if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
        prefix = 1;
    } else if (i + 1 < text.size() && text[i] == '0' &&
               (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        prefix = 2;
    }

    std::uint64_t value = 0;
    const std::size_t firstDigit = i + prefix;
    i = firstDigit;
    if (prefix > 0) {
        for (; i < text.size(); ++i) {
            const int digit = HexDigitValue(text[i]);
            if (digit < 0) break;
            value = value * 16 + static_cast<unsigned>(digit);
            if (value > 0xFFFFFFFFu) throw fail();
        }
    } else {
        for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
            value = value * 10 + static_cast<unsigned>(text[i] - '0');
            if (value > 2147483648u) throw fail();
        }
        if (value == 2147483648u && !negative) throw fail();
    }
    if (i == firstDigit || i != text.size()) throw fail();

    // Hexadecimal takes the 32 bits as they stand; the sign then negates them.
    const auto bits = static_cast<std::uint32_t>(value);
    return static_cast<std::int32_t>(negative ? 0u - bits : bits);
}

}  // namespace lmk
