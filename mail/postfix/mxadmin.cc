// mxadmin.cc - entry point: run the dispatcher inside the outermost handler.
#include <sys/stat.h>

#include <exception>

#include "mail/postfix/dispatch.h"
#include "ostra/env.h"
#include "ostra/errors.h"
#include "ostra/std_streams.h"

// main - exit 1 for a standard exception, 2 for anything else.
int main(int argc, char** argv)
{
    // No file written may depend on the caller's umask, no file opened may
    // stand in for a closed standard stream, and no child may inherit a password.
    if (std_streams_open() != 0)
        return 1;
    umask(022);
    env_password_take();
    try {
        return do_main(argc, argv);
    } catch (const std::exception& e) {
        ostra::reportException<std::exception>(e);
        return 1;
    } catch (...) {
        ostra::reportUntypedException();
        return 2;
    }
}
