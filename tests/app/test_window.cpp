#include "tests/app/test_window.h"

#include "app/window_services.h"

static const char TEST_WINDOW_CLASS[] = "QuorvaneTestWindow";

// Counts the test notes and the paints; everything else is the default's.
static LRESULT CALLBACK CountingWindowProc(HWND window, UINT message, WPARAM wParam,
                                           LPARAM lParam) {
    if (message == WM_NCCREATE) {
        CREATESTRUCTA* create = (CREATESTRUCTA*)lParam;
        SetWindowLongPtrA(window, GWLP_USERDATA, (LONG_PTR)create->lpCreateParams);
    }
    WindowCounts* counts = (WindowCounts*)GetWindowLongPtrA(window, GWLP_USERDATA);
    if (message == WM_TEST_NOTE && counts) {
        counts->notes++;
        counts->lastNote = wParam;
        return 0;
    }
    if (message == WM_PAINT) {
        PAINTSTRUCT paint;
        BeginPaint(window, &paint);
        EndPaint(window, &paint);
        if (counts) counts->paints++;
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

HWND CreateCountingWindow(WindowCounts* counts, int show) {
    WNDCLASSEXA windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = CountingWindowProc;
    windowClass.hInstance = GetModuleHandleA(NULL);
    windowClass.hCursor = LoadCursorA(NULL, (LPCSTR)IDC_ARROW);
    windowClass.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = TEST_WINDOW_CLASS;
    RegisterClassExA(&windowClass);  // fails harmlessly when already registered
    HWND window = CreateWindowExA(0, TEST_WINDOW_CLASS, "Quorvane test", WS_OVERLAPPEDWINDOW, 40,
                                  40, 300, 120, NULL, NULL, GetModuleHandleA(NULL), counts);
    if (window) {
        ShowWindow(window, show);
        UpdateWindow(window);
    }
    return window;
}

void DrainMessages() {
    DWORD quietSince = GetTickCount();
    while (GetTickCount() - quietSince < 150) {
        MSG message;
        if (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
            quietSince = GetTickCount();
        } else {
            Sleep(5);
        }
    }
}

bool QueueEmpty() {
    MSG message;
    return !PeekMessageA(&message, NULL, 0, 0, PM_NOREMOVE);
}

HWND OpenMainWindow(WindowCounts* counts) {
    HWND window = CreateCountingWindow(counts, SW_SHOW);
    if (window == NULL) return NULL;
    SetForegroundWindow(window);
    SetActiveWindow(window);
    MainWindow = window;
    DrainMessages();
    *counts = WindowCounts();
    return window;
}

void CloseMainWindow(HWND window) {
    MainWindow = NULL;
    if (window) DestroyWindow(window);
    DrainMessages();
}

void PostNotes(HWND window, uint32_t count) {
    for (uint32_t i = 1; i <= count; i++) PostMessageA(window, WM_TEST_NOTE, i, 0);
}

namespace {

struct Presser {
    DWORD ownerThread;
    int buttonId;
    BoxSeen* seen;
};

BOOL CALLBACK FindBox(HWND window, LPARAM found) {
    char className[32] = {0};
    GetClassNameA(window, className, sizeof className);
    if (lstrcmpA(className, "#32770") == 0 && IsWindowVisible(window)) {
        *(HWND*)found = window;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK RecordControl(HWND control, LPARAM context) {
    BoxSeen* seen = (BoxSeen*)context;
    char className[32] = {0};
    GetClassNameA(control, className, sizeof className);
    char text[1024] = {0};
    GetWindowTextA(control, text, sizeof text);
    if (lstrcmpiA(className, "Static") == 0 && text[0]) seen->texts.push_back(text);
    if (lstrcmpiA(className, "Button") == 0) seen->buttons.push_back(GetDlgCtrlID(control));
    return TRUE;
}

DWORD WINAPI PressWhenShown(void* context) {
    Presser* presser = (Presser*)context;
    HWND box = NULL;
    for (int tries = 0; tries < 2000 && box == NULL; tries++) {
        EnumThreadWindows(presser->ownerThread, FindBox, (LPARAM)&box);
        if (box == NULL) Sleep(10);
    }
    if (box == NULL) {
        delete presser;
        return 1;
    }
    BoxSeen* seen = presser->seen;
    seen->found = true;
    seen->owner = GetWindow(box, GW_OWNER);
    char caption[256] = {0};
    GetWindowTextA(box, caption, sizeof caption);
    seen->caption = caption;
    EnumChildWindows(box, RecordControl, (LPARAM)seen);
    HWND button = GetDlgItem(box, presser->buttonId);
    if (button) {
        SendMessageA(button, BM_CLICK, 0, 0);
    } else {
        // The button asked for is not there: end the box with its id anyway,
        // so that the test fails on what it saw instead of waiting for ever.
        PostMessageA(box, WM_COMMAND, presser->buttonId, 0);
    }
    delete presser;
    return 0;
}

}  // namespace

HANDLE StartBoxPresser(DWORD ownerThread, int buttonId, BoxSeen* seen) {
    Presser* presser = new Presser{ownerThread, buttonId, seen};
    return CreateThread(NULL, 0, PressWhenShown, presser, 0, NULL);
}

void FinishBoxPresser(HANDLE presser) {
    WaitForSingleObject(presser, 30000);
    CloseHandle(presser);
}
