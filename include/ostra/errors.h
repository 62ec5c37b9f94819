// errors.h - the support library's exception types and reporters.
#ifndef OSTRA_ERRORS_H
#define OSTRA_ERRORS_H

#include <exception>
#include <iosfwd>
#include <stdexcept>
#include <string>

namespace ostra {

// SystemError - a failed system call: message, ": " and the strerror text.
class SystemError : public std::runtime_error {
public:
    // An error number of 0 takes the current errno.
    SystemError(const std::string& message, int errorNumber);
    const char* what() const noexcept override;
    int errorNumber() const noexcept { return error_; }

private:
    int error_;
    mutable std::string text_;
};

// ExSystemError - a SystemError whose type names its error number.
template <int N>
class ExSystemError : public SystemError {
public:
    explicit ExSystemError(const std::string& message) : SystemError(message, N) {}
};

// NotSupportedError - a request for something this system does not do.
class NotSupportedError : public std::runtime_error {
public:
    explicit NotSupportedError(const std::string& what)
        : std::runtime_error(what + " isn't supported")
    {
    }
};

// throwSystemError - throw the SystemError type that matches errorNumber.
[[noreturn]] void throwSystemError(const std::string& message, int errorNumber);

// Traceback - optional base of exceptions that carry their call stack.
class Traceback {
public:
    explicit Traceback(int skip = 0);
    virtual ~Traceback();
    Traceback(const Traceback& other);
    Traceback& operator=(const Traceback&) = delete;

    friend std::ostream& operator<<(std::ostream& out, const Traceback& tb);

private:
    enum { MaxFrames = 11 };
    void* frames_[MaxFrames];
    int count_;
    int skip_;
    mutable char** symbols_;
};

std::ostream& operator<<(std::ostream& out, const Traceback& tb);

// reportException - write the "Fatal error: " line for e to uerr.
template <class E>
void reportException(const E& e);

// reportUntypedException - report an exception of unknown type on uerr.
void reportUntypedException();

// demangledTypeName - the readable name of the dynamic type of e.
std::string demangledTypeName(const std::exception& e);

} // namespace ostra

#endif
