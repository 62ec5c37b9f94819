// fs_error.h - a failed file-system operation on one or two paths.
#ifndef MAIL_LIB_FS_ERROR_H
#define MAIL_LIB_FS_ERROR_H

#include <boost/filesystem/exception.hpp>
#include <boost/system/error_code.hpp>
#include <string>

#include "mail/lib/mail_tree.h"

namespace ostra {
namespace mail {

// TreeErrorCategory - the system category's numbers, with the mail tree's
// refusals (a link, a file that is not a regular one) in words of their own.
class TreeErrorCategory : public boost::system::error_category {
public:
    const char* name() const noexcept override { return "system"; }
    std::string message(int ev) const override { return treeStrerror(ev); }
    boost::system::error_condition default_error_condition(int ev) const noexcept override
    {
        return boost::system::system_category().default_error_condition(ev);
    }
};

// treeErrorCategory - the one category object.
inline const boost::system::error_category& treeErrorCategory()
{
    static const TreeErrorCategory category;
    return category;
}

// FSError - "message: strerror: \"path\"", as the filesystem error composes it.
class FSError : public boost::filesystem::filesystem_error {
public:
    FSError(const char* message, const std::string& path, int errorNumber)
        : boost::filesystem::filesystem_error(
              message, boost::filesystem::path(path),
              boost::system::error_code(errorNumber, treeErrorCategory()))
    {
    }
    FSError(const char* message, const std::string& path1, const std::string& path2,
            int errorNumber)
        : boost::filesystem::filesystem_error(
              message, boost::filesystem::path(path1), boost::filesystem::path(path2),
              boost::system::error_code(errorNumber, treeErrorCategory()))
    {
    }
};

// libraryError - the error the filesystem library itself reports for the
// create, rename and remove operations it used to do: the same type and text.
inline boost::filesystem::filesystem_error libraryError(const char* operation,
                                                        const std::string& path, int errorNumber)
{
    return boost::filesystem::filesystem_error(
        operation, boost::filesystem::path(path),
        boost::system::error_code(errorNumber, treeErrorCategory()));
}
inline boost::filesystem::filesystem_error libraryError(const char* operation,
                                                        const std::string& path1,
                                                        const std::string& path2, int errorNumber)
{
    return boost::filesystem::filesystem_error(
        operation, boost::filesystem::path(path1), boost::filesystem::path(path2),
        boost::system::error_code(errorNumber, treeErrorCategory()));
}

} // namespace mail
} // namespace ostra

#endif
