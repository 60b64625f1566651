#include "login/passphrase_edit.h"

#include <bcrypt.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "fw/system_function.h"

namespace vnk {

namespace {

bool IsHighSurrogate(wchar_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(wchar_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

constexpr wchar_t kCtrlA = 0x01, kCtrlC = 0x03, kCtrlV = 0x16, kCtrlX = 0x18, kBackspace = 0x08;

bool KeyHeld(int key) { return (::GetKeyState(key) & 0x8000) != 0; }

// A single-line field takes text up to the first line break.
size_t FirstLineLength(const wchar_t* text, size_t limit) {
    size_t n = 0;
    while (n < limit && text[n] != L'\0' && text[n] != L'\r' && text[n] != L'\n') ++n;
    return n;
}

constexpr int kClipboardAttempts = 10;
constexpr DWORD kClipboardRetryMs = 20;

// The clipboard's text as this process sees it, while the clipboard is
// open. The memory is the clipboard's, not ours: the system keeps it for
// every later read until the clipboard changes, and it may be neither
// written nor freed here. It is only read and let go (Release).
struct ClipboardText {
    HANDLE data = nullptr;
    const wchar_t* units = nullptr;
    size_t count = 0;  // up to the first zero unit

    bool Read() {
        data = ::GetClipboardData(CF_UNICODETEXT);
        if (data == nullptr || (units = static_cast<const wchar_t*>(::GlobalLock(data))) == nullptr) return false;
        const size_t limit = ::GlobalSize(data) / sizeof(wchar_t);
        while (count < limit && units[count] != L'\0') ++count;
        return true;
    }
    void Release() {
        if (units == nullptr) return;
        ::GlobalUnlock(data);
        units = nullptr;
        count = 0;
    }
};

// The fields of the process (one per login box shown) and the marks of the
// pastes of fields that went while another was still open: the same
// passphrase may be pasted into that one too (two drives, one disc set),
// so the clipboard is emptied only when the last field goes, if it still
// holds a text pasted into any of them. Login boxes live on threads of
// their own.
struct FieldsOfTheProcess {
    std::mutex lock;
    int open = 0;
    std::vector<std::unique_ptr<vnk::fw::SecretBuffer>> pastes;
};
FieldsOfTheProcess& Fields() {
    static FieldsOfTheProcess& fields = *new FieldsOfTheProcess;
    return fields;
}

}  // namespace

FW_BEGIN_MESSAGE_MAP(CPassphraseEdit, vnk::fw::Wnd)
    FW_ON_MESSAGE(WM_CHAR, OnChar)
    // The edit control would insert these itself, in clear.
    FW_ON_MESSAGE(WM_IME_CHAR, OnChar)
    FW_ON_MESSAGE(WM_IME_COMPOSITION, OnImeComposition)
    FW_ON_MESSAGE(WM_KEYDOWN, OnKeyDown)
    FW_ON_MESSAGE(WM_PASTE, OnPaste)
    FW_ON_MESSAGE(WM_CLEAR, OnClear)
    FW_ON_MESSAGE(EM_REPLACESEL, OnReplaceSel)
    FW_ON_MESSAGE(WM_SETTEXT, OnSetText)
    FW_ON_MESSAGE(WM_COPY, OnRefused)
    FW_ON_MESSAGE(WM_CUT, OnRefused)
    FW_ON_MESSAGE(WM_UNDO, OnRefused)
    FW_ON_MESSAGE(EM_UNDO, OnRefused)
    FW_ON_MESSAGE(EM_CANUNDO, OnRefused)
    // Its menu would run cut, copy and undo on the control directly.
    FW_ON_MESSAGE(WM_CONTEXTMENU, OnRefused)
FW_END_MESSAGE_MAP()

CPassphraseEdit::~CPassphraseEdit() {
    // A field whose window never went through its end still counts.
    if (m_counted) ClearPastedClipboard();
}

bool CPassphraseEdit::SubclassWindow(HWND hwnd) {
    ReleaseSecret();
    if (!vnk::fw::Wnd::SubclassWindow(hwnd)) return false;
    if (!m_counted) {
        std::lock_guard lock(Fields().lock);
        ++Fields().open;
        m_counted = true;
    }
    m_secret.emplace(kRecordBytes + sizeof(PasteMark));
    if (!*m_secret) m_secret.reset();
    Original(EM_LIMITTEXT, kMaxUnits, 0);
    Original(WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L""));
    return true;
}

wchar_t* CPassphraseEdit::Units() const {
    return m_secret ? static_cast<wchar_t*>(m_secret->data()) : nullptr;
}

const wchar_t* CPassphraseEdit::Record() const {
    static const wchar_t kEmpty[] = L"";
    return m_secret ? Units() : kEmpty;
}

void CPassphraseEdit::Wipe() {
    // The record only: the paste's mark stays until the field goes.
    if (m_secret) ::SecureZeroMemory(m_secret->data(), kRecordBytes);
    vnk::fw::ClearVectorRegisters();
    m_length = 0;
    m_pendingHigh = 0;
    if (m_hWnd != nullptr) Original(WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L""));
}

void CPassphraseEdit::ReleaseSecret() {
    m_secret.reset();  // wipes
    m_length = 0;
    m_pendingHigh = 0;
}

void CPassphraseEdit::PostNcDestroy() {
    ClearPastedClipboard();
    ReleaseSecret();
}

CPassphraseEdit::PasteMark* CPassphraseEdit::Mark() const {
    return m_secret ? reinterpret_cast<PasteMark*>(static_cast<BYTE*>(m_secret->data()) + kRecordBytes) : nullptr;
}

namespace {

// The system's SHA-256, loaded the first time a paste is checked: linked,
// bcrypt.dll would be loaded at every start, and under Wine it brings a
// TLS library and its configuration with it, for a check that only a paste
// needs.
struct Sha256 {
    decltype(&::BCryptOpenAlgorithmProvider) open = nullptr;
    decltype(&::BCryptCloseAlgorithmProvider) close = nullptr;
    decltype(&::BCryptCreateHash) create = nullptr;
    decltype(&::BCryptHashData) data = nullptr;
    decltype(&::BCryptFinishHash) finish = nullptr;
    decltype(&::BCryptDestroyHash) destroy = nullptr;
    decltype(&::BCryptGenRandom) random = nullptr;

