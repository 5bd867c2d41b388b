#include "app/form1.h"

#include <array>
#include <cmath>
#include <utility>

#include "app/resources/resource_ids.h"
#include "app/settings_io.h"
#include "convert/command_line.h"
#include "core/program.h"
#include "core/skip_on_failure.h"
#include "runner/message_pump.h"

namespace tess {
namespace {

constexpr wchar_t kClassName[] = L"TessalineForm1";
constexpr UINT_PTR kTimerId = 1;
constexpr int kFirstControlId = 1000;
constexpr COLORREF kFormColour = RGB(64, 64, 64);
constexpr COLORREF kLabelText = RGB(255, 255, 255);
constexpr COLORREF kEditBack = RGB(0, 0, 0);
constexpr COLORREF kEditText = RGB(255, 255, 255);
constexpr COLORREF kEditDisabledText = RGB(128, 128, 128);
// Client area as designed, in twips (475 x 244 pixels at 96 dots per inch).
constexpr double kDesignClientWidth = 7125, kDesignClientHeight = 3660;
constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
constexpr DWORD kExStyle = 0;

FontSpec WindowFont() { return FontSpec{}; }

FontSpec LinkFont() {
    FontSpec f;
    f.underline = true;
    return f;
}

FontSpec PromptFont() {
    FontSpec f;
    f.points = 9.75;
    f.weight = FW_BOLD;
    return f;
}

// The Song typeface of the GB2312 character set.
FontSpec ListFont() {
    FontSpec f;
    f.face = L"\u5B8B\u4F53";
    f.charset = GB2312_CHARSET;
    return f;
}

ControlDef Def(const wchar_t* name, ControlKind kind, double left, double top, double width, double height,
               const wchar_t* text, int tabIndex, FontSpec font, TextAlign align = TextAlign::Left,
               bool autoSize = false) {
    return ControlDef{name, kind, left, top, width, height, text, tabIndex, std::move(font), align, autoSize};
}

ControlDef Hidden(ControlDef def) {
    def.visible = false;
    return def;
}

ControlDef Disabled(ControlDef def) {
    def.enabled = false;
    return def;
}

double ScreenTwipsPerPixel(int axis) {
    WindowDC screen;
    const int dpi = screen.get() ? GetDeviceCaps(screen.get(), axis) : 0;
    return dpi > 0 ? 1440.0 / dpi : 15.0;
}

int Pixels(double twips, double twipsPerPixel) { return static_cast<int>(std::lround(twips / twipsPerPixel)); }

bool RegisterFormClass(WNDPROC proc) {
    static const bool registered = [proc] {
        const HINSTANCE instance = GetModuleHandleW(nullptr);
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = proc;
        wc.hInstance = instance;
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        wc.hIcon = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_TESSALINE), IMAGE_ICON, 0, 0,
                                                 LR_DEFAULTSIZE | LR_SHARED));
        wc.hIconSm = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_TESSALINE), IMAGE_ICON,
                                                   GetSystemMetrics(SM_CXSMICON),
                                                   GetSystemMetrics(SM_CYSMICON), LR_SHARED));
        wc.lpszClassName = kClassName;
        return RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    }();
    return registered;
}

}  // namespace

