// A Form1 per test, with APPDATA pointed at a fresh temporary folder of its own.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "app/form1.h"

namespace tess::testing {

// Processes every waiting message, repeatedly, for about `ms` milliseconds.
void PumpFor(int ms);

std::string ReadBytes(const std::wstring& path);
void WriteBytes(const std::wstring& path, const std::string& bytes);
bool FileExists(const std::wstring& path);

// The rectangle of a child window in its parent's client coordinates.
RECT ClientRectOf(HWND child);
// The font a control draws with.
LOGFONTW FontOf(HWND control);
// Raises `window` until the screen point `p` shows it (another test's window may pass over
// the spot for a moment); true when it does.
bool RaiseUntilOnTopAt(HWND window, POINT p);
// Visible top-level windows of this thread other than `except` (a message box would be one).
int OtherVisibleWindows(HWND except);

class FormTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Creates and loads the window; `corner` moves it to the screen's bottom-right corner,
    // away from windows of tests running beside this one.
    Form1& Open(Form1::Options options = {}, bool corner = true);
    void CloseForm();
    std::wstring SettingsFile() const { return dir_ + L"\\settingheic.ini"; }

    std::wstring dir_;
    std::unique_ptr<Form1> form_;
};

}  // namespace tess::testing
