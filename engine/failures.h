#pragma once

#include <exception>
#include <string>
#include <utility>

// The failure kinds of the system. Each carries its message; the error box shows it after
// the period rule.
namespace lmk {

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : m_message(std::move(message)) {}
    // The whole message, NUL bytes of a quoted text included.
    const std::string& Message() const { return m_message; }
    const char* what() const noexcept override { return m_message.c_str(); }

private:
    std::string m_message;
};

class EConvertError : public Exception {
public:
    using Exception::Exception;
};

class EOSError : public Exception {
public:
    EOSError(const std::string& message, int code) : Exception(message), m_code(code) {}
    int Code() const { return m_code; }

private:
    int m_code;
};

class EStreamError : public Exception {
public:
    using Exception::Exception;
};

class EFileStreamError : public EStreamError {
public:
    using EStreamError::EStreamError;
};

class EFCreateError : public EFileStreamError {
public:
    using EFileStreamError::EFileStreamError;
};

class EFOpenError : public EFileStreamError {
public:
    using EFileStreamError::EFileStreamError;
};

class EFilerError : public EStreamError {
public:
    using EStreamError::EStreamError;
};

class EWriteError : public EFilerError {
public:
    using EFilerError::EFilerError;
};

class EHeapException : public Exception {
public:
    using Exception::Exception;
};

class EOutOfMemory : public EHeapException {
public:
    EOutOfMemory() : EHeapException("Out of memory") {}
};

// Removes every trailing character of code 0x20 or below and every trailing full stop, so
// that the period rule can put exactly one full stop back.
std::string TrimSystemErrorText(std::string text);

// "System Error.  Code: %d." CR LF "%s", or "A call to an OS function failed" for code 0.
EOSError OSErrorFromCode(int code, const std::string& systemErrorText);

// "Cannot create file "%s". %s"
EFCreateError CannotCreateFile(const std::string& path, const std::string& systemErrorText);

// "Cannot open file "%s". %s"
EFOpenError CannotOpenFile(const std::string& path, const std::string& systemErrorText);

// "'%s' is not a valid integer value"
EConvertError NotAValidInteger(const std::string& text);

// The error box's text: a full stop is appended when the last character's code is above
// that of the full stop.
std::string PeriodRule(const std::string& message);

}  // namespace lmk
