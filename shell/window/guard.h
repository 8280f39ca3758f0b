#pragma once

#include <utility>

namespace lmk {

// Shows the failure being handled in the error box, its text as CurrentFailureMessage gives it;
// must be called from a catch block.
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
