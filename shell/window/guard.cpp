#include "guard.h"

#include "boxes.h"
#include "failure_text.h"
#include "failures.h"

namespace lmk {

void ReportCurrentFailure() noexcept {
    try {
        ReportFailure(Exception(CurrentFailureMessage()));
    } catch (...) {
        // A failure whose box cannot be shown is not reported further.
    }
}

}  // namespace lmk
