// open_file.h - opening a file that a caller names, without trusting the name.
#ifndef OSTRA_OPEN_FILE_H
#define OSTRA_OPEN_FILE_H

// open_regular_file - open path for reading, close-on-exec, without following
// a symbolic link in its last component and without blocking on a FIFO; the
// descriptor of a regular file, to be read through and closed by the caller.
// -1 with errno ELOOP for a link, EINVAL for anything but a regular file, or
// open's own error.
int open_regular_file(const char* path);

// open_regular_file_error - what a failed open_regular_file's errno means.
const char* open_regular_file_error(int error);

#endif
