// open_file.h - opening a file that a caller names, without trusting the name.
#ifndef OSTRA_OPEN_FILE_H
#define OSTRA_OPEN_FILE_H

// open_regular_file - open path for reading, close-on-exec, without following
// a symbolic link in its last component and without blocking on a FIFO; the
// descriptor of a regular file, to be read through and closed by the caller.
// -1 with errno ELOOP for a link, EINVAL for anything but a regular file, or
// open's own error.
int open_regular_file(const char* path);

// open_upload - open_regular_file for a file handed over to be copied where
// popuser can read the copy (a DomainKeys key, an attachment): it must have
// one link, and its permission bits must already let popuser read it, so
// that the copy discloses nothing. -1 with errno EMLINK or EACCES for those
// refusals, as for open_regular_file otherwise.
int open_upload(const char* path);

// upload_removable - whether an upload open as fd may be deleted by name once
// copied: path still names that file, and it is not root's outside a shared
// temporary directory (world-writable, sticky), so that a system file named
// as an upload is never deleted.
bool upload_removable(const char* path, int fd);

// open_regular_file_error - what a failed open_regular_file's or
// open_upload's errno means.
const char* open_regular_file_error(int error);

#endif
