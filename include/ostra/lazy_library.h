// lazy_library.h - shared libraries opened at their first use.
//
// Most runs of the program never touch the panel database, the
// authentication database or a digest, yet loading and relocating those
// libraries at start-up cost more than everything else a short run does.
// Their functions are therefore defined here as forwarders that open the
// library on the first call (lib/*_lazy.cc, mail/lib/*_lazy.cc).
#ifndef OSTRA_LAZY_LIBRARY_H
#define OSTRA_LAZY_LIBRARY_H

#include <stdexcept>
#include <string>

namespace ostra {

// LibraryLoadError - a library or one of its symbols could not be loaded.
class LibraryLoadError : public std::runtime_error {
public:
    explicit LibraryLoadError(const std::string& what) : std::runtime_error(what) {}
};

// LazyLibrary - one shared library, opened by its soname when first needed.
class LazyLibrary {
public:
    // constexpr: a namespace-scope instance is initialised before any code
    // runs, so forwarders called from static initialisers find it ready.
    explicit constexpr LazyLibrary(const char* soname) : soname_(soname) {}
    LazyLibrary(const LazyLibrary&) = delete;
    LazyLibrary& operator=(const LazyLibrary&) = delete;

    // symbol - the address of name; throws LibraryLoadError when missing.
    void* symbol(const char* name);

    const char* soname() const { return soname_; }

private:
    const char* soname_;
    void* handle_ = nullptr; // never closed: its functions stay in use until exit
};

} // namespace ostra

// OSTRA_LAZY_FORWARD - the body of a forwarder: call the library's own
// function of the same name, whose type the library's header declares.
#define OSTRA_LAZY_FORWARD(library, name, ...)                                                     \
    static const auto real = reinterpret_cast<decltype(&::name)>((library).symbol(#name));         \
    return real(__VA_ARGS__)

#endif
