#include "app/controls.h"

#include <cmath>

namespace tess {
namespace {

int ToPixels(double twips, double twipsPerPixel) {
    return static_cast<int>(std::lround(twips / twipsPerPixel));
}

DWORD StyleFor(const ControlDef& def) {
    DWORD style = WS_CHILD | WS_CLIPSIBLINGS;
    switch (def.kind) {
        case ControlKind::Label:
        case ControlKind::LinkLabel:
            // SS_NOTIFY: the label takes its own clicks and pointer moves instead of passing
            // them through to the window underneath.
            style |= SS_NOTIFY | SS_NOPREFIX;
            if (def.align == TextAlign::Center)
                style |= SS_CENTER;
            else if (def.align == TextAlign::Right)
                style |= SS_RIGHT;
            else if (def.autoSize)
                style |= SS_LEFT;
            else
                style |= SS_LEFT | SS_PATHELLIPSIS;
            break;
        case ControlKind::TextBox:
            style |= ES_LEFT | ES_AUTOHSCROLL | WS_BORDER;
            if (def.visible) style |= WS_TABSTOP;  // the visible text boxes take the focus
            break;
        case ControlKind::ListBox:
            style |= LBS_NOINTEGRALHEIGHT | WS_VSCROLL;
            break;
        case ControlKind::Button:
            style |= BS_PUSHBUTTON;
            break;
        case ControlKind::PictureBox:
            break;
    }
    if (def.visible) style |= WS_VISIBLE;
    if (!def.enabled) style |= WS_DISABLED;
    return style;
}

const wchar_t* ClassFor(ControlKind kind) {
    switch (kind) {
        case ControlKind::TextBox: return L"EDIT";
        case ControlKind::ListBox: return L"LISTBOX";
        case ControlKind::Button: return L"BUTTON";
        default: return L"STATIC";
    }
}

}  // namespace

Control::Control(ControlDef def, const PixelScale& scale) : def_(std::move(def)), scale_(scale) {}

Control::~Control() = default;

void Control::Create(HWND parent, int id) {
    hwnd_ = CreateWindowExW(0, ClassFor(def_.kind), def_.text.c_str(), StyleFor(def_), 0, 0, 0, 0, parent,
                            reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr),
                            nullptr);
    if (!hwnd_) return;
    // Text boxes hold whatever is typed or restored, however long.
    if (def_.kind == ControlKind::TextBox) SendMessageW(hwnd_, EM_SETLIMITTEXT, 0, 0);
    ApplyFont();
    if (def_.autoSize) FitToText();
    Place();
}

void Control::Forget() {
    if (!hwnd_) return;
    def_.text = Text();
    def_.visible = Visible();
    def_.enabled = Enabled();
    hwnd_ = nullptr;
}

std::wstring Control::Text() const {
    if (!hwnd_) return def_.text;
    const int length = GetWindowTextLengthW(hwnd_);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const int got = GetWindowTextW(hwnd_, text.data(), length + 1);
    text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return text;
}

std::wstring Control::TextPrefix(int count) const {
    if (!hwnd_) return def_.text.substr(0, static_cast<std::size_t>(count));
    std::wstring text(static_cast<std::size_t>(count) + 1, L'\0');
    const int got = GetWindowTextW(hwnd_, text.data(), count + 1);
    text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return text;
}

void Control::SetText(std::wstring_view text) {
    def_.text.assign(text);
    if (!hwnd_) return;
    SetWindowTextW(hwnd_, def_.text.c_str());
    if (def_.autoSize) {
        FitToText();
        Place();
    }
}

bool Control::Visible() const { return hwnd_ ? (GetWindowLongW(hwnd_, GWL_STYLE) & WS_VISIBLE) != 0 : def_.visible; }

void Control::SetVisible(bool visible) {
    def_.visible = visible;
    if (hwnd_) ShowWindow(hwnd_, visible ? SW_SHOWNA : SW_HIDE);
}

bool Control::Enabled() const { return hwnd_ ? IsWindowEnabled(hwnd_) != FALSE : def_.enabled; }

void Control::SetEnabled(bool enabled) {
    def_.enabled = enabled;
    if (hwnd_) EnableWindow(hwnd_, enabled);
}

void Control::SetLeft(double twips) { SetPlacement(def_.left, twips); }

