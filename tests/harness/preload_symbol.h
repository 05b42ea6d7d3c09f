// For the preloads (cos_fault, the benchmark's counter): the next definition
// of a symbol they wrap.
#pragma once

#include <dlfcn.h>

// sd-bus comes with the Mutter backend's module, which is loaded RTLD_LOCAL:
// RTLD_NEXT searches only the global scope and misses it, so the symbol is
// looked up in the libsystemd already loaded.
inline void* next_symbol(const char* name) {
    void* found = dlsym(RTLD_NEXT, name);
    void* lib = found ? nullptr : dlopen("libsystemd.so.0", RTLD_LAZY | RTLD_NOLOAD);
    if (lib != nullptr) {
        found = dlsym(lib, name);
        dlclose(lib);  // the module's own reference keeps it loaded
    }
    return found;
}
