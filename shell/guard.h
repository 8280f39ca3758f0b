#pragma once

#include <utility>

namespace lmk {

// Shows the failure being handled in the error box; must be called from a catch block.
// A failure that escapes a handler is reported here: lmk::Exception as it is, std::bad_alloc as
// "Out of memory", any other std::exception by its what().
void ReportCurrentFailure() noexcept;

// Runs a handler's body so that no failure leaves it: Qt frames must never see an exception.
template <class Body>
void Guard(Body&& body) noexcept {
    try {
        std::forward<Body>(body)();
    } catch (...) {
        ReportCurrentFailure();
    }
}

}  // namespace lmk
