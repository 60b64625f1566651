// Dialogs from resource templates, modal (with the framework's own loop, so
// that PreTranslateMessage sees every message) and modeless.
#pragma once

#include <windows.h>

#include <vector>

#include "fw/wnd.h"

namespace fw {

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

protected:
    virtual BOOL OnInitDialog();
    virtual void OnOK();
    virtual void OnCancel();
    virtual void DoDataExchange(DataExchange&) {}

    // Default() of a dialog: the dialog manager's own handling.
    LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

    FW_DECLARE_MESSAGE_MAP()

private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    HWND CreateFromTemplate(HWND owner);
    void UnbindControls();

    UINT m_templateId;
    Wnd* m_parent;
    INT_PTR m_result = -1;
    bool m_ended = false;
    bool m_skipNextDialogProc = false;
    std::vector<Wnd*> m_boundControls;

    friend class DataExchange;
};

}  // namespace fw
