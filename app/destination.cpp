// The destination folder: the default next to the executable, the folder
// browser, and the platform flag that file positioning depends on.
#include "app/destination.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <string.h>

#include "app/texts.h"
#include "app/window_services.h"
#include "platform/platform.h"

uint32_t IsLegacyPlatform(uint32_t platform_id, uint32_t major, uint32_t minor) {
    // 4.00 and 4.10 of the 9x line; 4.90 of the same line positions files
    // with 64-bit distances like every other system.
    return platform_id == VER_PLATFORM_WIN32_WINDOWS && major * 100 + minor <= 410 ? 1 : 0;
}

int InStrRev(const char* text, int text_length, const char* find, int find_length) {
    if (find_length <= 0 || find_length > text_length) return 0;
    const char* position = text + (text_length - find_length + 1);
    for (;;) {
        position = CharPrevA(text, position);
        if (CompareStringA(LOCALE_USER_DEFAULT, 0, position, find_length, find, find_length) ==
            CSTR_EQUAL)
            return (int)(position - text) + 1;
        if (position == text) return 0;
    }
}

void InitDestination() {
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;  // 148
    GetVersionExA(&version);
    IsWin9x =
        IsLegacyPlatform(version.dwPlatformId, version.dwMajorVersion, version.dwMinorVersion);

    // The folder next to the executable, named after it. The last dot of the
    // whole path counts, even one in a folder name.
    char path[MAX_PATH] = {0};
    GetModuleFileNameA(NULL, path, MAX_PATH);
    path[MAX_PATH - 1] = 0;
    int dot = InStrRev(path, (int)strlen(path), ".", 1);
    if (dot != 0) path[dot - 1] = 0;
    SetDlgItemTextA(MainWindow, DestinationBox, path);
}

// The folder browser is a shell object: the thread that shows it must be in
// a single-threaded apartment. Entered before the first browse and kept for
// the program's life; the window's thread is the only one.
static void EnterComApartment() {
    static bool entered = false;
    if (entered) return;
    entered = true;
    CoInitializeEx(NULL, COINIT_APARTMENTTHREADED);
}

void FolderDialog(char* path) {
    path[0] = 0;
    EnterComApartment();
    BROWSEINFOA browse = {};
    browse.hwndOwner = MainWindow;
    browse.lpszTitle = TEXT_FOLDER_TITLE;
    browse.ulFlags = BIF_RETURNONLYFSDIRS;
    LPITEMIDLIST items = SHBrowseForFolderA(&browse);
    if (!items) return;
    // An item without a file-system path leaves the buffer empty.
    if (!SHGetPathFromIDListA(items, path)) path[0] = 0;
    path[MAX_PATH - 1] = 0;
    CoTaskMemFree(items);
}

void BrowseForDestination() {
    char path[MAX_PATH];
    FolderDialog(path);
    if (path[0] != 0) SetDlgItemTextA(MainWindow, DestinationBox, path);
}
