// postmap_run.h - one run of the table compiler with its error text collected.
#ifndef MAIL_POSTFIX_POSTMAP_RUN_H
#define MAIL_POSTFIX_POSTMAP_RUN_H

#include <string>
#include <vector>

#include <boost/function.hpp>

namespace ostra {
namespace mail {
namespace postfix {

// PostmapRun - postmap with the given arguments, standard error collected into errors.
class PostmapRun {
public:
    typedef boost::function<bool(std::vector<char>&)> Producer;
    typedef boost::function<void(const std::vector<char>&)> Receiver;

    // Arguments after the program path; none may be empty.
    explicit PostmapRun(const std::vector<std::string>& arguments);

    // input - feed standard input from producer (otherwise it is "/dev/null").
    PostmapRun& input(const Producer& producer);
    // output - hand standard output to receiver (otherwise it is inherited).
    PostmapRun& output(const Receiver& receiver);
    // run - run to completion; true when postmap exited normally with status 0.
    bool run();

    int status() const { return status_; }
    const std::string& errors() const { return errors_; }
    // failureText - the error text, or "unknown error" when there is none.
    std::string failureText() const;

private:
    std::vector<std::string> arguments_;
    Producer producer_;
    Receiver receiver_;
    int status_;
    std::string errors_;
};

} // namespace postfix
} // namespace mail
} // namespace ostra

#endif
