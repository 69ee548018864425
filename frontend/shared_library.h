// A shared library opened when the program first needs it rather than when it starts: the
// format and rate-conversion libraries (and the codec libraries they pull in) cost resident
// memory that a WAV encode at an AAC rate never needs, and a machine without them can still
// encode WAV. Each function is resolved by its header's name and type.
#pragma once

#include <dlfcn.h>
#include <string>

namespace varnel {

class SharedLibrary {
public:
    // Opens `soname` (once per process; the library stays loaded). Null with the reason when it
    // cannot be loaded.
    static void* open(const char* soname, std::string* error) {
        void* handle = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            const char* why = dlerror();
            *error = std::string(soname) + " cannot be loaded" + (why ? std::string(": ") + why : "");
        }
        return handle;
    }

    // Resolves `name` into `*function`; false with the reason when the library lacks it.
    template <typename Function>
    static bool resolve(void* handle, const char* name, Function** function, std::string* error) {
        *function = reinterpret_cast<Function*>(dlsym(handle, name));
        if (!*function) *error = std::string("the library lacks ") + name;
        return *function != nullptr;
    }
};

}  // namespace varnel
