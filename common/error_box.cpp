#include "common/error_box.h"

#include <cstdarg>
#include <vector>

#include "fw/handles.h"
#include "fw/wnd.h"

namespace vnk {

namespace {

// 131,072 bytes: room for 65,535 UTF-16 units and the terminator.
constexpr int kBufferUnits = 65536;

std::vector<wchar_t> LoadInto(UINT id) {
    std::vector<wchar_t> buffer(kBufferUnits, L'\0');
    ::LoadStringW(vnk::fw::ResourceInstance(), id, buffer.data(), kBufferUnits - 1);
    return buffer;
}

}  // namespace

int ErrorBox(HWND owner, UINT textId, UINT captionId, UINT flags, ...) {
    const std::vector<wchar_t> pattern = LoadInto(textId);
    const std::vector<wchar_t> caption = LoadInto(captionId);

    va_list args;
    va_start(args, flags);
    wchar_t* text = nullptr;
    ::FormatMessageW(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ALLOCATE_BUFFER, pattern.data(), 0, 0,
                     reinterpret_cast<wchar_t*>(&text), 0, &args);
    va_end(args);
    vnk::fw::UniqueLocalText owned(text);

    return ::MessageBoxW(owner, text != nullptr ? text : pattern.data(), caption.data(), flags);
}

}  // namespace vnk
