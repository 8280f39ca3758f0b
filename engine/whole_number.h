#pragma once

#include <cstdint>
#include <string_view>

namespace lmk {

// Leading spaces, one sign, then decimal or hexadecimal ("$", "x", "X", "0x", "0X"), nothing
// after. Raises EConvertError "'%s' is not a valid integer value".
std::int32_t ParseWholeNumber(std::string_view text);

}  // namespace lmk
