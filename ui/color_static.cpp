#include "ui/color_static.h"

namespace vnk {

FW_BEGIN_MESSAGE_MAP(CColorStatic, vnk::fw::Static)
    FW_ON_WM_CTLCOLOR_REFLECT(OnReflectedCtlColor)
FW_END_MESSAGE_MAP()

CColorStatic::CColorStatic()
    : m_backColor(::GetSysColor(COLOR_BTNFACE)), m_brush(::CreateSolidBrush(m_backColor)) {}

void CColorStatic::SetForeColor(COLORREF color) {
    m_textColor = color;
    if (m_hWnd != nullptr) ::InvalidateRect(m_hWnd, nullptr, TRUE);
}

void CColorStatic::SetBackColor(COLORREF color) {
    m_brush.reset();  // the old brush goes before the new one is made
    m_backColor = color;
    m_brush.reset(::CreateSolidBrush(m_backColor));
    if (m_hWnd != nullptr) ::InvalidateRect(m_hWnd, nullptr, TRUE);
}

HBRUSH CColorStatic::OnReflectedCtlColor(HDC dc, UINT) {
    ::SetTextColor(dc, m_textColor);
    ::SetBkColor(dc, m_backColor);
    return m_brush.get();
}

}  // namespace vnk
