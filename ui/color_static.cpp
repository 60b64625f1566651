#include "ui/color_static.h"

#include "ui/accessibility.h"

namespace vnk {

namespace {

COLORREF Blend(COLORREF from, COLORREF to, int step, int steps) {
    const auto mix = [&](BYTE a, BYTE b) { return static_cast<BYTE>(a + (b - a) * step / steps); };
    return RGB(mix(GetRValue(from), GetRValue(to)), mix(GetGValue(from), GetGValue(to)),
               mix(GetBValue(from), GetBValue(to)));
}

}  // namespace

FW_BEGIN_MESSAGE_MAP(CColorStatic, vnk::fw::Static)
FW_ON_WM_CTLCOLOR_REFLECT(OnReflectedCtlColor)
FW_END_MESSAGE_MAP()

CColorStatic::CColorStatic()
    : m_backColor(::GetSysColor(COLOR_BTNFACE)), m_brushColor(m_backColor), m_brush(::CreateSolidBrush(m_backColor)) {}

void CColorStatic::SetForeColor(COLORREF color) {
    m_textColor = color;
    m_textSet = true;
    Repaint();
}

void CColorStatic::SetBackColor(COLORREF color) {
    m_backColor = color;
    m_backSet = true;
    MatchBrush(color);
    Repaint();
}

COLORREF CColorStatic::GetForeColor() const {
    return m_textSet ? m_textColor : ::GetSysColor(COLOR_BTNTEXT);
}

COLORREF CColorStatic::GetBackColor() const {
    return m_backSet ? m_backColor : ::GetSysColor(COLOR_BTNFACE);
}

COLORREF CColorStatic::PaintedBackColor() const {
    return a11y::HighContrastOn() ? ::GetSysColor(COLOR_BTNFACE) : GetBackColor();
}

COLORREF CColorStatic::PaintedForeColor() const {
    if (a11y::HighContrastOn() || !m_textSet) return ::GetSysColor(COLOR_BTNTEXT);
    return Readable(m_textColor, PaintedBackColor());
}

COLORREF CColorStatic::Readable(COLORREF wanted, COLORREF background) {
    if (a11y::ContrastRatio(wanted, background) >= kMinimumContrast) return wanted;
    const COLORREF black = RGB(0, 0, 0);
    const COLORREF white = RGB(255, 255, 255);
    const COLORREF end =
        a11y::ContrastRatio(black, background) >= a11y::ContrastRatio(white, background) ? black : white;
    constexpr int kSteps = 32;
    for (int step = 1; step < kSteps; ++step) {
        const COLORREF candidate = Blend(wanted, end, step, kSteps);
        if (a11y::ContrastRatio(candidate, background) >= kMinimumContrast) return candidate;
    }
    return end;
}

void CColorStatic::Repaint() const {
    if (m_hWnd != nullptr) ::InvalidateRect(m_hWnd, nullptr, TRUE);
}

void CColorStatic::MatchBrush(COLORREF color) {
    if (m_brush && color == m_brushColor) return;
    m_brush.reset();  // the old brush goes before the new one is made
    m_brushColor = color;
    m_brush.reset(::CreateSolidBrush(color));
}

HBRUSH CColorStatic::OnReflectedCtlColor(HDC dc, UINT) {
    const COLORREF back = PaintedBackColor();
    MatchBrush(back);
    ::SetTextColor(dc, PaintedForeColor());
    ::SetBkColor(dc, back);
    return m_brush.get();
}

}  // namespace vnk
