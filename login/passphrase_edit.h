// The login box's passphrase field: an edit control, subclassed, that only
// ever holds placeholder characters. The units typed live in a locked
// SecretBuffer of the field's own, made when the field is bound and wiped
// when it is cleared and when its window goes. Every way text gets in
// (characters, IME results, paste, EM_REPLACESEL, WM_SETTEXT) and every
// deletion is carried out on that buffer and mirrored in the control as
// placeholders, so caret and selection stay the control's own. Copy, cut
// and undo do nothing. A paste wipes this process's copy of the clipboard's
// text at once, and once the field goes the clipboard is emptied if it still
// holds that text.
#pragma once

#include <windows.h>

#include <optional>
#include <utility>

#include "engine/driver_interface.h"
#include "fw/secret_buffer.h"
#include "fw/wnd.h"

namespace vnk {

class CPassphraseEdit : public vnk::fw::Wnd {
public:
    // The most the driver takes; a character that does not fit whole is
    // refused whole, so what is sent is always exactly what was typed.
    static constexpr size_t kMaxUnits = kMaxPassphraseUnits;
    static constexpr wchar_t kPlaceholder = L'*';

    CPassphraseEdit() = default;
    ~CPassphraseEdit() override;

    bool SubclassWindow(HWND hwnd) override;
    // False when the system gave no memory for the secret: the field then
    // takes no input.
    bool HasSecretBuffer() const { return m_secret.has_value(); }

    // The login record: the units typed and one zero unit after them, in
    // the field's own buffer. Valid until the next edit or Wipe.
    const wchar_t* Record() const;
    DWORD RecordBytes() const { return static_cast<DWORD>((m_length + 1) * sizeof(wchar_t)); }
    size_t Length() const { return m_length; }
    // Wipes the secret and empties the field.
    void Wipe();

protected:
    void PostNcDestroy() override;

    LRESULT OnChar(WPARAM wParam, LPARAM lParam);
    LRESULT OnKeyDown(WPARAM wParam, LPARAM lParam);
    LRESULT OnPaste(WPARAM wParam, LPARAM lParam);
    LRESULT OnClear(WPARAM wParam, LPARAM lParam);
    LRESULT OnReplaceSel(WPARAM wParam, LPARAM lParam);
    LRESULT OnSetText(WPARAM wParam, LPARAM lParam);
    LRESULT OnRefused(WPARAM wParam, LPARAM lParam);
    LRESULT OnImeComposition(WPARAM wParam, LPARAM lParam);

    FW_DECLARE_MESSAGE_MAP()

private:
    wchar_t* Units() const;
    // The control's selection, widened to whole characters.
    std::pair<size_t, size_t> Selection();
    // Replaces the units [first, last) with as much of `text` as fits in
    // whole characters; false when some of it was refused.
    bool Replace(size_t first, size_t last, const wchar_t* text, size_t count);
    void InsertAtSelection(const wchar_t* text, size_t count);
    void DeleteSelectionOr(int direction);
    void ReleaseSecret();
    // The edit control's own handling, bypassing ours.
    LRESULT Original(UINT message, WPARAM wParam, LPARAM lParam) { return DefWindowProc(message, wParam, lParam); }

    // What a paste leaves: the clipboard's text, not kept, but its salted
    // hash, in the secret's locked pages after the record.
    struct PasteMark {
        BYTE salt[16];
        BYTE hash[32];
        bool valid;
    };
    static constexpr size_t kRecordBytes = (kMaxUnits + 1) * sizeof(wchar_t);
    PasteMark* Mark() const;
    // The salted hash of a clipboard text; false when it could not be made.
    static bool HashText(const PasteMark& mark, const wchar_t* text, size_t units, BYTE (&hash)[32]);
    // Once the field goes: empties the clipboard if it still holds exactly
    // the text pasted last (a password manager's courtesy), then forgets it;
    // while another field of the process is open, that one's end does it.
    void ClearPastedClipboard();
    bool m_counted = false;  // counted among the process's open fields

    std::optional<vnk::fw::SecretBuffer> m_secret;
    size_t m_length = 0;
    // The first half of a surrogate pair, waiting for its second.
    wchar_t m_pendingHigh = 0;
};

}  // namespace vnk
