// postmap_run.cc - one run of the table compiler through the pipeline.
#include "mail/postfix/postmap_run.h"

#include <sys/wait.h>

#include <stdexcept>

#include "process/pipe.h"

namespace ostra {
namespace mail {
namespace postfix {

namespace {
const char POSTMAP[] = "/usr/sbin/postmap";
} // namespace

// PostmapRun - remember the arguments; nothing runs yet.
PostmapRun::PostmapRun(const std::vector<std::string>& arguments)
    : arguments_(arguments), status_(-1)
{
    for (const std::string& a : arguments_) {
        if (a.empty())
            throw std::invalid_argument("empty argument for postmap");
    }
}

// input - feed standard input from producer.
PostmapRun& PostmapRun::input(const Producer& producer)
{
    producer_ = producer;
    return *this;
}

// output - hand standard output to receiver.
PostmapRun& PostmapRun::output(const Receiver& receiver)
{
    receiver_ = receiver;
    return *this;
}

// run - run postmap once and judge its wait status.
bool PostmapRun::run()
{
    process::Parameters<process::PipeProcessFlags> params(POSTMAP);
    params.arguments.insert(params.arguments.end(), arguments_.begin(), arguments_.end());

    process::Pipe pipe(params);
    errors_.clear();
    pipe.stderrChannel.set(process::StreamPipe, process::makeStringReceiver(errors_));
    if (producer_)
        pipe.stdinChannel.set(process::StreamPipe, producer_);
    else
        pipe.stdinChannel.set(process::StreamNull);
    if (receiver_)
        pipe.stdoutChannel.set(process::StreamPipe, receiver_);
    status_ = pipe.run();
    return WIFEXITED(status_) && WEXITSTATUS(status_) == 0;
}

// failureText - the collected error text, or "unknown error".
std::string PostmapRun::failureText() const
{
    return errors_.empty() ? std::string("unknown error") : errors_;
}

} // namespace postfix
} // namespace mail
} // namespace ostra
