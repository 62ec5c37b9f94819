// fs_error.h - a failed file-system operation on one path.
#ifndef MAIL_LIB_FS_ERROR_H
#define MAIL_LIB_FS_ERROR_H

#include <boost/filesystem/exception.hpp>
#include <boost/system/error_code.hpp>
#include <string>

namespace ostra {
namespace mail {

// FSError - "message: strerror: \"path\"", as the filesystem error composes it.
class FSError : public boost::filesystem::filesystem_error {
public:
    FSError(const char* message, const std::string& path, int errorNumber)
        : boost::filesystem::filesystem_error(
              message, boost::filesystem::path(path),
              boost::system::error_code(errorNumber, boost::system::system_category()))
    {
    }
};

} // namespace mail
} // namespace ostra

#endif
