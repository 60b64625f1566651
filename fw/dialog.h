// Dialogs from resource templates, modal (with the framework's own loop, so
// that PreTranslateMessage sees every message) and modeless.
#pragma once

#include <windows.h>

#include <vector>

#include "fw/handles.h"
#include "fw/wnd.h"

namespace vnk::fw {

class Dialog;

// Binds dialog controls to their objects while a dialog initialises.
class DataExchange {
public:
    explicit DataExchange(Dialog& dialog) : m_dialog(dialog) {}
    void Control(int id, Wnd& control);
    // Binds the control and routes its messages through the object first.
    // False when the control could not be subclassed.
    bool Subclass(int id, Wnd& control);

private:
    Dialog& m_dialog;
};

class Dialog : public Wnd {
public:
    explicit Dialog(UINT templateId, Wnd* parent = nullptr)
        : m_templateId(templateId), m_parent(parent) {}
    ~Dialog() override;

    // Runs the dialog until EndDialog; returns its result (-1 if it could
    // not be created).
    INT_PTR DoModal();
    // Creates the dialog modeless. With no parent, the owner is the calling
    // thread's main window. False when the window could not be created or
    // ended itself while it initialised.
    BOOL Create(Wnd* parent = nullptr);

    void EndDialog(int result);
    bool HasEnded() const { return m_ended; }

    BOOL PreTranslateMessage(MSG* msg) override;

    // The DPI the dialog is laid out for: its window's at creation, then
    // the one each WM_DPICHANGED brings.
    UINT Dpi() const { return m_dpi; }

protected:
    virtual BOOL OnInitDialog();
    virtual void OnOK();
    virtual void OnCancel();
    virtual void DoDataExchange(DataExchange&) {}
    // After WM_DPICHANGED has scaled the template's layout and font to the
    // new DPI: re-create what the dialog sized itself (its own fonts,
    // images, column widths).
    virtual void OnDpiChanged(UINT /*dpi*/) {}

    // Default() of a dialog: the dialog manager's own handling.
    LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

    FW_DECLARE_MESSAGE_MAP()

private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    HWND CreateFromTemplate(HWND owner);
    void UnbindControls();
    LRESULT OnDpiChangedMessage(WPARAM wParam, LPARAM lParam);
    void RememberLayout();
    void ApplyLayout(UINT dpi);

    UINT m_templateId;
    Wnd* m_parent;
    INT_PTR m_result = -1;
    bool m_ended = false;
    bool m_skipNextDialogProc = false;
    std::vector<Wnd*> m_boundControls;

    // The layout that DPI changes scale from: the children's rectangles and
    // the dialog font as they were at m_layoutDpi, before the first change.
    // Scaling from it, not from the last layout, keeps rounding from adding
    // up over several changes.
    struct ChildPlace {
        HWND window;
        RECT rect;
        bool dialogFont;
    };
    UINT m_dpi = 96;  // until the window exists
    UINT m_layoutDpi = 0;
    std::vector<ChildPlace> m_layout;
    LOGFONTW m_layoutFont{};
    UniqueFontHandle m_scaledFont;

    friend class DataExchange;
};

}  // namespace vnk::fw