    bool Loaded() const { return open && close && create && data && finish && destroy && random; }
};

const Sha256& Sha256Functions() {
    static const Sha256 functions = [] {
        using vnk::fw::SystemModuleFunction;
        constexpr const wchar_t* kModule = L"bcrypt.dll";
        Sha256 f;
        f.open = SystemModuleFunction<decltype(f.open)>(kModule, "BCryptOpenAlgorithmProvider");
        f.close = SystemModuleFunction<decltype(f.close)>(kModule, "BCryptCloseAlgorithmProvider");
        f.create = SystemModuleFunction<decltype(f.create)>(kModule, "BCryptCreateHash");
        f.data = SystemModuleFunction<decltype(f.data)>(kModule, "BCryptHashData");
        f.finish = SystemModuleFunction<decltype(f.finish)>(kModule, "BCryptFinishHash");
        f.destroy = SystemModuleFunction<decltype(f.destroy)>(kModule, "BCryptDestroyHash");
        f.random = SystemModuleFunction<decltype(f.random)>(kModule, "BCryptGenRandom");
        return f;
    }();
    return functions;
}

}  // namespace

bool CPassphraseEdit::HashText(const PasteMark& mark, const wchar_t* text, size_t units, BYTE (&hash)[32]) {
    const Sha256& sha = Sha256Functions();
    if (!sha.Loaded()) return false;
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!BCRYPT_SUCCESS(sha.open(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) return false;
    BCRYPT_HASH_HANDLE handle = nullptr;
    if (!BCRYPT_SUCCESS(sha.create(algorithm, &handle, nullptr, 0, nullptr, 0, 0))) {
        sha.close(algorithm, 0);
        return false;
    }
    const bool made =
        BCRYPT_SUCCESS(sha.data(handle, const_cast<BYTE*>(mark.salt), sizeof mark.salt, 0)) &&
        BCRYPT_SUCCESS(sha.data(handle, reinterpret_cast<BYTE*>(const_cast<wchar_t*>(text)),
                                static_cast<ULONG>(units * sizeof(wchar_t)), 0)) &&
        BCRYPT_SUCCESS(sha.finish(handle, hash, sizeof hash, 0));
    sha.destroy(handle);
    sha.close(algorithm, 0);
    return made;
}

void CPassphraseEdit::ClearPastedClipboard() {
    std::vector<std::unique_ptr<vnk::fw::SecretBuffer>> pastes;
    {
        FieldsOfTheProcess& fields = Fields();
        std::lock_guard lock(fields.lock);
        if (m_counted) --fields.open;
        m_counted = false;
        if (PasteMark* mark = Mark(); mark != nullptr && mark->valid) {
            auto kept = std::make_unique<vnk::fw::SecretBuffer>(sizeof(PasteMark));
            if (*kept) {
                std::memcpy(kept->data(), mark, sizeof(PasteMark));
                fields.pastes.push_back(std::move(kept));
            }
            mark->valid = false;
        }
        if (fields.open > 0 || fields.pastes.empty()) return;
        pastes.swap(fields.pastes);
    }
    // Another program may hold the clipboard open for a moment.
    bool open = false;
    for (int attempt = 0; attempt < kClipboardAttempts && !(open = ::OpenClipboard(nullptr)); ++attempt)
        ::Sleep(kClipboardRetryMs);
    if (!open) {
        ::OutputDebugStringW(L"CPassphraseEdit: ClearPastedClipboard: the clipboard does not open, left as it is\n");
        return;
    }
    ClipboardText text;
    if (text.Read()) {
        for (const auto& kept : pastes) {
            const auto& mark = *static_cast<const PasteMark*>(kept->data());
            BYTE hash[32] = {};
            const bool same = HashText(mark, text.units, text.count, hash) &&
                              std::memcmp(hash, mark.hash, sizeof hash) == 0;
            ::SecureZeroMemory(hash, sizeof hash);
            if (same) {
                text.Release();
                ::EmptyClipboard();
                break;
            }
        }
    }
    text.Release();
    ::CloseClipboard();
}

std::pair<size_t, size_t> CPassphraseEdit::Selection() {
    DWORD start = 0;
    DWORD end = 0;
    Original(EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
    size_t first = std::min<size_t>(std::min(start, end), m_length);
    size_t last = std::min<size_t>(std::max(start, end), m_length);
    const wchar_t* units = Units();
    if (units != nullptr) {
        if (first > 0 && first < m_length && IsLowSurrogate(units[first]) && IsHighSurrogate(units[first - 1]))
            --first;
        if (last > 0 && last < m_length && IsLowSurrogate(units[last]) && IsHighSurrogate(units[last - 1]))
            ++last;
    }
    return {first, last};
}

bool CPassphraseEdit::Replace(size_t first, size_t last, const wchar_t* text, size_t count) {
    wchar_t* units = Units();
    if (units == nullptr) return count == 0;
    const size_t kept = m_length - (last - first);
    size_t taken = std::min(count, kMaxUnits - kept);
    if (taken > 0 && taken < count && IsHighSurrogate(text[taken - 1])) --taken;

    std::wmemmove(units + first + taken, units + last, m_length - last);
    if (taken > 0) std::wmemcpy(units + first, text, taken);
    const size_t length = kept + taken;
    // The units the text moved away from, and the zero after the record.
    if (length < m_length) ::SecureZeroMemory(units + length, (m_length - length) * sizeof(wchar_t));
    units[length] = L'\0';
    m_length = length;

    const std::wstring placeholders(taken, kPlaceholder);
    Original(EM_SETSEL, first, last);
    Original(EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(placeholders.c_str()));
    Original(EM_EMPTYUNDOBUFFER, 0, 0);
    return taken == count;
}

void CPassphraseEdit::InsertAtSelection(const wchar_t* text, size_t count) {
    const auto [first, last] = Selection();
    if (!Replace(first, last, text, count)) ::MessageBeep(MB_OK);
}

void CPassphraseEdit::DeleteSelectionOr(int direction) {
    auto [first, last] = Selection();
    const wchar_t* units = Units();
    if (first == last && units != nullptr) {
        if (direction < 0 && first > 0) {
            first -= (first >= 2 && IsLowSurrogate(units[first - 1]) && IsHighSurrogate(units[first - 2])) ? 2 : 1;
        } else if (direction > 0 && last < m_length) {
            last += (last + 1 < m_length && IsHighSurrogate(units[last]) && IsLowSurrogate(units[last + 1])) ? 2 : 1;
        }
    }
    if (first != last) Replace(first, last, nullptr, 0);
}

LRESULT CPassphraseEdit::OnChar(WPARAM wParam, LPARAM) {
    const auto unit = static_cast<wchar_t>(wParam);
    if (IsHighSurrogate(unit)) {
        m_pendingHigh = unit;
        return 0;
    }
    const wchar_t high = std::exchange(m_pendingHigh, wchar_t{0});
    if (IsLowSurrogate(unit)) {
        // Half a character is refused with its other half.
        if (high != 0) {
            const wchar_t pair[2] = {high, unit};
            InsertAtSelection(pair, 2);
        }
        return 0;
    }
    switch (unit) {
        case kBackspace: DeleteSelectionOr(-1); return 0;
        case kCtrlA: Original(EM_SETSEL, 0, -1); return 0;
        case kCtrlV: OnPaste(0, 0); return 0;
        case kCtrlC:
        case kCtrlX: return 0;
        default: break;
    }
    // Other control characters (Enter, Escape, Ctrl+Backspace and the
    // like) have no place in a passphrase.
    if (unit < 0x20 || unit == 0x7F) return 0;
    InsertAtSelection(&unit, 1);
    return 0;
}

LRESULT CPassphraseEdit::OnKeyDown(WPARAM wParam, LPARAM lParam) {
    switch (wParam) {
        case VK_DELETE:
            // Shift+Delete is cut.
            if (!KeyHeld(VK_SHIFT)) DeleteSelectionOr(+1);
            return 0;
        case VK_INSERT:
            // Shift+Insert is paste, Ctrl+Insert copy.
            if (KeyHeld(VK_SHIFT) && !KeyHeld(VK_CONTROL)) OnPaste(0, 0);
            return 0;
        default:
            // Caret and selection keys work on the placeholders, which
            // stand unit for unit for the secret.
            return Original(WM_KEYDOWN, wParam, lParam);
    }
}

LRESULT CPassphraseEdit::OnPaste(WPARAM, LPARAM) {
    if (!::IsClipboardFormatAvailable(CF_UNICODETEXT) || !::OpenClipboard(m_hWnd)) return 0;
    ClipboardText text;
    if (text.Read()) {
        InsertAtSelection(text.units, FirstLineLength(text.units, text.count));
        if (PasteMark* mark = Mark()) {
            const Sha256& sha = Sha256Functions();
            mark->valid = sha.Loaded() &&
                          BCRYPT_SUCCESS(sha.random(nullptr, mark->salt, sizeof mark->salt,
                                                    BCRYPT_USE_SYSTEM_PREFERRED_RNG)) &&
                          HashText(*mark, text.units, text.count, mark->hash);
        }
    }
    text.Release();
    ::CloseClipboard();
    return 0;
}

LRESULT CPassphraseEdit::OnClear(WPARAM, LPARAM) {
    const auto [first, last] = Selection();
    if (first != last) Replace(first, last, nullptr, 0);
    return 0;
}

LRESULT CPassphraseEdit::OnReplaceSel(WPARAM, LPARAM lParam) {
    const auto* text = reinterpret_cast<const wchar_t*>(lParam);
    if (text != nullptr) InsertAtSelection(text, FirstLineLength(text, kMaxUnits + 2));
    return 0;
}

LRESULT CPassphraseEdit::OnSetText(WPARAM, LPARAM lParam) {
    const auto* text = reinterpret_cast<const wchar_t*>(lParam);
    m_pendingHigh = 0;
    const size_t count = text != nullptr ? std::wcslen(text) : 0;
    if (!Replace(0, m_length, text, count)) ::MessageBeep(MB_OK);
    return TRUE;
}

LRESULT CPassphraseEdit::OnRefused(WPARAM, LPARAM) { return 0; }

LRESULT CPassphraseEdit::OnImeComposition(WPARAM wParam, LPARAM lParam) {
    // The edit control would insert the result string itself; the system's
    // own handling hands it over as WM_IME_CHAR instead.
    return ::DefWindowProcW(m_hWnd, WM_IME_COMPOSITION, wParam, lParam);
}

}  // namespace vnk
