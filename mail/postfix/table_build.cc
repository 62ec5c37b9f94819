// table_build.cc - build a lookup table beside the old one, then rename it over.
#include "mail/postfix/table_build.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mail/postfix/database_helper.h"
#include "mail/postfix/postfix_errors.h"
#include "mail/postfix/postmap_run.h"
#include "ostra/eintr.h"
#include "ostra/errors.h"
#include "ostra/scoped_fd.h"

namespace ostra {
namespace mail {
namespace postfix {

namespace {

const char NEW_SUFFIX[] = ".new";

// databaseSuffix - what postmap adds to a source path for the table's type.
std::string databaseSuffix(const std::string& table)
{
    const std::string::size_type colon = table.find(':');
    const std::string type = colon == std::string::npos ? "hash" : table.substr(0, colon);
    if (type == "hash" || type == "btree")
        return ".db";
    if (type == "cdb" || type == "lmdb")
        return "." + type;
    throw std::invalid_argument("lookup table " + table + " is not built from a source file");
}

// syncDirectory - make a rename in the directory of path survive a power loss.
void syncDirectory(const std::string& path)
{
    const std::string::size_type slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "."
                            : slash == 0               ? "/"
                                                       : path.substr(0, slash);
    ScopedFd fd(
        retry_eintr([&] { return ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (fd.get() < 0 || retry_eintr([&] { return ::fsync(fd.get()); }) != 0)
        throwSystemError("unable to sync directory " + dir, errno);
}

} // namespace

// tableDatabasePath - source path plus the compiler's suffix.
std::string tableDatabasePath(const std::string& table)
{
    return tableSourcePath(table) + databaseSuffix(table);
}

// TableBuild::TableBuild - open "<path>.new" over whatever a killed run left.
TableBuild::TableBuild(const std::string& table)
    : table_(table), database_(tableDatabasePath(table)), newTable_(table + NEW_SUFFIX),
      newDatabase_(tableDatabasePath(newTable_)), installed_(false)
{
    source_.reset(new AutocleanOFStream(tableSourcePath(newTable_),
                                        std::ios_base::out | std::ios_base::trunc));
    source_->exceptions(std::ios_base::badbit | std::ios_base::failbit);
}

// TableBuild::~TableBuild - nothing of a failed build stays behind.
TableBuild::~TableBuild()
{
    source_.reset();
    if (!installed_)
        ::unlink(newDatabase_.c_str());
}

// TableBuild::source - the new source file.
std::ostream& TableBuild::source()
{
    return *source_;
}

// TableBuild::install - compile, sync, take over owner and mode, rename.
void TableBuild::install(const std::vector<std::string>& options)
{
    source_->close();
    std::vector<std::string> arguments(options);
    arguments.push_back(newTable_);
    PostmapRun run(arguments);
    if (!run.run())
        throw PostfixConfigurationError(run.failureText());

    ScopedFd fd(retry_eintr(
        [&] { return ::open(newDatabase_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC); }));
    if (fd.get() < 0)
        throwSystemError("unable to open " + newDatabase_, errno);
    struct stat old;
    if (::stat(database_.c_str(), &old) == 0) {
        if (retry_eintr([&] { return ::fchown(fd.get(), old.st_uid, old.st_gid); }) != 0 ||
            retry_eintr([&] { return ::fchmod(fd.get(), old.st_mode & 07777); }) != 0)
            throwSystemError(
                "unable to give " + newDatabase_ + " the owner and mode of " + database_, errno);
    } else if (errno != ENOENT) {
        throwSystemError("unable to examine " + database_, errno);
    }
    if (retry_eintr([&] { return ::fsync(fd.get()); }) != 0)
        throwSystemError("unable to sync " + newDatabase_, errno);
    if (::rename(newDatabase_.c_str(), database_.c_str()) != 0)
        throwSystemError("unable to rename " + newDatabase_ + " to " + database_, errno);
    installed_ = true;
    syncDirectory(database_);
}

} // namespace postfix
} // namespace mail
} // namespace ostra
