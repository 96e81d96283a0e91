// The progress dialog template as the program carries it: styles, size, font and every
// control with its class, text, style and place, read from the binary resource.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

#include "common/resource_ids.h"

namespace {

// Reads a dialog template (the classic, non-extended form) field by field.
class TemplateReader {
public:
    explicit TemplateReader(const BYTE* data) : data_(data) {}
    WORD Word() {
        WORD value;
        memcpy(&value, data_ + offset_, sizeof(value));
        offset_ += sizeof(value);
        return value;
    }
    DWORD Dword() {
        const DWORD low = Word();
        return low | static_cast<DWORD>(Word()) << 16;
    }
    short Short() { return static_cast<short>(Word()); }
    // A text, or an ordinal written as 0xFFFF and a number ("#n").
    std::wstring TextOrOrdinal() {
        WORD first = Word();
        if (first == 0xFFFF) return L"#" + std::to_wstring(Word());
        std::wstring text;
        while (first != 0) {
            text += static_cast<wchar_t>(first);
            first = Word();
        }
        return text;
    }
    void AlignToDword() { offset_ = (offset_ + 3) & ~static_cast<size_t>(3); }

private:
    const BYTE* data_;
    size_t offset_ = 0;
};

struct Control {
    WORD id;
    std::wstring windowClass;
    std::wstring text;
    DWORD style;
    short x, y, cx, cy;
};

}  // namespace

TEST(ProgressDialogTemplate, IsLaidOutAsTheDialogExpects) {
    HRSRC resource = FindResourceA(nullptr, MAKEINTRESOURCEA(IDD_PROGRESS), MAKEINTRESOURCEA(5) /* RT_DIALOG */);
    ASSERT_NE(nullptr, resource);
    const BYTE* data = static_cast<const BYTE*>(LockResource(LoadResource(nullptr, resource)));
    ASSERT_NE(nullptr, data);
    TemplateReader reader(data);

    EXPECT_EQ(static_cast<DWORD>(WS_POPUP | WS_CAPTION | DS_MODALFRAME | DS_3DLOOK | DS_SETFONT), reader.Dword());
    EXPECT_EQ(0u, reader.Dword());  // no extended styles
    const WORD count = reader.Word();
    ASSERT_EQ(8, count);
    EXPECT_EQ(0, reader.Short());
    EXPECT_EQ(0, reader.Short());
    EXPECT_EQ(206, reader.Short());
    EXPECT_EQ(79, reader.Short());
    EXPECT_EQ(L"", reader.TextOrOrdinal());  // no menu
    EXPECT_EQ(L"", reader.TextOrOrdinal());  // the standard dialog class
    EXPECT_EQ(L"", reader.TextOrOrdinal());  // empty title
    EXPECT_EQ(8, reader.Word());
    EXPECT_EQ(L"MS Sans Serif", reader.TextOrOrdinal());

    const DWORD kChild = WS_CHILD | WS_VISIBLE;
    const Control expected[] = {
        {IDC_PROGRESS_STATUS, L"#130", L"Downloading File: ", kChild | WS_GROUP | SS_LEFT, 7, 7, 139, 8},
        {IDC_PROGRESS_FILE_LABEL, L"#130", L"This file: ", kChild | WS_GROUP | SS_LEFT, 7, 27, 47, 8},
        {IDC_PROGRESS_TOTAL_BAR, L"msctls_progress32", L"", kChild | WS_BORDER, 7, 63, 192, 9},
        {IDC_PROGRESS_TOTAL_LABEL, L"#130", L"Total: ", kChild | WS_GROUP | SS_LEFT, 7, 55, 47, 8},
        {IDC_PROGRESS_FILE_FIGURES, L"#130", L"0/0M", kChild | WS_GROUP | SS_LEFT, 54, 28, 145, 8},
        {IDC_PROGRESS_TOTAL_FIGURES, L"#130", L"0/0M", kChild | WS_GROUP | SS_LEFT, 54, 55, 145, 8},
        {IDC_PROGRESS_CANCEL, L"#128", L"Cancel", kChild | WS_TABSTOP | BS_PUSHBUTTON, 149, 7, 50, 14},
        {IDC_PROGRESS_FILE_BAR, L"msctls_progress32", L"", kChild | WS_BORDER, 7, 36, 192, 9},
    };
    for (const Control& control : expected) {
        SCOPED_TRACE(control.id);
        reader.AlignToDword();
        EXPECT_EQ(control.style, reader.Dword());
        EXPECT_EQ(0u, reader.Dword());
        EXPECT_EQ(control.x, reader.Short());
        EXPECT_EQ(control.y, reader.Short());
        EXPECT_EQ(control.cx, reader.Short());
        EXPECT_EQ(control.cy, reader.Short());
        EXPECT_EQ(control.id, reader.Word());
        // Window class names compare without case (the resource compiler writes them upper case).
        const std::wstring windowClass = reader.TextOrOrdinal();
        EXPECT_EQ(0, _wcsicmp(control.windowClass.c_str(), windowClass.c_str()));
        EXPECT_EQ(control.text, reader.TextOrOrdinal());
        EXPECT_EQ(0, reader.Word());  // no creation data
    }
}
