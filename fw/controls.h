// Wrappers for the dialog controls the program uses, and an owning font.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <string>

#include "fw/handles.h"
#include "fw/wnd.h"

namespace vnk::fw {

class Static : public Wnd {};
class Edit : public Wnd {};
class Button : public Wnd {};

class ListCtrl : public Wnd {
public:
    int InsertColumn(int column, const wchar_t* heading, int format, int width, int subItem) const;
    BOOL SetColumnWidth(int column, int width) const;
    int GetColumnWidth(int column) const;
    BOOL DeleteAllItems() const;
    int InsertItem(int index, const wchar_t* text) const;
    BOOL SetItemText(int item, int subItem, const wchar_t* text) const;
    int GetItemCount() const;
    std::wstring GetItemText(int item, int subItem) const;
};

class Font {
public:
    BOOL CreateFontW(int height, int width, int escapement, int orientation, int weight,
                     BYTE italic, BYTE underline, BYTE strikeOut, BYTE charSet, BYTE outPrecision,
                     BYTE clipPrecision, BYTE quality, BYTE pitchAndFamily, const wchar_t* face);
    void DeleteObject() { m_font.reset(); }
    HFONT GetSafeHandle() const { return m_font.get(); }
    explicit operator bool() const { return static_cast<bool>(m_font); }

private:
    UniqueFontHandle m_font;
};

}  // namespace vnk::fw
