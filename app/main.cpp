// Tessaline: the window program. One window, one thread; everything happens in the
// window's handlers.
#include <windows.h>
#include <ole2.h>

#include "app/form1.h"
#include "app/form1_wiring.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // OLE for the drop target and the picture loader.
    const HRESULT ole = OleInitialize(nullptr);
    int code = 0;
    {
        tess::Form1::Options options;
        options.quitOnClose = true;
        tess::Form1 form(options);
        // The runner, the dialogs, the option controls and the batch drivers.
        tess::FormWiring wiring(form);
        if (form.Load()) {
            MSG msg;
            while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
                // Tab moves the focus between the text boxes.
                if (form.hwnd() && IsDialogMessageW(form.hwnd(), &msg)) continue;
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
            code = static_cast<int>(msg.wParam);
        }
    }
    if (SUCCEEDED(ole)) OleUninitialize();
    return code;
}
