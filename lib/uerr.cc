// uerr.cc - the process-wide error stream.
#include "ostra/uerr.h"

#include <iostream>

namespace ostra {

// overflow - echo one character to stderr now and keep it for stdout.
UtilityErrorStreamBuf::int_type UtilityErrorStreamBuf::overflow(int_type c)
{
    if (traits_type::eq_int_type(c, traits_type::eof()))
        return c;
    char ch = traits_type::to_char_type(c);
    std::cerr.put(ch);
    pending_ += ch;
    return c;
}

// sync - hand the collected text to stdout in one piece.
int UtilityErrorStreamBuf::sync()
{
    std::cerr.flush();
    std::cout << pending_;
    std::cout.flush();
    pending_.clear();
    return 0;
}

// ~UtilityErrorStreamBuf - text still pending at exit reaches stdout too.
UtilityErrorStreamBuf::~UtilityErrorStreamBuf()
{
    sync();
}

// UtilityErrorStream - bind the stream to its own buffer.
UtilityErrorStream::UtilityErrorStream() : std::ostream(nullptr)
{
    rdbuf(&buf_);
}

UtilityErrorStream uerr;

} // namespace ostra
