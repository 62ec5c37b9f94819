// fork_exec.h - run an auxiliary program, collect its output and exit code.
#ifndef OSTRA_FORK_EXEC_H
#define OSTRA_FORK_EXEC_H

#include <sys/types.h>

// fork_execv_log - run path; on failure log its output. Exit code, or -1
// when it was killed by a signal or its status could not be had.
int fork_execv_log(const char* path, char* const args[], int ignore_exit_status);

// fork_execv_getouterr - run path and capture stdout and stderr into
// NUL-terminated heap buffers (null when nothing was read; free() them).
// Returns the exit code, or -1.
int fork_execv_getouterr(char** out, char** err, const char* path, char* const args[]);

// fork_execv_pipes - start path with the given descriptors as its standard
// input, output and error (0/1/2 inherit, -1 /dev/null). The child's pid.
pid_t fork_execv_pipes(int in, int out, int err, const char* path, char* const args[]);

// read_to_buf - one non-blocking read from *fd into a growing buffer.
// Closes *fd and sets it to -1 at end of file or on a read error.
// Returns the bytes read, 0 at end of file or when nothing was ready, -1 on error.
int read_to_buf(int* fd, char** buffer, int* capacity, int* length);

#endif
