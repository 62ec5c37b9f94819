// file_str.cc - line edits of list files under the file's hashed lock.
#include "ostra/file_util.h"

#include <errno.h>
#include <string.h>

#include "file_edit.h"
#include "ostra/lock.h"
#include "ostra/log.h"
#include "sys_util.h"

using ostra::detail::ScopedLock;

// file_strings - lock the file, edit it, release the lock.
int file_strings(const char* filename, const char* strs[], int cmd, int set)
{
    if (filename == nullptr || strs == nullptr || !ostra::detail::file_edit_valid(cmd, set)) {
        messlog2(0, 0, "file_str: invalid request (command %d, mode %d) for %s", cmd, set,
                 filename != nullptr ? filename : "(null)");
        return 1;
    }
    ScopedLock lock(mk_lock(filename, 1));
    if (!lock.held()) {
        messlog2(0, 0, "Error occurred while locking the file %s: %s\n", filename, strerror(errno));
        return 1;
    }
    if (ostra::detail::file_edit(filename, strs, cmd, set) != 0)
        return 1;
    if (lock.release() != 0)
        messlog2(0, 0, "Error occurred while unlocking the file %s: %s\n", filename,
                 strerror(errno));
    return 0;
}

// file_str - file_strings with one line.
int file_str(const char* filename, const char* str, int cmd, int set)
{
    if (str == nullptr) {
        messlog2(0, 0, "file_str: no line given for %s", filename != nullptr ? filename : "(null)");
        return 1;
    }
    const char* strs[] = {str, nullptr};
    return file_strings(filename, strs, cmd, set);
}
