// A static label whose text and background colours can change while its
// dialog is shown. It answers its parent's colour query itself (reflected
// to it by the framework) with its colours and its one background brush.
// Colours are settled as it paints: until a colour is set it shows the
// system's button text on the button face, as they are at that moment; a
// colour that is set is shown as near as it can be while keeping 4.5:1
// against the background; in high contrast it shows the system's colours
// only, whatever was set.
#pragma once

#include <windows.h>

#include "fw/controls.h"
#include "fw/handles.h"

namespace vnk {

class CColorStatic : public vnk::fw::Static {
public:
    // WCAG AA for text of the label's size.
    static constexpr double kMinimumContrast = 4.5;

    CColorStatic();
    ~CColorStatic() override = default;

    void SetForeColor(COLORREF color);
    void SetBackColor(COLORREF color);
    // The colours asked for: the system's, until one is set.
    COLORREF GetForeColor() const;
    COLORREF GetBackColor() const;
    HBRUSH GetBrush() const { return m_brush.get(); }

    // The colours the label paints with now.
    COLORREF PaintedForeColor() const;
    COLORREF PaintedBackColor() const;

    // `wanted`, or the nearest colour of its hue towards black or white
    // that keeps kMinimumContrast against `background` (or as much as
    // either end gives).
    static COLORREF Readable(COLORREF wanted, COLORREF background);

    HBRUSH OnReflectedCtlColor(HDC dc, UINT ctlType);

    FW_DECLARE_MESSAGE_MAP()

private:
    void Repaint() const;
    // Makes the brush the colour the background is painted in now.
    void MatchBrush(COLORREF color);

    COLORREF m_textColor = RGB(0, 0, 0);
    bool m_textSet = false;  // false: the system's button text
    COLORREF m_backColor;
    bool m_backSet = false;  // false: the system's button face
    COLORREF m_brushColor;
    vnk::fw::UniqueBrush m_brush;  // always of m_brushColor; the only brush of the label
};

}  // namespace vnk
