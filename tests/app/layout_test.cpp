// Where every control stands, how it looks and in which order it takes the focus.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "core/scoped_win.h"
#include "tests/app/form_fixture.h"

namespace tess::testing {
namespace {

struct Expected {
    const wchar_t* name;
    int left, top, width, height;  // client pixels at 96 dots per inch
    const wchar_t* text;           // null: any non-empty text
    bool visible;
    bool enabled;
};

// The layout as defined, in pixels at 96 dots per inch.
const Expected kLayout[] = {
    {L"Label7", 12, 190, 55, 15, L"Format:", true, true},
    {L"lblFormat", 64, 190, 22, 14, L"JPG", true, true},
    {L"Label2", 102, 190, 57, 15, L"Quality:", true, true},
    {L"Text1", 158, 188, 33, 21, L"85", true, true},
    {L"Label4", 206, 190, 87, 14, L"Photo Resize:", true, true},
    {L"Label5", 299, 190, 19, 14, L"NO", true, true},
    {L"txtResize", 334, 188, 53, 21, L"1600", true, false},
    {L"Label6", 392, 190, 70, 14, L"(Width, px)", true, true},
    {L"lblPath", 11, 216, 268, 14, L"Output Path (C:\\Output)", true, true},
    {L"Label3", 382, 218, 78, 14, nullptr, true, true},
    {L"Label1", 116, 140, 247, 16, L"Please drag and drop Photos Here", true, true},
    {L"lstFile", 126, 48, 75, 76, L"", false, true},
    {L"Command1", 831, 116, 149, 21, L"Set Output Path(C:\\Output by Default)", true, true},
    {L"txtConvert", 336, 70, 69, 21, L"Text3", false, true},
    {L"picBack2", 378, 132, 476, 245, L"", false, true},
    {L"picBack1", 410, 102, 476, 245, L"", false, true},
};

Control* Find(Form1& form, const wchar_t* name) {
    for (Control* c : form.Controls())
        if (c->Name() == name) return c;
    return nullptr;
}

// Auto-sized labels take the size of their text in the font the system has; the stand-in
// for the window's face may measure a few pixels differently from the layout's figures.
constexpr int kAutoSizeSlack = 12;

void ExpectPlaced(Form1& form, const Expected& e) {
    SCOPED_TRACE(::testing::Message() << "control " << std::string(e.name, e.name + wcslen(e.name)));
    Control* c = Find(form, e.name);
    ASSERT_NE(c, nullptr);
    const RECT r = ClientRectOf(c->Handle());
    const int width = r.right - r.left, height = r.bottom - r.top;
    EXPECT_EQ(r.top, e.top);
    if (!c->AutoSize()) {
        EXPECT_EQ(r.left, e.left);
        EXPECT_EQ(width, e.width);
        EXPECT_EQ(height, e.height);
    } else {
        // The edge that stays in place follows the alignment.
        switch (c->Align()) {
            case TextAlign::Left: EXPECT_EQ(r.left, e.left); break;
            case TextAlign::Right: EXPECT_NEAR(r.right, e.left + e.width, 1); break;
            case TextAlign::Center: EXPECT_NEAR(r.left + width / 2.0, e.left + e.width / 2.0, 1); break;
        }
        EXPECT_NEAR(width, e.width, kAutoSizeSlack);
        EXPECT_NEAR(height, e.height, 3);
        EXPECT_GT(width, 0);
    }
    // The twips behind the pixels.
    EXPECT_NEAR(c->Top() / form.Scale().y, e.top, 0.5);
    if (e.text)
        EXPECT_EQ(c->Text(), e.text);
    else
        EXPECT_FALSE(c->Text().empty());
    EXPECT_EQ(IsWindowVisible(c->Handle()) != FALSE, e.visible);
    EXPECT_EQ(IsWindowEnabled(c->Handle()) != FALSE, e.enabled);
}

class Layout : public FormTest {};

TEST_F(Layout, EveryControlStandsWhereDefinedAt96Dpi) {
    Form1& form = Open({15, 15});
    for (const Expected& e : kLayout) ExpectPlaced(form, e);
    // Command1 is visible but beyond the client area's right edge.
    RECT client{};
    GetClientRect(form.hwnd(), &client);
    EXPECT_GE(ClientRectOf(form.Command1.Handle()).left, client.right);
    EXPECT_FALSE(form.timerRun.Enabled());
    EXPECT_EQ(form.timerRun.Interval(), 50u);
}

TEST_F(Layout, FontsFollowTheDefinition) {
    Form1& form = Open({15, 15});
    struct Font {
        const wchar_t* name;
        const wchar_t* face;
        int height;
        int weight;
        bool underline;
        int charset;
    };
    const Font fonts[] = {
        {L"Label1", L"Verdana", -13, FW_BOLD, false, ANSI_CHARSET},
        {L"lblFormat", L"Verdana", -12, FW_NORMAL, true, ANSI_CHARSET},
        {L"Label5", L"Verdana", -12, FW_NORMAL, true, ANSI_CHARSET},
        {L"Label3", L"Verdana", -12, FW_NORMAL, true, ANSI_CHARSET},
        {L"lblPath", L"Verdana", -12, FW_NORMAL, true, ANSI_CHARSET},
        {L"Label7", L"Verdana", -12, FW_NORMAL, false, ANSI_CHARSET},
        {L"Label2", L"Verdana", -12, FW_NORMAL, false, ANSI_CHARSET},
        {L"Label4", L"Verdana", -12, FW_NORMAL, false, ANSI_CHARSET},
        {L"Label6", L"Verdana", -12, FW_NORMAL, false, ANSI_CHARSET},
        {L"Text1", L"Verdana", -12, FW_NORMAL, false, ANSI_CHARSET},
        {L"txtResize", L"Verdana", -12, FW_NORMAL, false, ANSI_CHARSET},
        {L"txtConvert", L"Verdana", -12, FW_NORMAL, false, ANSI_CHARSET},
        {L"Command1", L"Verdana", -12, FW_NORMAL, false, ANSI_CHARSET},
        {L"lstFile", L"\u5B8B\u4F53", -12, FW_NORMAL, false, GB2312_CHARSET},
    };
    for (const Font& f : fonts) {
        SCOPED_TRACE(::testing::Message() << "control " << std::string(f.name, f.name + wcslen(f.name)));
        const LOGFONTW lf = FontOf(Find(form, f.name)->Handle());
        EXPECT_STREQ(lf.lfFaceName, f.face);
        EXPECT_EQ(lf.lfHeight, f.height);
        EXPECT_EQ(lf.lfWeight, f.weight);
        EXPECT_EQ(lf.lfUnderline != 0, f.underline);
        EXPECT_EQ(lf.lfCharSet, f.charset);
    }
}

TEST_F(Layout, LabelsAreAlignedAndTakeTheirOwnPointerEvents) {
    Form1& form = Open({15, 15});
    for (Control* c : form.Controls()) {
        if (!c->IsLabel()) continue;
        SCOPED_TRACE(::testing::Message() << "label " << std::string(c->Name().begin(), c->Name().end()));
        const LONG style = GetWindowLongW(c->Handle(), GWL_STYLE);
        EXPECT_TRUE(style & SS_NOTIFY);
        const LONG align = style & SS_TYPEMASK;
        if (c->Name() == L"Label1")
            EXPECT_EQ(align, SS_CENTER);
        else if (c->Name() == L"Label3")
            EXPECT_EQ(align, SS_RIGHT);
        else
            EXPECT_EQ(align, SS_LEFT);
        // Hit-testing finds the label itself, not the window beneath it.
        RECT r{};
        GetWindowRect(c->Handle(), &r);
        const POINT centre{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
        EXPECT_EQ(SendMessageW(c->Handle(), WM_NCHITTEST, 0, MAKELPARAM(centre.x, centre.y)), HTCLIENT);
        ASSERT_TRUE(RaiseUntilOnTopAt(form.hwnd(), centre));
        EXPECT_EQ(WindowFromPoint(centre), c->Handle());
    }
}

TEST_F(Layout, TabOrderFollowsTheTabIndex) {
    Form1& form = Open({15, 15});
    std::vector<std::wstring> order;
    for (HWND w = GetWindow(form.hwnd(), GW_CHILD); w; w = GetWindow(w, GW_HWNDNEXT)) {
        for (Control* c : form.Controls())
            if (c->Handle() == w) order.push_back(c->Name());
    }
    const std::vector<std::wstring> byTabIndex = {L"Label1",   L"lstFile", L"Command1", L"Text1",    L"Label2",
                                                  L"lblPath",  L"Label3",  L"txtResize", L"Label4",  L"Label5",
                                                  L"Label6",   L"txtConvert", L"picBack2", L"picBack1", L"lblFormat",
                                                  L"Label7"};
    EXPECT_EQ(order, byTabIndex);
    // Only the two visible text boxes take the focus; txtResize only while enabled.
    EXPECT_EQ(GetNextDlgTabItem(form.hwnd(), form.Text1.Handle(), FALSE), form.Text1.Handle());
    form.txtResize.SetEnabled(true);
    EXPECT_EQ(GetNextDlgTabItem(form.hwnd(), form.Text1.Handle(), FALSE), form.txtResize.Handle());
    EXPECT_EQ(GetNextDlgTabItem(form.hwnd(), form.txtResize.Handle(), FALSE), form.Text1.Handle());
    // The first control to take the focus is the quality box.
    EXPECT_EQ(GetNextDlgTabItem(form.hwnd(), nullptr, FALSE), form.Text1.Handle());
}

TEST_F(Layout, WindowIsAFixedTopmostFrameAsWideAsTheBackground) {
    Form1& form = Open({15, 15}, false);
    wchar_t caption[64] = {};
    GetWindowTextW(form.hwnd(), caption, 64);
    EXPECT_STREQ(caption, L"Tessaline");
    const LONG style = GetWindowLongW(form.hwnd(), GWL_STYLE);
    EXPECT_TRUE(style & WS_CAPTION);
    EXPECT_TRUE(style & WS_SYSMENU);
    EXPECT_FALSE(style & WS_THICKFRAME);
    EXPECT_FALSE(style & WS_MINIMIZEBOX);
    EXPECT_FALSE(style & WS_MAXIMIZEBOX);
    EXPECT_TRUE(GetWindowLongW(form.hwnd(), GWL_EXSTYLE) & WS_EX_TOPMOST);
    RECT r{};
    GetWindowRect(form.hwnd(), &r);
    // Outer width: picBack2's 7140 twips; outer height: Label3's top + 820 twips.
    EXPECT_EQ(r.right - r.left, 476);
    EXPECT_EQ(r.bottom - r.top, 273);
    // Centred on the screen.
    EXPECT_NEAR((r.left + r.right) / 2.0, GetSystemMetrics(SM_CXSCREEN) / 2.0, 1.0);
    EXPECT_NEAR((r.top + r.bottom) / 2.0, GetSystemMetrics(SM_CYSCREEN) / 2.0, 1.0);
    EXPECT_TRUE(IsWindowVisible(form.hwnd()));
    EXPECT_NE(GetClassLongPtrW(form.hwnd(), GCLP_HICON), 0u);
}

// At 120 dots per inch (12 twips per pixel) the twips shrink by 0.8 and the pixels stay.
TEST_F(Layout, At120DpiControlsKeepTheirPixelsAndTheWindowHoldsThemAll) {
    Form1& form = Open({12, 12});
    for (const Expected& e : kLayout) ExpectPlaced(form, e);
    EXPECT_DOUBLE_EQ(form.Text1.Left(), 2370 * 0.8);
    EXPECT_DOUBLE_EQ(form.Text1.Width(), 495 * 0.8);
    EXPECT_DOUBLE_EQ(form.Text1.FontSize(), 9 * 0.8);
    EXPECT_DOUBLE_EQ(form.Label1.FontSize(), 9.75 * 0.8);
    EXPECT_DOUBLE_EQ(form.picBack2.Width(), 7140 * 0.8);
    EXPECT_EQ(FontOf(form.Text1.Handle()).lfHeight, -12);
    EXPECT_EQ(FontOf(form.Label1.Handle()).lfHeight, -13);
    RECT r{};
    GetWindowRect(form.hwnd(), &r);
    // 5712 twips wide and 2616 + 820 twips high at 12 twips per pixel: the whole picture
    // and the option strip stay inside the window.
    EXPECT_EQ(r.right - r.left, static_cast<int>(std::lround(7140 * 0.8 / 12)));
    EXPECT_EQ(r.bottom - r.top, static_cast<int>(std::lround((3270 * 0.8 + 820) / 12)));
    RECT label{};
    GetWindowRect(form.Label3.Handle(), &label);
    EXPECT_LE(label.bottom, r.bottom);
    EXPECT_LE(label.right, r.right);
}

TEST_F(Layout, BackgroundIsTheNormalPictureDrawnAtTheClientOrigin) {
    Form1& form = Open({15, 15});
    const Picture* normal = form.picBack1.GetPicture();
    const Picture* highlighted = form.picBack2.GetPicture();
    ASSERT_NE(normal, nullptr);
    ASSERT_NE(highlighted, nullptr);
    EXPECT_EQ(normal->Width(), 476);
    EXPECT_EQ(normal->Height(), 245);
    EXPECT_EQ(highlighted->Width(), 476);
    EXPECT_EQ(highlighted->Height(), 245);
    EXPECT_EQ(form.ShownPicture(), normal);
    UpdateWindow(form.hwnd());
    // Pixels of the window where no control lies match the picture's.
    const WindowDC window(form.hwnd());
    const MemoryDC memory(window.get());
    const SelectScope select(memory.get(), normal->Bitmap());
    for (const POINT p : {POINT{240, 20}, POINT{130, 100}, POINT{5, 5}, POINT{450, 230}})
        EXPECT_EQ(GetPixel(window.get(), p.x, p.y), GetPixel(memory.get(), p.x, p.y)) << p.x << "," << p.y;
}

TEST_F(Layout, LinkLabelsShowTheLinkCursor) {
    Form1& form = Open({15, 15});
    const HCURSOR link = static_cast<HCURSOR>(
        LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(101), IMAGE_CURSOR, 0, 0, LR_SHARED));
    ASSERT_NE(link, nullptr);
    for (Control* c : {&form.lblFormat, &form.Label5, &form.Label3, &form.lblPath}) {
        SetCursor(LoadCursorW(nullptr, IDC_ARROW));
        EXPECT_TRUE(SendMessageW(form.hwnd(), WM_SETCURSOR, reinterpret_cast<WPARAM>(c->Handle()),
                                 MAKELPARAM(HTCLIENT, WM_MOUSEMOVE)));
        EXPECT_EQ(GetCursor(), link);
    }
    for (Control* c : {&form.Label1, &form.Label7, &form.Text1}) {
        EXPECT_FALSE(form.IsLinkLabel(c->Handle()));
        SetCursor(LoadCursorW(nullptr, IDC_ARROW));
        SendMessageW(form.hwnd(), WM_SETCURSOR, reinterpret_cast<WPARAM>(c->Handle()),
                     MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
        EXPECT_NE(GetCursor(), link);
    }
}

TEST_F(Layout, LabelsAreWhiteOverThePictureAndTextBoxesWhiteOnBlack) {
    Form1& form = Open({15, 15});
    {
        const WindowDC label(form.Label7.Handle());
        SendMessageW(form.hwnd(), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(label.get()),
                     reinterpret_cast<LPARAM>(form.Label7.Handle()));
        EXPECT_EQ(GetTextColor(label.get()), RGB(255, 255, 255));
        EXPECT_EQ(GetBkMode(label.get()), TRANSPARENT);
    }
    const WindowDC box(form.Text1.Handle());
    SendMessageW(form.hwnd(), WM_CTLCOLOREDIT, reinterpret_cast<WPARAM>(box.get()),
                 reinterpret_cast<LPARAM>(form.Text1.Handle()));
    EXPECT_EQ(GetTextColor(box.get()), RGB(255, 255, 255));
    EXPECT_EQ(GetBkColor(box.get()), RGB(0, 0, 0));
}

// A label whose text gets shorter leaves no trace of the longer text behind.
TEST_F(Layout, ChangingALabelsTextLeavesNoSmear) {
    Form1& form = Open({15, 15});
    form.Label1.SetText(L"Converting...12/345 with a much longer caption");
    UpdateWindow(form.hwnd());
    const RECT wide = ClientRectOf(form.Label1.Handle());
    form.Label1.SetText(L"OK");
    UpdateWindow(form.hwnd());
    const RECT narrow = ClientRectOf(form.Label1.Handle());
    ASSERT_LT(narrow.right - narrow.left, wide.right - wide.left);
    const WindowDC window(form.hwnd());
    const MemoryDC memory(window.get());
    const SelectScope select(memory.get(), form.ShownPicture()->Bitmap());
    int differing = 0;
    const int y = (wide.top + wide.bottom) / 2;
    for (int x = wide.left; x < narrow.left - 1; ++x)
        if (GetPixel(window.get(), x, y) != GetPixel(memory.get(), x, y)) ++differing;
    EXPECT_EQ(differing, 0);
}

// The prompt, replaced by a shorter progress caption and back (as every batch does), is
// drawn exactly as it was: nothing of the narrower caption's rectangle is carried over.
TEST_F(Layout, ThePromptComesBackWholeAfterAShorterCaption) {
    Form1& form = Open({15, 15});
    UpdateWindow(form.hwnd());
    const RECT prompt = ClientRectOf(form.Label1.Handle());
    const auto capture = [&] {
        std::vector<COLORREF> pixels;
        const WindowDC window(form.hwnd());
        for (int y = prompt.top; y < prompt.bottom; ++y)
            for (int x = prompt.left; x < prompt.right; ++x) pixels.push_back(GetPixel(window.get(), x, y));
        return pixels;
    };
    const std::vector<COLORREF> before = capture();
    form.Label1.SetText(L"Converting...1/1");
    UpdateWindow(form.hwnd());
    form.Label1.SetText(Form1::kPrompt);
    UpdateWindow(form.hwnd());
    const RECT back = ClientRectOf(form.Label1.Handle());
    ASSERT_TRUE(EqualRect(&prompt, &back));
    const std::vector<COLORREF> after = capture();
    int differing = 0;
    for (std::size_t i = 0; i < before.size(); ++i)
        if (before[i] != after[i]) ++differing;
    EXPECT_EQ(differing, 0);
}

}  // namespace
}  // namespace tess::testing
