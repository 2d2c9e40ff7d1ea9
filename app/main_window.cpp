// The main window's procedure: it only dispatches, one small handler per
// message, and it keeps a running extraction from being re-entered or
// closed under it.
#include "app/main_window.h"

#include "app/destination.h"
#include "app/texts.h"
#include "app/extraction_run.h"

HFONT DialogFont;
HBRUSH BackgroundBrush;

namespace {

// Position, size and look of one child control, in client pixels.
struct ControlLayout {
    int id;
    const char* window_class;
    const char* text;
    int x, y, width, height;
    DWORD style;
    DWORD extended_style;
};

// No control has WS_TABSTOP: the message loop does no dialog navigation.
const DWORD EDIT_STYLE = WS_CHILD | WS_VISIBLE | ES_AUTOHSCROLL;   // 0x50000080
const DWORD STATIC_STYLE = WS_CHILD | WS_VISIBLE;                  // 0x50000000
const DWORD BUTTON_STYLE = WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON;  // 0x50000000

// The five controls, created in this order.
const ControlLayout CONTROLS[] = {
    {DestinationBox, "EDIT", "", 100, 10, 290, 20, EDIT_STYLE, WS_EX_CLIENTEDGE},
    {DestinationLabel, "STATIC", TEXT_LABEL, 12, 14, 86, 20, STATIC_STYLE, 0},
    {BrowseButton, "BUTTON", TEXT_BROWSE, 396, 10, 60, 20, BUTTON_STYLE, 0},
    {ExtractButton, "BUTTON", TEXT_EXTRACT, 60, 40, 160, 30, BUTTON_STYLE, 0},
    {ExitButton, "BUTTON", TEXT_EXIT, 240, 40, 160, 30, BUTTON_STYLE, 0},
};

// A run is busy exactly while DestinationBox is disabled: the run disables it
// first and enables it again last.
bool RunIsBusy() { return !IsWindowEnabled(GetDlgItem(MainWindow, DestinationBox)); }

// Stores the window, creates the controls with the dialog font, and fills in
// the default destination.
LRESULT OnCreate(HWND window) {
    MainWindow = window;
    HINSTANCE instance = GetModuleHandleA(NULL);
    for (const ControlLayout& control : CONTROLS) {
        HWND child =
            CreateWindowExA(control.extended_style, control.window_class, control.text,
                            control.style, control.x, control.y, control.width, control.height,
                            window, (HMENU)(INT_PTR)control.id, instance, NULL);
        SendMessageA(child, WM_SETFONT, (WPARAM)DialogFont, 0);
    }
    InitDestination();
    return 0;
}

// Buttons act on a click only, and never while a run is busy: a posted
// WM_COMMAND dispatched by the run's message pump or a message box's modal
// loop would otherwise start a second run or destroy the window under it.
LRESULT OnCommand(WPARAM wparam) {
    int id = LOWORD(wparam);
    int code = HIWORD(wparam);
    if (code != BN_CLICKED || RunIsBusy()) return 0;
    switch (id) {
        case BrowseButton:
            BrowseForDestination();
            break;
        case ExtractButton:
            ExtractionRun();
            break;
        case ExitButton:
            DestroyWindow(MainWindow);
            break;
        default:
            break;
    }
    return 0;
}

// The close box, the system menu and Alt+F4 all end here; a busy run cannot
// be cut short.
LRESULT OnClose(HWND window) {
    if (!RunIsBusy()) DestroyWindow(window);
    return 0;
}

// Releases the shared GDI objects and ends the message loop.
LRESULT OnDestroy() {
    DeleteObject(DialogFont);
    DeleteObject(BackgroundBrush);
    PostQuitMessage(0);
    return 0;
}

}  // namespace

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_CREATE:
            return OnCreate(window);
        case WM_COMMAND:
            return OnCommand(wparam);
        case WM_CLOSE:
            return OnClose(window);
        case WM_DESTROY:
            return OnDestroy();
        default:
            return DefWindowProcA(window, message, wparam, lparam);
    }
}
