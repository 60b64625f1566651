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

}  // namespace vnk::fw
