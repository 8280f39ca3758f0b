#pragma once

#include <string>

namespace lmk {

// The message of the failure being handled, whatever was raised: an lmk::Exception's whole
// message (NUL bytes included), "Out of memory" for std::bad_alloc, what() of any other
// std::exception, "Unknown failure" for anything else. Call it only inside a catch block.
std::string CurrentFailureMessage() noexcept;

}  // namespace lmk
