// file_util.h - locked and atomic file copies, and line edits of list files.
#ifndef OSTRA_FILE_UTIL_H
#define OSTRA_FILE_UTIL_H

#include <sys/types.h>

// file_strings commands.
enum file_str_cmd {
    FILE_STR_ADD = 0,            // set 1: append; set 0: put the lines first
    FILE_STR_REMOVE = 1,         // remove lines equal to a string
    FILE_STR_REMOVE_MATCHING = 2 // remove lines matching a string, by set below
};

// file_strings set values for FILE_STR_ADD and FILE_STR_REMOVE_MATCHING.
enum file_str_set {
    FILE_STR_PREPEND = 0,
    FILE_STR_APPEND = 1,
    FILE_STR_MATCH_PREFIX = 0,
    FILE_STR_MATCH_SUFFIX = 1,
    FILE_STR_MATCH_SUBSTRING = 2
};

// copy_file - copy src to dst ("-" is stdout) under dst's lock; 0 or 1.
int copy_file(const char* src, const char* dst);

// copy_file_atomic - copy src over dst by rename, with owner, group and mode.
// Returns only on success; any failure ends the process.
void copy_file_atomic(const char* src, const char* dst, uid_t owner, gid_t group, mode_t mode);

// copy_fd_atomic - copy_file_atomic of the file open as in (read from its
// start, whatever its offset), which src names in messages.
void copy_fd_atomic(int in, const char* src, const char* dst, uid_t owner, gid_t group,
                    mode_t mode);

// file_str - file_strings with the single line str.
int file_str(const char* filename, const char* str, int cmd, int set);

// file_strings - add or remove lines of filename under its lock, keeping
// owner, group and mode. strs is a null-terminated list. 0 or 1.
int file_strings(const char* filename, const char* strs[], int cmd, int set);

#endif
