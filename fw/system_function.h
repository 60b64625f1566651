// Functions of the system that older Windows versions or Wine may lack:
// looked up at run time instead of linked, so that the program still starts
// without them.
#pragma once

#include <windows.h>

namespace vnk::fw {

// The function `name` of the loaded module `module` as type Fn, or null when
// the module or the function is not there.
template <class Fn>
Fn OptionalSystemFunction(const wchar_t* module, const char* name) {
    const HMODULE loaded = ::GetModuleHandleW(module);
    if (loaded == nullptr) return nullptr;
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(loaded, name)));
}

// The function `name` of the system module `module` as type Fn, the module
// loaded from the system directory when it is not loaded yet (it stays);
// null when the module or the function is not there. For a module only a
// rare path needs: linked, it would be loaded at every start, with what it
// loads in turn.
template <class Fn>
Fn SystemModuleFunction(const wchar_t* module, const char* name) {
    HMODULE loaded = ::GetModuleHandleW(module);
    if (loaded == nullptr) loaded = ::LoadLibraryExW(module, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (loaded == nullptr) return nullptr;
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(loaded, name)));
}

}  // namespace vnk::fw