Form1::Form1(Options options)
    : Label1(Def(L"Label1", ControlKind::Label, 1740, 2100, 3705, 240, kPrompt, 0, PromptFont(),
                 TextAlign::Center, true),
             scale_),
      lstFile(Hidden(Def(L"lstFile", ControlKind::ListBox, 1890, 720, 1125, 1140, L"", 1, ListFont())), scale_),
      Command1(Def(L"Command1", ControlKind::Button, 12460, 1740, 2235, 315,
                   L"Set Output Path(C:\\Output by Default)", 2, WindowFont()),
               scale_),
      Text1(Def(L"Text1", ControlKind::TextBox, 2370, 2820, 495, 315, L"85", 3, WindowFont()), scale_),
      Label2(Def(L"Label2", ControlKind::Label, 1530, 2850, 855, 225, L"Quality:", 4, WindowFont()), scale_),
      lblPath(Def(L"lblPath", ControlKind::LinkLabel, 170, 3240, 4020, 210, L"Output Path (C:\\Output)", 6,
                  LinkFont()),
              scale_),
      Label3(Def(L"Label3", ControlKind::LinkLabel, 5730, 3270, 1170, 210, L"tessaline.org", 7, LinkFont(),
                 TextAlign::Right, true),
             scale_),
      txtResize(Disabled(Def(L"txtResize", ControlKind::TextBox, 5010, 2820, 795, 315, L"1600", 8, WindowFont())),
                scale_),
      Label4(Def(L"Label4", ControlKind::Label, 3090, 2850, 1305, 210, L"Photo Resize:", 9, WindowFont(),
                 TextAlign::Left, true),
             scale_),
      Label5(Def(L"Label5", ControlKind::LinkLabel, 4485, 2850, 285, 210, L"NO", 10, LinkFont(), TextAlign::Left,
                 true),
             scale_),
      Label6(Def(L"Label6", ControlKind::Label, 5880, 2850, 1050, 210, L"(Width, px)", 11, WindowFont(),
                 TextAlign::Left, true),
             scale_),
      txtConvert(Hidden(Def(L"txtConvert", ControlKind::TextBox, 5040, 1050, 1035, 315, L"Text3", 12, WindowFont())),
                 scale_),
      picBack2(Hidden(Def(L"picBack2", ControlKind::PictureBox, 5670, 1980, 7140, 3675, L"", 13, WindowFont())),
               scale_),
      picBack1(Hidden(Def(L"picBack1", ControlKind::PictureBox, 6150, 1530, 7140, 3675, L"", 14, WindowFont())),
               scale_),
      lblFormat(Def(L"lblFormat", ControlKind::LinkLabel, 960, 2850, 330, 210, L"JPG", 15, LinkFont(),
                    TextAlign::Left, true),
                scale_),
      Label7(Def(L"Label7", ControlKind::Label, 180, 2850, 825, 225, L"Format:", 16, WindowFont()), scale_),
      timerRun(L"timerRun", 50),
      options_(options) {
    scale_.x = options.twipsPerPixelX > 0 ? options.twipsPerPixelX : ScreenTwipsPerPixel(LOGPIXELSX);
    scale_.y = options.twipsPerPixelY > 0 ? options.twipsPerPixelY : ScreenTwipsPerPixel(LOGPIXELSY);
}

Form1::Form1() : Form1(Options()) {}

Form1::~Form1() {
    if (hwnd_) DestroyWindow(hwnd_);
    if (dropTarget_) dropTarget_->Detach();
}

std::vector<Control*> Form1::Controls() {
    return {&Label1, &lstFile, &Command1, &Text1,    &Label2,   &lblPath,  &Label3,    &txtResize,
            &Label4, &Label5,  &Label6,   &txtConvert, &picBack2, &picBack1, &lblFormat, &Label7};
}

std::array<Control*, kSettingsLineCount> Form1::SettingsControls() {
    return {&lblFormat, &Text1, &Label5, &txtResize};
}

Control* Form1::ControlOf(HWND child) {
    if (!child) return nullptr;
    for (Control* c : Controls())
        if (c->Handle() == child) return c;
    return nullptr;
}

bool Form1::IsLinkLabel(HWND child) {
    const Control* c = ControlOf(child);
    return c && c->IsLinkLabel();
}

