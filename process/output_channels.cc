// output_channels.cc - chunked, non-blocking reading of a pipeline's outputs.
#include "process/output_channels.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <stdexcept>

#include "ostra/eintr.h"
#include "ostra/errors.h"

namespace ostra {
namespace process {

// SelectSet::SelectSet - an empty set.
SelectSet::SelectSet()
{
    memset(bits_, 0, sizeof bits_);
}

// SelectSet::add - watch fd.
void SelectSet::add(int fd)
{
    if (fd < 0 || fd >= Size)
        throw std::out_of_range("descriptor out of select() range");
    bits_[fd / BitsPerWord] |= 1UL << (fd % BitsPerWord);
}

// SelectSet::remove - stop watching fd.
void SelectSet::remove(int fd)
{
    if (fd >= 0 && fd < Size)
        bits_[fd / BitsPerWord] &= ~(1UL << (fd % BitsPerWord));
}

// SelectSet::has - whether fd is in the set.
bool SelectSet::has(int fd) const
{
    return fd >= 0 && fd < Size && (bits_[fd / BitsPerWord] & (1UL << (fd % BitsPerWord))) != 0;
}

// setNonblocking - add O_NONBLOCK to fd's status flags.
void setNonblocking(int fd, const char* what)
{
    int flags = retry_eintr([fd] { return fcntl(fd, F_GETFL); });
    int rc = -1;
    if (flags != -1)
        rc = retry_eintr([fd, flags] { return fcntl(fd, F_SETFL, flags | O_NONBLOCK); });
    if (rc == -1)
        throwSystemError(what, errno);
}

// OutputChannelsHandler::registerChannel - non-blocking, watched, remembered.
void OutputChannelsHandler::registerChannel(FdOwner& fd, const OutputCallback& callback)
{
    setNonblocking(fd.get());
    readSet_.add(fd.get());
    Entry entry = {&fd, callback};
    channels_.push_back(entry);
}

// OutputChannelsHandler::handleSingleOutput - one read of up to 1024 bytes.
bool OutputChannelsHandler::handleSingleOutput(Entry& entry)
{
    std::vector<char> chunk(1024);
    ssize_t n = retry_eintr([&] { return read(entry.fd->get(), chunk.data(), chunk.size()); });
    if (n == -1 && errno == EAGAIN)
        return false;
    if (n == -1)
        throwSystemError("read", errno);
    if (n == 0) {
        readSet_.remove(entry.fd->get());
        int saved = errno;
        entry.fd->close_nothrow();
        errno = saved;
        return false;
    }
    chunk.resize(static_cast<size_t>(n));
    if (entry.callback)
        entry.callback(chunk);
    return true;
}

// OutputChannelsHandler::handleReady - one chunk per readable open channel.
void OutputChannelsHandler::handleReady(const SelectSet& ready)
{
    for (Entry& entry : channels_)
        if (entry.fd->valid() && ready.has(entry.fd->get()))
            handleSingleOutput(entry);
}

// OutputChannelsHandler::drain - everything left, then close.
void OutputChannelsHandler::drain()
{
    for (Entry& entry : channels_) {
        if (!entry.fd->valid())
            continue;
        while (handleSingleOutput(entry)) {
        }
        if (entry.fd->valid()) {
            readSet_.remove(entry.fd->get());
            entry.fd->close();
        }
    }
}

} // namespace process
} // namespace ostra
