// lazy_library.cc - shared libraries opened at their first use.
#include "ostra/lazy_library.h"

#include <dlfcn.h>

#include <mutex>

namespace ostra {

namespace {

// dlerrorText - the loader's message for the last failure.
std::string dlerrorText()
{
    const char* text = dlerror();
    return text ? text : "unknown error";
}

} // namespace

// LazyLibrary::symbol - open the library once, then look name up in it.
void* LazyLibrary::symbol(const char* name)
{
    static std::mutex guard;
    std::lock_guard<std::mutex> hold(guard);
    if (handle_ == nullptr) {
        // Immediate binding: a missing symbol shows here, not in mid-change.
        handle_ = dlopen(soname_, RTLD_NOW | RTLD_LOCAL);
        if (handle_ == nullptr)
            throw LibraryLoadError(std::string("cannot load ") + soname_ + ": " + dlerrorText());
    }
    dlerror();
    void* address = dlsym(handle_, name);
    if (address == nullptr)
        throw LibraryLoadError(std::string("cannot find ") + name + " in " + soname_ + ": " +
                               dlerrorText());
    return address;
}

} // namespace ostra
