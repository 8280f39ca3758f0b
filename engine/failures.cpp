#include "failures.h"

namespace lmk {

std::string TrimSystemErrorText(std::string text) {
    while (!text.empty()) {
        const auto last = static_cast<unsigned char>(text.back());
        if (last > 0x20 && last != '.') break;
        text.pop_back();
    }
    return text;
}

EOSError OSErrorFromCode(int code, const std::string& systemErrorText) {
    if (code == 0) return EOSError("A call to an OS function failed", 0);
    return EOSError("System Error.  Code: " + std::to_string(code) + ".\r\n" + systemErrorText,
                    code);
}

EFCreateError CannotCreateFile(const std::string& path, const std::string& systemErrorText) {
    return EFCreateError("Cannot create file \"" + path + "\". " + systemErrorText);
}

EFOpenError CannotOpenFile(const std::string& path, const std::string& systemErrorText) {
    return EFOpenError("Cannot open file \"" + path + "\". " + systemErrorText);
}

EConvertError NotAValidInteger(const std::string& text) {
    return EConvertError("'" + text + "' is not a valid integer value");
}

std::string PeriodRule(const std::string& message) {
    if (!message.empty() && static_cast<unsigned char>(message.back()) > '.') return message + '.';
    return message;
}

}  // namespace lmk
