// errors.cc - system errors, their type selection and the fatal-error reporters.
#include "ostra/errors.h"

#include <cxxabi.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <typeinfo>

#include "ostra/uerr.h"

namespace ostra {

// SystemError::SystemError - keep the message and the error number (0: errno).
SystemError::SystemError(const std::string& message, int errorNumber)
    : std::runtime_error(message), error_(errorNumber != 0 ? errorNumber : errno)
{
}

// SystemError::what - "message: strerror", built once; the bare message if that fails.
const char* SystemError::what() const noexcept
{
    try {
        if (text_.empty()) {
            std::string message = std::runtime_error::what();
            std::string reason = strerror(error_);
            text_ = message.empty() ? reason : message + ": " + reason;
        }
        return text_.c_str();
    } catch (...) {
        return std::runtime_error::what();
    }
}

// throwSystemError - the subtype for the well-known numbers, else a plain SystemError.
void throwSystemError(const std::string& message, int errorNumber)
{
    switch (errorNumber) {
    case EPERM:
        throw ExSystemError<EPERM>(message);
    case ENOENT:
        throw ExSystemError<ENOENT>(message);
    case EINTR:
        throw ExSystemError<EINTR>(message);
    case ECHILD:
        throw ExSystemError<ECHILD>(message);
    case EAGAIN:
        throw ExSystemError<EAGAIN>(message);
    default:
        throw SystemError(message, errorNumber);
    }
}

// demangledTypeName - demangle the dynamic type name; the raw name if that fails.
std::string demangledTypeName(const std::exception& e)
{
    const char* raw = typeid(e).name();
    int status = 0;
    char* name = abi::__cxa_demangle(raw, nullptr, nullptr, &status);
    if (status != 0 || name == nullptr)
        return raw;
    std::string result(name);
    free(name);
    return result;
}

// reportException - "Fatal error: type(what)" and a traceback when carried.
template <class E>
void reportException(const E& e)
{
    try {
        const char* text = e.what();
        uerr << "Fatal error: " << demangledTypeName(e) << "(" << (text ? text : "") << ")"
             << std::endl;
        if (const Traceback* tb = dynamic_cast<const Traceback*>(&e))
            uerr << *tb;
        uerr.flush();
    } catch (...) {
        // Reporting must never turn one failure into another.
    }
}

template void reportException<std::exception>(const std::exception& e);

// reportUntypedException - the line for an exception of no known type.
void reportUntypedException()
{
    uerr << "UNSPECIFIED ERROR OCCURED" << std::endl;
}

} // namespace ostra