bool Form1::Load() {
    if (!CreateWindowAndControls()) return false;
    RunLoadSteps();
    // Centred on the screen, at the size the load steps gave it.
    RECT r{};
    GetWindowRect(hwnd_, &r);
    const int width = r.right - r.left, height = r.bottom - r.top;
    SetWindowPos(hwnd_, nullptr, (GetSystemMetrics(SM_CXSCREEN) - width) / 2,
                 (GetSystemMetrics(SM_CYSCREEN) - height) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    if (options_.show) {
        ShowWindow(hwnd_, SW_SHOWNORMAL);
        UpdateWindow(hwnd_);
        if (HWND first = GetNextDlgTabItem(hwnd_, nullptr, FALSE)) SetFocus(first);
    }
    return true;
}

bool Form1::CreateWindowAndControls() {
    if (!RegisterFormClass(&Form1::WindowProc)) return false;
    RECT frame{0, 0, Pixels(kDesignClientWidth, scale_.x), Pixels(kDesignClientHeight, scale_.y)};
    AdjustWindowRectEx(&frame, kStyle, FALSE, kExStyle);
    hwnd_ = CreateWindowExW(kExStyle, kClassName, kProgramTitle, kStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                            frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr,
                            GetModuleHandleW(nullptr), this);
    if (!hwnd_) return false;

    formBrush_.reset(CreateSolidBrush(kFormColour));
    editBrush_.reset(CreateSolidBrush(kEditBack));
    linkCursor_ = static_cast<HCURSOR>(
        LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDC_LINK), IMAGE_CURSOR, 0, 0, LR_SHARED));
    if (!linkCursor_) linkCursor_ = LoadCursorW(nullptr, IDC_HAND);

    int id = kFirstControlId;
    for (Control* c : Controls()) c->Create(hwnd_, id++);
    timerRun.Attach(hwnd_, kTimerId);

    picBack1.SetPicture(Picture::FromResource(IDR_BACK_NORMAL));
    picBack2.SetPicture(Picture::FromResource(IDR_BACK_HIGHLIGHT));
    shown_ = picBack1.GetPicture();

    // Registered before anything else happens, so that a drop arriving early is not refused.
    dropTarget_ = DropTarget::Create([this] { OnDragFeedback(); },
                                     [this](IDataObject* data, DWORD* effect) {
                                         if (events.drop)
                                             events.drop(data, effect);
                                         else if (effect)
                                             *effect = DROPEFFECT_NONE;  // nobody takes the data
                                     });
    dropRegistered_ = SUCCEEDED(RegisterDragDrop(hwnd_, dropTarget_.get()));
    return true;
}

