// traceback.cc - call stacks carried by exceptions that want them.
#include "ostra/errors.h"

#include <cxxabi.h>
#include <execinfo.h>
#include <ostream>
#include <stdlib.h>
#include <string.h>

namespace ostra {

// Traceback::Traceback - capture up to MaxFrames return addresses.
Traceback::Traceback(int skip) : count_(backtrace(frames_, MaxFrames)), skip_(0), symbols_(nullptr)
{
    if (count_ < 0)
        count_ = 0;
    skip_ = skip < 0 ? 0 : (skip > count_ ? count_ : skip);
}

// Traceback::Traceback - copy the addresses; symbols are made again on demand.
Traceback::Traceback(const Traceback& other)
    : count_(other.count_), skip_(other.skip_), symbols_(nullptr)
{
    memcpy(frames_, other.frames_, sizeof frames_);
}

// Traceback::~Traceback - release the symbol strings.
Traceback::~Traceback()
{
    free(symbols_);
}

namespace {

// demangleFrame - replace the mangled name of "prefix(name+rest" when it demangles.
std::string demangleFrame(const char* line)
{
    const char* open = strchr(line, '(');
    const char* plus = open ? strchr(open, '+') : nullptr;
    if (open == nullptr || plus == nullptr || plus == open + 1)
        return line;
    std::string mangled(open + 1, plus);
    int status = 0;
    char* name = abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status);
    if (status != 0 || name == nullptr)
        return line;
    std::string result = std::string(line, open + 1) + name + plus;
    free(name);
    return result;
}

} // namespace

// operator<< - symbolic frames when available, else raw addresses.
std::ostream& operator<<(std::ostream& out, const Traceback& tb)
{
    if (tb.symbols_ == nullptr && tb.count_ > 0)
        tb.symbols_ = backtrace_symbols(tb.frames_, tb.count_);
    if (tb.symbols_ != nullptr && tb.skip_ < tb.count_) {
        out << "Traceback:\n";
        for (int i = tb.skip_; i < tb.count_; ++i)
            out << '\t' << demangleFrame(tb.symbols_[i]) << '\n';
    } else {
        out << "Traceback addresses:\n";
        for (int i = tb.skip_; i < tb.count_; ++i)
            out << '\t' << tb.frames_[i] << '\n';
    }
    return out;
}

} // namespace ostra
