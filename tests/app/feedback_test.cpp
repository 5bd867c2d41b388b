// Hover and drag feedback, clicks that belong to labels, and the timer.
#include <windows.h>
#include <ole2.h>

#include <gtest/gtest.h>

#include <vector>

#include "tests/app/form_fixture.h"

namespace tess::testing {
namespace {

class Hover : public FormTest {
protected:
    // The handler's answer for a move to (x, y) twips: whether the window now shows the
    // highlighted background, starting from the normal one.
    bool HighlightsAt(double x, double y) {
        form_->ShowNormalBackground();
        form_->OnPointerMove(x, y);
        return !form_->ShowsNormalBackground();
    }
    bool Updating() {
        RECT r{};
        return GetUpdateRect(form_->hwnd(), &r, FALSE) != FALSE;
    }
    void MoveToPixel(int x, int y) { SendMessageW(form_->hwnd(), WM_MOUSEMOVE, 0, MAKELPARAM(x, y)); }
};

TEST_F(Hover, DropAreaBoundsAreStrictInTwips) {
    Open({15, 15});
    EXPECT_TRUE(HighlightsAt(1901, 11));
    EXPECT_TRUE(HighlightsAt(5699.9, 2499.9));
    EXPECT_FALSE(HighlightsAt(1900, 100));
    EXPECT_FALSE(HighlightsAt(3000, 10));
    EXPECT_FALSE(HighlightsAt(5700, 100));
    EXPECT_FALSE(HighlightsAt(3000, 2500));
    EXPECT_FALSE(HighlightsAt(-5, -5));
    EXPECT_FALSE(HighlightsAt(7000, 3000));
}

TEST_F(Hover, PointerPixelsBecomeTwipsAt96Dpi) {
    Open({15, 15});
    struct Case {
        int x, y;
        bool inside;
    } cases[] = {{126, 50, false}, {127, 50, true}, {127, 0, false}, {127, 1, true},
                 {379, 166, true}, {380, 100, false}, {200, 167, false}};
    for (const Case& c : cases) {
        form_->ShowNormalBackground();
        MoveToPixel(c.x, c.y);
        EXPECT_EQ(!form_->ShowsNormalBackground(), c.inside) << c.x << "," << c.y;
    }
}

// At 12 twips per pixel the bounds stay in twips: columns 159..474, rows 1..208.
TEST_F(Hover, BoundsStayInTwipsAt120Dpi) {
    Open({12, 12});
    struct Case {
        int x, y;
        bool inside;
    } cases[] = {{158, 100, false}, {159, 100, true}, {474, 100, true}, {475, 100, false},
                 {300, 0, false},   {300, 1, true},   {300, 208, true}, {300, 209, false}};
    for (const Case& c : cases) {
        form_->ShowNormalBackground();
        MoveToPixel(c.x, c.y);
        EXPECT_EQ(!form_->ShowsNormalBackground(), c.inside) << c.x << "," << c.y;
    }
}

TEST_F(Hover, RepaintsOnlyWhenTheStateChanges) {
    Form1& form = Open({15, 15});
    UpdateWindow(form.hwnd());
    ASSERT_FALSE(Updating());
    MoveToPixel(200, 50);  // into the drop area
    EXPECT_EQ(form.ShownPicture(), form.picBack2.GetPicture());
    EXPECT_TRUE(Updating());
    UpdateWindow(form.hwnd());
    MoveToPixel(210, 60);  // within it
    MoveToPixel(300, 100);
    EXPECT_FALSE(Updating());
    EXPECT_EQ(form.ShownPicture(), form.picBack2.GetPicture());
    MoveToPixel(20, 20);  // out
    EXPECT_TRUE(form.ShowsNormalBackground());
    EXPECT_TRUE(Updating());
    UpdateWindow(form.hwnd());
    MoveToPixel(30, 200);
    EXPECT_FALSE(Updating());
}

TEST_F(Hover, ProgressCaptionFreezesTheBackground) {
    Form1& form = Open({15, 15});
    form.Label1.SetText(L"Converting...2/5");
    EXPECT_FALSE(HighlightsAt(3000, 1000));
    form.OnPointerMove(3000, 1000);
    EXPECT_TRUE(form.ShowsNormalBackground());
    // Highlighted, then a batch starts: moving out keeps the highlight.
    form.Label1.SetText(L"Please drag and drop Photos Here");
    form.OnPointerMove(3000, 1000);
    ASSERT_FALSE(form.ShowsNormalBackground());
    form.Label1.SetText(L"Conv");
    form.OnPointerMove(100, 100);
    EXPECT_FALSE(form.ShowsNormalBackground());
    // Other captions leave the feedback working: the test is exact and case-sensitive.
    for (const wchar_t* caption : {L"Preparing Files...", L"Con", L"", L"conv", L"CONV", L" Conv"}) {
        form.Label1.SetText(caption);
        EXPECT_TRUE(HighlightsAt(3000, 1000)) << std::wstring(caption).size();
    }
}

// A minimal data object: the drag feedback never looks at it.
class TextData final : public IDataObject {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDataObject)) {
            *out = this;
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE GetData(FORMATETC*, STGMEDIUM*) override { return DV_E_FORMATETC; }
    HRESULT STDMETHODCALLTYPE GetDataHere(FORMATETC*, STGMEDIUM*) override { return DV_E_FORMATETC; }
    HRESULT STDMETHODCALLTYPE QueryGetData(FORMATETC* f) override {
        return f && f->cfFormat == CF_UNICODETEXT ? S_OK : DV_E_FORMATETC;
    }
    HRESULT STDMETHODCALLTYPE GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EnumFormatEtc(DWORD, IEnumFORMATETC**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DUnadvise(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EnumDAdvise(IEnumSTATDATA**) override { return E_NOTIMPL; }
};

class Drag : public FormTest {};

TEST_F(Drag, WindowIsRegisteredAsDropTargetWhenLoaded) {
    Form1& form = Open({15, 15});
    ASSERT_NE(form.GetDropTarget(), nullptr);
    EXPECT_EQ(RegisterDragDrop(form.hwnd(), form.GetDropTarget()), DRAGDROP_E_ALREADYREGISTERED);
}

TEST_F(Drag, EnterOverAndLeaveHideThePromptAndTouchNothingElse) {
    Form1& form = Open({15, 15});
    IDropTarget* target = form.GetDropTarget();
    TextData text;
    const POINTL at{100, 100};
    form.OnPointerMove(3000, 1000);  // highlighted before the drag
    for (int step = 0; step < 3; ++step) {
        form.Label1.SetVisible(true);
        DWORD effect = DROPEFFECT_COPY | DROPEFFECT_MOVE | DROPEFFECT_LINK;
        if (step == 0) EXPECT_EQ(target->DragEnter(&text, MK_LBUTTON, at, &effect), S_OK);
        if (step == 1) EXPECT_EQ(target->DragOver(MK_LBUTTON, at, &effect), S_OK);
        if (step == 2) EXPECT_EQ(target->DragLeave(), S_OK);
        EXPECT_FALSE(form.Label1.Visible()) << step;
        EXPECT_EQ(effect, DWORD(DROPEFFECT_COPY | DROPEFFECT_MOVE | DROPEFFECT_LINK)) << step;
        EXPECT_FALSE(form.ShowsNormalBackground()) << step;
    }
    // Nothing shows the prompt again but a batch.
    PumpFor(50);
    EXPECT_FALSE(form.Label1.Visible());
    EXPECT_EQ(form.Label1.Text(), Form1::kPrompt);
}

TEST_F(Drag, DropGoesToTheDropHandlerWithDataAndEffect) {
    Form1& form = Open({15, 15});
    TextData text;
    IDataObject* received = nullptr;
    form.events.drop = [&](IDataObject* data, DWORD* effect) {
        received = data;
        *effect = DROPEFFECT_COPY;
    };
    DWORD effect = DROPEFFECT_COPY | DROPEFFECT_MOVE;
    EXPECT_EQ(form.GetDropTarget()->Drop(&text, 0, POINTL{10, 10}, &effect), S_OK);
    EXPECT_EQ(received, &text);
    EXPECT_EQ(effect, DWORD(DROPEFFECT_COPY));
    // Without a drop handler nothing is taken.
    form.events.drop = nullptr;
    effect = DROPEFFECT_MOVE;
    form.GetDropTarget()->Drop(&text, 0, POINTL{10, 10}, &effect);
    EXPECT_EQ(effect, DWORD(DROPEFFECT_NONE));
}

class Clicks : public FormTest {
protected:
    void Click(HWND target) {
        PostMessageW(target, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
        PostMessageW(target, WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
        PumpFor(30);
    }
    // Real pointer input: the button goes down or up at a point of the window's client area.
    void RealButton(HWND window, POINT client, DWORD flag, bool raise = true) {
        POINT p = client;
        ClientToScreen(window, &p);
        if (raise) ASSERT_TRUE(RaiseUntilOnTopAt(window, p));
        SetCursorPos(p.x, p.y);
        PumpFor(30);
        INPUT in{};
        in.type = INPUT_MOUSE;
        in.mi.dwFlags = flag;
        SendInput(1, &in, sizeof(INPUT));
        PumpFor(120);
    }
    void RealClick(HWND window, POINT client) {
        ASSERT_NO_FATAL_FAILURE(RealButton(window, client, MOUSEEVENTF_LEFTDOWN));
        ASSERT_NO_FATAL_FAILURE(RealButton(window, client, MOUSEEVENTF_LEFTUP));
    }
    // Top-right, away from the windows of other tests (bottom-right) and of dialogs.
    Form1& OpenTopRight() {
        Form1& form = Open({15, 15}, false);
        RECT r{};
        GetWindowRect(form.hwnd(), &r);
        SetWindowPos(form.hwnd(), HWND_TOPMOST, GetSystemMetrics(SM_CXSCREEN) - (r.right - r.left) - 4, 4, 0, 0,
                     SWP_NOSIZE);
        SetForegroundWindow(form.hwnd());
        PumpFor(50);
        return form;
    }
    static POINT Centre(HWND control) {
        const RECT r = ClientRectOf(control);
        return POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
    }
};

TEST_F(Clicks, EachClickableControlReachesItsOwnHandler) {
    Form1& form = Open({15, 15});
    std::vector<std::string> got;
    form.events.surfaceClick = [&] { got.push_back("surface"); };
    form.events.command1Click = [&] { got.push_back("command1"); };
    form.events.lblFormatClick = [&] { got.push_back("format"); };
    form.events.label5Click = [&] { got.push_back("label5"); };
    form.events.label3Click = [&] { got.push_back("label3"); };
    Click(form.lblFormat.Handle());
    Click(form.Label5.Handle());
    Click(form.Label3.Handle());
    Click(form.lblPath.Handle());
    SendMessageW(form.Command1.Handle(), BM_CLICK, 0, 0);
    PumpFor(30);
    Click(form.Label1.Handle());  // handles nothing
    Click(form.Label7.Handle());
    Click(form.hwnd());
    EXPECT_EQ(got, (std::vector<std::string>{"format", "label5", "label3", "command1", "command1", "surface"}));
}

// Real pointer input: a click on the prompt belongs to the prompt, a click beside it to the
// window's surface.
TEST_F(Clicks, ClickOnThePromptDoesNotReachTheSurface) {
    Form1& form = OpenTopRight();
    int surface = 0, format = 0;
    form.events.surfaceClick = [&] { ++surface; };
    form.events.lblFormatClick = [&] { ++format; };
    ASSERT_NO_FATAL_FAILURE(RealClick(form.hwnd(), Centre(form.Label1.Handle())));
    EXPECT_EQ(surface, 0);
    ASSERT_NO_FATAL_FAILURE(RealClick(form.hwnd(), POINT{60, 60}));
    EXPECT_EQ(surface, 1);
    ASSERT_NO_FATAL_FAILURE(RealClick(form.hwnd(), Centre(form.lblFormat.Handle())));
    EXPECT_EQ(format, 1);
    EXPECT_EQ(surface, 1);
}

// A press on the surface is a click only when it is released there: released over a
// label or outside the window it is forgotten, and a later release on the surface after
// a press elsewhere opens nothing.
TEST_F(Clicks, APressIsAClickOnlyWhereItIsReleased) {
    Form1& form = OpenTopRight();
    int surface = 0;
    form.events.surfaceClick = [&] { ++surface; };
    const HWND w = form.hwnd();
    const POINT onSurface{60, 60}, onPrompt = Centre(form.Label1.Handle());
    RECT frame{};
    GetWindowRect(w, &frame);
    POINT outside{frame.left - 40, 40};
    ScreenToClient(w, &outside);

    ASSERT_NO_FATAL_FAILURE(RealButton(w, onSurface, MOUSEEVENTF_LEFTDOWN));
    ASSERT_NO_FATAL_FAILURE(RealButton(w, onPrompt, MOUSEEVENTF_LEFTUP));
    EXPECT_EQ(surface, 0);
    ASSERT_NO_FATAL_FAILURE(RealButton(w, onPrompt, MOUSEEVENTF_LEFTDOWN));
    ASSERT_NO_FATAL_FAILURE(RealButton(w, onSurface, MOUSEEVENTF_LEFTUP));
    EXPECT_EQ(surface, 0);
    ASSERT_NO_FATAL_FAILURE(RealButton(w, onSurface, MOUSEEVENTF_LEFTDOWN));
    ASSERT_NO_FATAL_FAILURE(RealButton(w, outside, MOUSEEVENTF_LEFTUP, false));
    EXPECT_EQ(surface, 0);
    EXPECT_EQ(GetCapture(), nullptr);
    ASSERT_NO_FATAL_FAILURE(RealClick(w, onSurface));
    EXPECT_EQ(surface, 1);
}

TEST_F(Clicks, HandlerFailuresStayInsideTheHandler) {
    Form1& form = Open({15, 15});
    form.events.lblFormatClick = [] { throw std::runtime_error("failing step"); };
    Click(form.lblFormat.Handle());
    EXPECT_TRUE(IsWindow(form.hwnd()));
    EXPECT_EQ(OtherVisibleWindows(form.hwnd()), 0);
}

class Timer : public FormTest {};

TEST_F(Timer, TicksWhileArmedAndNeverReentersItsHandler) {
    Form1& form = Open({15, 15});
    int ticks = 0, depth = 0, deepest = 0;
    form.events.timerTick = [&] {
        ++ticks;
        deepest = std::max(deepest, ++depth);
        if (ticks == 1) PumpFor(300);  // a batch that yields for a while
        --depth;
    };
    PumpFor(150);
    EXPECT_EQ(ticks, 0);
    form.timerRun.SetEnabled(true);
    PumpFor(500);
    form.timerRun.SetEnabled(false);
    EXPECT_GE(ticks, 2);
    EXPECT_EQ(deepest, 1);
    const int seen = ticks;
    PumpFor(200);
    EXPECT_EQ(ticks, seen);
}

}  // namespace
}  // namespace tess::testing
