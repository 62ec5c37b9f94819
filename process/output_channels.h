// output_channels.h - select() descriptor sets and the pipeline's output readers (internal).
#ifndef OSTRA_PROCESS_OUTPUT_CHANNELS_H
#define OSTRA_PROCESS_OUTPUT_CHANNELS_H

#include <sys/select.h>

#include <vector>

#include "process/fd_owner.h"
#include "process/pipe.h"

namespace ostra {
namespace process {

// SelectSet - a descriptor set for select() with room for descriptors up to 16383.
class SelectSet {
public:
    enum { Size = 16384 };

    SelectSet();
    // add - watch fd; descriptors beyond the set's room are refused.
    void add(int fd);
    void remove(int fd);
    bool has(int fd) const;
    fd_set* get() { return reinterpret_cast<fd_set*>(bits_); }

private:
    enum { BitsPerWord = 8 * sizeof(unsigned long) };
    unsigned long bits_[Size / BitsPerWord];
};

// OutputChannelsHandler - reads the pipeline's output descriptors in chunks.
class OutputChannelsHandler {
public:
    explicit OutputChannelsHandler(SelectSet& readSet) : readSet_(readSet) {}

    // registerChannel - make fd non-blocking, watch it, and pass its chunks to callback.
    void registerChannel(FdOwner& fd, const OutputCallback& callback);
    // handleReady - one chunk from each open channel that ready reports readable.
    void handleReady(const SelectSet& ready);
    // drain - read every open channel until it has no data, then close it.
    void drain();

private:
    struct Entry {
        FdOwner* fd;
        OutputCallback callback;
    };

    // handleSingleOutput - read one chunk; whether there was data.
    bool handleSingleOutput(Entry& entry);

    SelectSet& readSet_;
    std::vector<Entry> channels_;
};

// setNonblocking - add O_NONBLOCK to fd's status flags; SystemError named
// what ("fcntl" by default) on failure.
void setNonblocking(int fd, const char* what = "fcntl");

} // namespace process
} // namespace ostra

#endif