// Start-up. The runner, the dialogs and the settings file may fail: each is then skipped
// and the next step runs.
void Form1::RunLoadSteps() {
    strOutputPath = kDefaultOutputPath;
    if (events.createRunner) SkipOnFailure(events.createRunner);
    if (events.createDialogs) SkipOnFailure(events.createDialogs);

    // Restore the option controls from the settings file, line by line.
    SkipOnFailure([&] {
        const auto lines = ReadSettingsFile(SettingsPath());
        if (!lines) return;
        const auto targets = SettingsControls();
        for (std::size_t i = 0; i < lines->size() && i < targets.size(); ++i) targets[i]->SetText((*lines)[i]);
        YieldToMessages();
    });
    if (Label5.Text() == L"YES") txtResize.SetEnabled(true);

    // Pixel-density adjustment: twips and points scaled by (twips per pixel) / 15.
    const double tpx = scale_.x, tpy = scale_.y;
    for (Control* c : Controls()) {
        c->SetLeft(c->Left() * tpx / 15.0);
        c->SetTop(c->Top() * tpy / 15.0);
        c->SetWidth(c->Width() * tpx / 15.0);
        c->SetHeight(c->Height() * tpy / 15.0);
        c->SetFontSize(c->FontSize() * tpx / 15.0);
    }

    // The window's outer size: as wide as picBack2, as high as Label3's top + 820 twips.
    // Both controls are already adjusted to the density, so the size is not scaled a
    // second time: that would cut the option strip off the window above 96 DPI.
    SetWindowPos(hwnd_, nullptr, 0, 0, Pixels(picBack2.Width(), tpx), Pixels(Label3.Top() + 820.0, tpy),
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    YieldToMessages();
    SetWindowPos(hwnd_, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
}

void Form1::Close() {
    if (hwnd_) SendMessageW(hwnd_, WM_CLOSE, 0, 0);
}

// Shutdown: the four option values are written (or not, when the file cannot be);
// nothing else is touched.
void Form1::Unload() {
    SkipOnFailure([&] {
        const auto c = SettingsControls();
        const SettingsValues values{c[0]->Text(), c[1]->Text(), c[2]->Text(), c[3]->Text()};
        WriteSettingsFile(SettingsPath(), values);
    });
    YieldToMessages();
}

void Form1::ShowNormalBackground() { ShowPicture(picBack1.GetPicture()); }

bool Form1::ShowsNormalBackground() const { return shown_ == picBack1.GetPicture(); }

void Form1::ShowPicture(const Picture* picture) {
    if (picture == shown_) return;
    shown_ = picture;
    if (hwnd_) RedrawWindow(hwnd_, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN);
}

// Hover feedback: the highlighted background while the pointer is over the drop area,
// except while a batch shows its progress.
void Form1::OnPointerMove(double x, double y) {
    if (IsBusyCaption(Label1.TextPrefix(kBusyPrefixLength))) return;
    const bool inside = x > kDropAreaLeft && y > kDropAreaTop && x < kDropAreaRight && y < kDropAreaBottom;
    if (inside) {
        if (ShowsNormalBackground()) ShowPicture(picBack2.GetPicture());
    } else if (!ShowsNormalBackground()) {
        ShowNormalBackground();
    }
}

// Drag feedback: whatever is dragged, wherever, the prompt is hidden.
void Form1::OnDragFeedback() { Label1.SetVisible(false); }

// A handler may still run when the window has gone: a batch goes on after the window was
// closed during it. The program ends only when the last running handler has returned, so
// that the batch can still show its failure message (a pending quit would end that box at
// once) and every photo is converted.
template <class F>
void Form1::Run(const F& handler) {
    if (!handler) return;
    ++runningHandlers_;
    SkipOnFailure(handler);
    if (--runningHandlers_ == 0 && quitPending_) {
        quitPending_ = false;
        PostQuitMessage(0);
    }
}

void Form1::OnCommand(int id, int code) {
    const HWND child = GetDlgItem(hwnd_, id);
    if (!child) return;
    if (code == STN_CLICKED || code == BN_CLICKED) {  // both 0
        if (child == Command1.Handle() || child == lblPath.Handle())
            Run(events.command1Click);
        else if (child == lblFormat.Handle())
            Run(events.lblFormatClick);
        else if (child == Label5.Handle())
            Run(events.label5Click);
        else if (child == Label3.Handle())
            Run(events.label3Click);
    }
}

// A tick never enters a batch that an earlier tick is still running.
void Form1::OnTimer(UINT_PTR id) {
    if (id != timerRun.Id() || inTick_) return;
    inTick_ = true;
    Run(events.timerTick);
    inTick_ = false;
}

// Whether a pointer position (client pixels, as a mouse message gives it) lies on the
// window's own surface: inside the client area and over no visible, enabled control.
bool Form1::IsOnSurface(LPARAM position) const {
    const POINT p{static_cast<short>(LOWORD(position)), static_cast<short>(HIWORD(position))};
    RECT client{};
    GetClientRect(hwnd_, &client);
    if (!PtInRect(&client, p)) return false;
    return ChildWindowFromPointEx(hwnd_, p, CWP_SKIPINVISIBLE | CWP_SKIPDISABLED) == hwnd_;
}

void Form1::OnPaint() {
    PaintScope paint(hwnd_);
    RECT client{};
    GetClientRect(hwnd_, &client);
    int right = 0, bottom = 0;
    if (shown_) {
        shown_->Draw(paint.dc());
        right = shown_->Width();
        bottom = shown_->Height();
    }
    // The window's colour where the picture does not reach.
    const RECT beside{right, 0, client.right, client.bottom};
    const RECT below{0, bottom, right, client.bottom};
    if (beside.left < beside.right) FillRect(paint.dc(), &beside, formBrush_.get());
    if (below.top < below.bottom) FillRect(paint.dc(), &below, formBrush_.get());
}

// Labels are drawn over the background picture: their background is a brush of the shown
// picture, aligned with the window's client origin, so they stay transparent and never
// smear when their text changes. Text boxes, read-only or disabled, draw as edit boxes.
LRESULT Form1::OnCtlColorStatic(HDC dc, HWND child) {
    if (const Control* c = ControlOf(child); c && c->IsTextBox()) {
        SetTextColor(dc, IsWindowEnabled(child) ? kEditText : kEditDisabledText);
        SetBkColor(dc, kEditBack);
        return reinterpret_cast<LRESULT>(editBrush_.get());
    }
    SetTextColor(dc, kLabelText);
    SetBkMode(dc, TRANSPARENT);
    if (!shown_ || !shown_->Brush()) return reinterpret_cast<LRESULT>(formBrush_.get());
    RECT r{};
    GetWindowRect(child, &r);
    MapWindowPoints(nullptr, hwnd_, reinterpret_cast<POINT*>(&r), 2);
    SetBrushOrgEx(dc, -r.left, -r.top, nullptr);
    return reinterpret_cast<LRESULT>(shown_->Brush());
}

LRESULT Form1::OnCtlColorEdit(HDC dc) {
    SetTextColor(dc, kEditText);
    SetBkColor(dc, kEditBack);
    return reinterpret_cast<LRESULT>(editBrush_.get());
}

// The link cursor over the link labels; false leaves the cursor to the system.
bool Form1::OnSetCursor(HWND child, UINT hitTest) {
    if (!IsLinkLabel(child) || hitTest != HTCLIENT) return false;
    SetCursor(linkCursor_);
    return true;
}

void Form1::OnMouseMove(LPARAM position) {
    // While a press holds the pointer, a move over a control is still that control's.
    if (surfacePressed_ && !IsOnSurface(position)) return;
    OnPointerMove(static_cast<short>(LOWORD(position)) * scale_.x, static_cast<short>(HIWORD(position)) * scale_.y);
}

// The release comes here wherever it happens, so that a press is a click only when it is
// released on the surface, and is forgotten otherwise.
void Form1::OnLButtonDown() {
    surfacePressed_ = true;
    SetCapture(hwnd_);
}

void Form1::OnLButtonUp(LPARAM position) {
    if (!surfacePressed_) return;
    surfacePressed_ = false;
    ReleaseCapture();
    if (IsOnSurface(position)) Run(events.surfaceClick);
}

// Taken away (a dialog, another window): the press is no click.
void Form1::OnCaptureChanged() { surfacePressed_ = false; }

void Form1::OnClose() {
    Unload();
    DestroyWindow(hwnd_);
}

void Form1::OnDestroy() {
    if (dropRegistered_) RevokeDragDrop(hwnd_);
    dropRegistered_ = false;
    timerRun.Forget();
    // The children are still there: each keeps what it shows for a running handler.
    for (Control* c : Controls()) c->Forget();
    if (options_.quitOnClose) {
        if (runningHandlers_ > 0)
            quitPending_ = true;
        else
            PostQuitMessage(0);
    }
}

LRESULT Form1::OnNcDestroy(WPARAM wp, LPARAM lp) {
    const HWND gone = std::exchange(hwnd_, nullptr);
    SetWindowLongPtrW(gone, GWLP_USERDATA, 0);
    return DefWindowProcW(gone, WM_NCDESTROY, wp, lp);
}

LRESULT CALLBACK Form1::WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    Form1* self = nullptr;
    if (msg == WM_NCCREATE) {
        self = static_cast<Form1*>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams);
        self->hwnd_ = hwnd;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    } else {
        self = reinterpret_cast<Form1*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    }
    if (!self) return DefWindowProcW(hwnd, msg, wp, lp);
    try {
        return self->Dispatch(msg, wp, lp);
    } catch (...) {
        return DefWindowProcW(hwnd, msg, wp, lp);
    }
}

