// The destination folder's helpers under the code page 932 that the program
// runs with: the reverse search that steps back whole characters, the
// platform flag, and the default destination put into a real edit box.
#include <windows.h>
#include <objbase.h>
#include <string.h>

#include <gtest/gtest.h>

#include "app/destination.h"
#include "app/window_services.h"
#include "platform/platform.h"
#include "tests/app/test_window.h"

namespace {

int Find(const char* text, const char* find) {
    return InStrRev(text, (int)strlen(text), find, (int)strlen(find));
}

TEST(InStrRev, FindsTheLastOccurrenceInTheWholeString) {
    EXPECT_EQ(Find("C:\\dir\\name.tar.gz", "."), 16);
    EXPECT_EQ(Find("C:\\a.b\\file", "."), 5);  // a dot in a folder name counts
    EXPECT_EQ(Find("abcabc", "bc"), 5);
    EXPECT_EQ(Find("abcabc", "abcabc"), 1);
    EXPECT_EQ(Find(".x", "."), 1);
    EXPECT_EQ(Find("x.", "."), 2);
}

TEST(InStrRev, AnswersZeroWithoutAnOccurrence) {
    EXPECT_EQ(Find("C:\\dir\\name", "."), 0);
    EXPECT_EQ(Find("", "."), 0);
    EXPECT_EQ(Find("ab", "abc"), 0);
    EXPECT_EQ(Find("abc", ""), 0);
}

TEST(InStrRev, NeverMatchesTheTrailByteOfADoubleByteCharacter) {
    // 0x95 0x5C and 0x83 0x5C are single characters whose second byte is a
    // backslash.
    EXPECT_EQ(Find("\x95\x5C", "\\"), 0);
    EXPECT_EQ(Find("a\\\x95\x5C", "\\"), 2);
    EXPECT_EQ(Find("\x83\x5C\x83\x5C", "\\"), 0);
    EXPECT_EQ(Find("\x83\x5C\x83\x5C", "\x83\x5C"), 3);
}

TEST(InStrRev, StepsOverADoubleByteCharacterAtTheEnd) {
    EXPECT_EQ(Find("a.b\x95\x5C", "."), 2);
    EXPECT_EQ(Find("\x89\xF0\x93\x80.\x89\xF0\x93\x80", "."), 5);
}

TEST(IsLegacyPlatform, OnlyVersions400And410OfThe9xLine) {
    EXPECT_EQ(IsLegacyPlatform(VER_PLATFORM_WIN32_WINDOWS, 4, 0), 1u);
    EXPECT_EQ(IsLegacyPlatform(VER_PLATFORM_WIN32_WINDOWS, 4, 10), 1u);
    EXPECT_EQ(IsLegacyPlatform(VER_PLATFORM_WIN32_WINDOWS, 4, 90), 0u);
    EXPECT_EQ(IsLegacyPlatform(VER_PLATFORM_WIN32_NT, 4, 0), 0u);
    EXPECT_EQ(IsLegacyPlatform(VER_PLATFORM_WIN32_NT, 10, 0), 0u);
}

// A hidden window with an edit box of the destination's id stands in for the
// main window.
TEST(InitDestination, PutsTheModulePathWithoutItsExtensionIntoTheBox) {
    HWND parent = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 100, 100, NULL, NULL,
                                  GetModuleHandleA(NULL), NULL);
    ASSERT_NE(parent, (HWND)NULL);
    HWND box = CreateWindowExA(0, "EDIT", "before", WS_CHILD | ES_AUTOHSCROLL, 0, 0, 50, 20, parent,
                               (HMENU)(INT_PTR)DestinationBox, GetModuleHandleA(NULL), NULL);
    ASSERT_NE(box, (HWND)NULL);
    MainWindow = parent;
    IsWin9x = 7;

    InitDestination();

    char module[MAX_PATH] = {0};
    GetModuleFileNameA(NULL, module, MAX_PATH);
    size_t length = strlen(module);
    ASSERT_GT(length, 4u);
    ASSERT_EQ(_stricmp(module + length - 4, ".exe"), 0);
    module[length - 4] = 0;

    char text[MAX_PATH + 1] = {0};
    GetDlgItemTextA(parent, DestinationBox, text, sizeof text);
    EXPECT_STREQ(text, module);
    // Decided from the running system, which is not of the 9x line here.
    EXPECT_EQ(IsWin9x, 0u);

    MainWindow = NULL;
    DestroyWindow(parent);
}

// Whether the calling thread is in a single-threaded apartment: there, asking
// for the multithreaded one is refused; any other answer is taken back.
bool InSingleThreadedApartment() {
    HRESULT result = CoInitializeEx(NULL, COINIT_MULTITHREADED);
    if (result == RPC_E_CHANGED_MODE) return true;
    if (SUCCEEDED(result)) CoUninitialize();
    return false;
}

// The folder browser is a shell object: the thread that shows it must have
// entered a single-threaded apartment, and stays in it. Cancelled, the
// browser leaves the box alone.
TEST(BrowseForDestination, ShowsTheBrowserInASingleThreadedApartment) {
    ASSERT_FALSE(InSingleThreadedApartment());
    HWND parent = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 100, 100, NULL, NULL,
                                  GetModuleHandleA(NULL), NULL);
    ASSERT_NE(parent, (HWND)NULL);
    HWND box =
        CreateWindowExA(0, "EDIT", "typed by hand", WS_CHILD | ES_AUTOHSCROLL, 0, 0, 50, 20, parent,
                        (HMENU)(INT_PTR)DestinationBox, GetModuleHandleA(NULL), NULL);
    ASSERT_NE(box, (HWND)NULL);
    MainWindow = parent;

    BoxSeen seen;
    HANDLE presser = StartBoxPresser(GetCurrentThreadId(), IDCANCEL, &seen);
    BrowseForDestination();
    FinishBoxPresser(presser);

    EXPECT_TRUE(seen.found);
    EXPECT_TRUE(InSingleThreadedApartment());
    char text[MAX_PATH + 1] = {0};
    GetDlgItemTextA(parent, DestinationBox, text, sizeof text);
    EXPECT_STREQ(text, "typed by hand");
    MainWindow = NULL;
    DestroyWindow(parent);
}

}  // namespace
