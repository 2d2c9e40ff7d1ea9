// Start-up of the extractor: shared font and brush, the two window classes,
// the stage-1 buffer size, the main window, and the message loop.
#include <windows.h>

#include "app/main_window.h"
#include "app/texts.h"
#include "codec/012coding.h"
#include "decoder/work_files.h"

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

namespace {

// The program is started from folders where anyone may drop files. Where the
// system allows it, libraries loaded from now on come from the system folder
// only, never from the program's own folder or the current one.
void RestrictLibrarySearch() {
    typedef BOOL(WINAPI * SetDefaultDllDirectoriesFunction)(DWORD);
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    if (!kernel) return;
    SetDefaultDllDirectoriesFunction restrict_search =
        (SetDefaultDllDirectoriesFunction)(void*)GetProcAddress(kernel, "SetDefaultDllDirectories");
    if (restrict_search) restrict_search(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

HFONT CreateDialogFont() {
    return CreateFontA(-12, 0, 0, 0, FW_NORMAL, 0, 0, 0, SHIFTJIS_CHARSET, OUT_STROKE_PRECIS,
                       CLIP_STROKE_PRECIS, DRAFT_QUALITY, FF_SWISS | DEFAULT_PITCH, TEXT_FONT_FACE);
}

// Both classes share everything but the procedure and the icons.
void RegisterWindowClass(HINSTANCE instance, const char* name, WNDPROC procedure, HICON large,
                         HICON small) {
    WNDCLASSEXA window_class = {};
    window_class.cbSize = sizeof window_class;
    window_class.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
    window_class.lpfnWndProc = procedure;
    window_class.hInstance = instance;
    window_class.hIcon = large;
    window_class.hIconSm = small;
    window_class.hCursor = LoadCursorA(NULL, IDC_ARROW);
    window_class.hbrBackground = BackgroundBrush;
    window_class.lpszClassName = name;
    RegisterClassExA(&window_class);
}

// Runs until the quit message arrives or GetMessageA fails. No dialog or
// accelerator processing: Tab and Enter neither move the focus nor press a button.
void RunMessageLoop() {
    MSG message;
    for (;;) {
        BOOL result = GetMessageA(&message, NULL, 0, 0);
        if (result == 0 || result == -1) return;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    RestrictLibrarySearch();
    // Work-file names are drawn from the same sequence in every run.
    RandomState = 1;

    DialogFont = CreateDialogFont();
    BackgroundBrush = CreateSolidBrush(GetSysColor(COLOR_3DFACE));
    RegisterWindowClass(instance, PLAIN_DIALOG_CLASS, DefWindowProcA,
                        LoadIconA(NULL, IDI_APPLICATION), LoadIconA(NULL, IDI_WINLOGO));

    MEMORYSTATUS memory = {};
    memory.dwLength = sizeof memory;
    GlobalMemoryStatus(&memory);
    RC_BUF_SIZE = RcBufSizeForMemory(memory.dwTotalPhys);

    HICON icon = LoadIconA(instance, MAKEINTRESOURCEA(ICON_RESOURCE));
    RegisterWindowClass(instance, MAIN_WINDOW_CLASS, MainWindowProc, icon, icon);

    // Visible through its style; WM_CREATE builds the controls.
    CreateWindowExA(0, MAIN_WINDOW_CLASS, TEXT_WINDOW_CAPTION, MAIN_WINDOW_STYLE, CW_USEDEFAULT,
                    CW_USEDEFAULT, MAIN_WINDOW_WIDTH, MAIN_WINDOW_HEIGHT, NULL, NULL, instance,
                    NULL);

    RunMessageLoop();
    ExitProcess(0);
}