void Control::SetTop(double twips) { SetPlacement(def_.top, twips); }

void Control::SetWidth(double twips) { SetPlacement(def_.width, twips); }

void Control::SetHeight(double twips) { SetPlacement(def_.height, twips); }

void Control::SetPlacement(double& field, double twips) {
    field = twips;
    Place();
}

void Control::SetFontSize(double points) {
    if (points == def_.font.points) return;
    def_.font.points = points;
    ApplyFont();
    if (def_.autoSize) FitToText();
    Place();
}

RECT Control::PixelRect() const {
    const int left = ToPixels(def_.left, scale_.x);
    const int top = ToPixels(def_.top, scale_.y);
    return RECT{left, top, left + ToPixels(def_.width, scale_.x), top + ToPixels(def_.height, scale_.y)};
}

void Control::Place() {
    if (!hwnd_) return;
    const RECT r = PixelRect();
    // No bits are carried over from the old place: a label's text is laid out anew in
    // the new rectangle (centred or right-aligned text moves within it).
    SetWindowPos(hwnd_, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                 SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOCOPYBITS);
    InvalidateRect(hwnd_, nullptr, TRUE);
}

void Control::ApplyFont() {
    if (!hwnd_) return;
    // Points to pixels through the window's twips per pixel: 20 twips make one point.
    LOGFONTW lf{};
    lf.lfHeight = -static_cast<LONG>(std::lround(def_.font.points * 20.0 / scale_.y));
    lf.lfWeight = def_.font.weight;
    lf.lfUnderline = def_.font.underline ? TRUE : FALSE;
    lf.lfCharSet = def_.font.charset;
    lf.lfQuality = DEFAULT_QUALITY;
    lstrcpynW(lf.lfFaceName, def_.font.face.c_str(), LF_FACESIZE);
    FontObject font(CreateFontIndirectW(&lf));
    if (!font) return;
    SendMessageW(hwnd_, WM_SETFONT, reinterpret_cast<WPARAM>(font.get()), TRUE);
    font_ = std::move(font);  // the old font is deleted only once the control no longer uses it
}

// The size of the text in the control's font, on one line; the edge that stays in place
// follows the alignment: left, centre or right.
void Control::FitToText() {
    if (!hwnd_ || !font_) return;
    WindowDC screen;
    SelectScope select(screen.get(), font_.get());
    RECT r{0, 0, 0, 0};
    const std::wstring& text = def_.text;
    DrawTextW(screen.get(), text.empty() ? L" " : text.c_str(), text.empty() ? 1 : static_cast<int>(text.size()), &r,
              DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
    const double width = (text.empty() ? 0 : r.right - r.left) * scale_.x;
    const double height = (r.bottom - r.top) * scale_.y;
    if (def_.align == TextAlign::Center)
        def_.left += (def_.width - width) / 2.0;
    else if (def_.align == TextAlign::Right)
        def_.left += def_.width - width;
    def_.width = width;
    def_.height = height;
}

void ListBoxControl::AddItem(std::wstring_view item) {
    const std::wstring copy(item);
    SendMessageW(Handle(), LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(copy.c_str()));
}

int ListBoxControl::ListCount() const {
    const LRESULT n = SendMessageW(Handle(), LB_GETCOUNT, 0, 0);
    return n == LB_ERR ? 0 : static_cast<int>(n);
}

std::wstring ListBoxControl::List(int index) const {
    const LRESULT length = SendMessageW(Handle(), LB_GETTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == LB_ERR) return {};
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const LRESULT got = SendMessageW(Handle(), LB_GETTEXT, static_cast<WPARAM>(index),
                                     reinterpret_cast<LPARAM>(text.data()));
    text.resize(got == LB_ERR ? 0 : static_cast<std::size_t>(got));
    return text;
}

void ListBoxControl::RemoveFirstItem() { SendMessageW(Handle(), LB_DELETESTRING, 0, 0); }

void TimerControl::Forget() {
    if (owner_) KillTimer(owner_, id_);
    owner_ = nullptr;
    enabled_ = false;
}

void TimerControl::SetEnabled(bool enabled) {
    enabled_ = enabled;
    if (!owner_) return;
    if (enabled)
        SetTimer(owner_, id_, interval_, nullptr);
    else
        KillTimer(owner_, id_);
}

}  // namespace tess
