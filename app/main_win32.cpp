// The program's entry: one hidden window of class "lookup", whose creation reads the
// settings, then the single run and the end. There is no message loop; only the modal
// dialog, the file chooser and the message boxes run one of their own.
#include "resource.h"
#include "run_sequence.h"
#include "settings.h"

#include <windows.h>

static const char main_class_name[] = "lookup";

// The window procedure of class "lookup". The window is never shown, so it only ever sees
// its creation and its end.
static LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_CREATE:
        // The settings and the paths. A program folder too long for the paths has been
        // reported already; failing the creation then ends the program before anything is
        // read, shown or sent.
        return load_settings() ? 0 : -1;
    case WM_CLOSE:
        DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    WNDCLASSA window_class;
    window_class.style = CS_HREDRAW | CS_VREDRAW;
    window_class.lpfnWndProc = main_window_proc;
    window_class.cbClsExtra = 0;
    window_class.cbWndExtra = 0;
    window_class.hInstance = instance;
    window_class.hIcon = LoadIconA(instance, PROGRAM_ICON_NAME);
    window_class.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_APPWORKSPACE + 1);
    window_class.lpszMenuName = nullptr;
    window_class.lpszClassName = main_class_name;
    if (!RegisterClassA(&window_class))
        return 0;

    HWND main_window = CreateWindowA(main_class_name, nullptr,
                                     WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 2, 2,
                                     GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN),
                                     nullptr, nullptr, instance, nullptr);
    if (!main_window)
        return 0;

    app_instance = instance;
    run_sequence();
    DestroyWindow(main_window);
    return 0;
}
