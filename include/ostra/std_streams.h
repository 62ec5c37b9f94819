// std_streams.h - standard input, output and error open before anything else is.
#ifndef OSTRA_STD_STREAMS_H
#define OSTRA_STD_STREAMS_H

// std_streams_open - open /dev/null in place of each of descriptors 0, 1 and
// 2 that the caller left closed. Otherwise the first files the program opens
// (a lock file, a table source) would take their numbers, and diagnostics
// written to the error stream would land in them. 0, or -1 when one cannot
// be opened.
int std_streams_open(void);

#endif
