#include "app/window_services.h"

// The program's one top-level window; set by the main window's WM_CREATE.
HWND MainWindow = NULL;

// One non-blocking step of message handling: takes at most one waiting message
// of any window, dispatches it, and repaints the active window at once so that
// the display keeps up while long work holds the thread.
void DoEvents() {
    MSG message;
    if (!PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) return;
    TranslateMessage(&message);
    DispatchMessageA(&message);
    // With no active window (the program is in the background) a redraw of
    // NULL would repaint the whole desktop after every message.
    HWND active = GetActiveWindow();
    if (active != NULL) RedrawWindow(active, NULL, NULL, RDW_UPDATENOW);
}

// A modal message box; the button pressed goes to *answer when a place is given.
void ShowMessage(HWND owner, const char* text, const char* caption, UINT style, int* answer) {
    int pressed = MessageBoxA(owner, text, caption, style);
    if (answer != NULL) *answer = pressed;
}
