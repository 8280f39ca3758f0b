#include "failure_text.h"

#include <exception>
#include <new>

#include "failures.h"

namespace lmk {

std::string CurrentFailureMessage() noexcept {
    // Both fixed texts fit in a string without memory of its own: they cannot fail.
    try {
        try {
            throw;
        } catch (const Exception& failure) {
            return failure.Message();
        } catch (const std::bad_alloc&) {
            return "Out of memory";
        } catch (const std::exception& failure) {
            return failure.what();
        } catch (...) {
            return "Unknown failure";
        }
    } catch (...) {
        // No memory left to copy the message.
        return "Out of memory";
    }
}

}  // namespace lmk
