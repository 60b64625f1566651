#include "fw/controls.h"

#include <vector>

namespace vnk::fw {

int ListCtrl::InsertColumn(int column, const wchar_t* heading, int format, int width,
                           int subItem) const {
    LVCOLUMNW col{};
    col.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
    col.fmt = format;
    col.cx = width;
    col.pszText = const_cast<wchar_t*>(heading);
    col.iSubItem = subItem;
    return static_cast<int>(SendMessage(LVM_INSERTCOLUMNW, column, reinterpret_cast<LPARAM>(&col)));
}

BOOL ListCtrl::SetColumnWidth(int column, int width) const {
    return static_cast<BOOL>(SendMessage(LVM_SETCOLUMNWIDTH, column, MAKELPARAM(width, 0)));
}

int ListCtrl::GetColumnWidth(int column) const {
    return static_cast<int>(SendMessage(LVM_GETCOLUMNWIDTH, column));
}

BOOL ListCtrl::DeleteAllItems() const { return static_cast<BOOL>(SendMessage(LVM_DELETEALLITEMS)); }

int ListCtrl::InsertItem(int index, const wchar_t* text) const {
    LVITEMW item{};
    item.mask = LVIF_TEXT;
    item.iItem = index;
    item.pszText = const_cast<wchar_t*>(text);
    return static_cast<int>(SendMessage(LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
}

BOOL ListCtrl::SetItemText(int item, int subItem, const wchar_t* text) const {
    LVITEMW lv{};
    lv.iSubItem = subItem;
    lv.pszText = const_cast<wchar_t*>(text);
    return static_cast<BOOL>(SendMessage(LVM_SETITEMTEXTW, item, reinterpret_cast<LPARAM>(&lv)));
}

int ListCtrl::GetItemCount() const { return static_cast<int>(SendMessage(LVM_GETITEMCOUNT)); }

std::wstring ListCtrl::GetItemText(int item, int subItem) const {
    std::vector<wchar_t> buffer(512, L'\0');
    LVITEMW lv{};
    lv.iSubItem = subItem;
    lv.pszText = buffer.data();
    lv.cchTextMax = static_cast<int>(buffer.size());
    const auto length = SendMessage(LVM_GETITEMTEXTW, item, reinterpret_cast<LPARAM>(&lv));
    return std::wstring(buffer.data(), static_cast<size_t>(length));
}

BOOL Font::CreateFontW(int height, int width, int escapement, int orientation, int weight,
                       BYTE italic, BYTE underline, BYTE strikeOut, BYTE charSet,
                       BYTE outPrecision, BYTE clipPrecision, BYTE quality, BYTE pitchAndFamily,
                       const wchar_t* face) {
    m_font.reset(::CreateFontW(height, width, escapement, orientation, weight, italic, underline,
                               strikeOut, charSet, outPrecision, clipPrecision, quality,
                               pitchAndFamily, face));
    return m_font ? TRUE : FALSE;
}

}  // namespace vnk::fw