// Each message the window handles goes to its handler; the rest to the system.
LRESULT Form1::Dispatch(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case WM_ERASEBKGND: return 1;  // OnPaint covers the whole client area
        case WM_PAINT: OnPaint(); return 0;
        case WM_CTLCOLORSTATIC: return OnCtlColorStatic(reinterpret_cast<HDC>(wp), reinterpret_cast<HWND>(lp));
        case WM_CTLCOLOREDIT: return OnCtlColorEdit(reinterpret_cast<HDC>(wp));
        case WM_SETCURSOR:
            if (OnSetCursor(reinterpret_cast<HWND>(wp), LOWORD(lp))) return TRUE;
            break;
        case WM_MOUSEMOVE: OnMouseMove(lp); return 0;
        case WM_LBUTTONDOWN: OnLButtonDown(); return 0;
        case WM_LBUTTONUP: OnLButtonUp(lp); return 0;
        case WM_CAPTURECHANGED: OnCaptureChanged(); return 0;
        case WM_COMMAND:
            if (lp) OnCommand(LOWORD(wp), HIWORD(wp));
            return 0;
        case WM_TIMER: OnTimer(wp); return 0;
        case WM_CLOSE: OnClose(); return 0;
        case WM_DESTROY: OnDestroy(); return 0;
        case WM_NCDESTROY: return OnNcDestroy(wp, lp);
        default: break;
    }
    return DefWindowProcW(hwnd_, msg, wp, lp);
}

}  // namespace tess
