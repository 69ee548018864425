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
    // Opens `soname`; the library stays loaded for the rest of the process.
    explicit SharedLibrary(const char* soname) : handle_(dlopen(soname, RTLD_NOW | RTLD_LOCAL)) {
        if (!handle_) {
            const char* why = dlerror();
            failure_ = std::string(soname) + " cannot be loaded" + (why ? std::string(": ") + why : "");
        }
    }

    // Resolves `name` into `*function`, typed as the header declares it; a missing function
    // makes the library unusable.
    template <typename Function>
    void resolve(const char* name, Function** function) {
        *function = handle_ ? reinterpret_cast<Function*>(dlsym(handle_, name)) : nullptr;
        if (!*function && failure_.empty()) failure_ = std::string("the library lacks ") + name;
    }

    // Why the library cannot be used; empty when every function resolved.
    const std::string& failure() const { return failure_; }

private:
    void* handle_;
    std::string failure_;
};

}  // namespace varnel
