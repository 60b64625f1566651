// A static label whose text and background colours can change while its
// dialog is shown. It answers its parent's colour query itself (reflected
// to it by the framework) with its colours and its one background brush.
#pragma once

#include <windows.h>

#include "fw/controls.h"
#include "fw/handles.h"

namespace vnk {

class CColorStatic : public vnk::fw::Static {
public:
    CColorStatic();
    ~CColorStatic() override = default;

    void SetForeColor(COLORREF color);
    void SetBackColor(COLORREF color);
    COLORREF GetForeColor() const { return m_textColor; }
    COLORREF GetBackColor() const { return m_backColor; }
    HBRUSH GetBrush() const { return m_brush.get(); }

    HBRUSH OnReflectedCtlColor(HDC dc, UINT ctlType);

    FW_DECLARE_MESSAGE_MAP()

private:
    COLORREF m_textColor = RGB(0, 0, 0);
    COLORREF m_backColor;
    vnk::fw::UniqueBrush m_brush;  // always of m_backColor; the only brush of the label
};

}  // namespace vnk
