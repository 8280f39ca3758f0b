#include "guard.h"

#include <exception>
#include <new>

#include "boxes.h"
#include "failures.h"

namespace lmk {
namespace {

// Made at start: when memory has run out there may be none left to make it then.
const EOutOfMemory kOutOfMemory;

}  // namespace

void ReportCurrentFailure() noexcept {
    try {
        try {
            throw;
        } catch (const Exception& failure) {
            ReportFailure(failure);
        } catch (const std::bad_alloc&) {
            ReportFailure(kOutOfMemory);
        } catch (const std::exception& failure) {
            ReportFailure(Exception(failure.what()));
        } catch (...) {
            ReportFailure(Exception("Unknown failure"));
        }
    } catch (...) {
        // A failure whose box cannot be shown is not reported further.
    }
}

}  // namespace lmk
