// DoEvents and ShowMessage with a real window, under Wine on a virtual display.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "app/window_services.h"
#include "tests/app/test_window.h"

namespace {

// One real top-level window, active, with an empty queue at the start of each test.
class WindowServicesTest : public ::testing::Test {
protected:
    void SetUp() override {
        window = OpenMainWindow(&counts);
        ASSERT_NE((HWND)NULL, window);
    }
    void TearDown() override { CloseMainWindow(window); }

    HWND window = NULL;
    WindowCounts counts;
};

// Code page 932 texts as the extraction run shows them.
const char OVERWRITE_CAPTION[] = "\x8F\xE3\x8F\x91\x82\xAB\x8A\x6D\x94\x46";
const char OVERWRITE_QUESTION[] =
    "C:\\out\\a.txt\r\n"
    "\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xAA\x91\xB6\x8D\xDD\x82\xB5\x82\xDC\x82\xB7\x81\x42"
    "\x8F\xE3\x8F\x91\x82\xAB\x82\xB5\x82\xDC\x82\xB7\x82\xA9\x81\x48";
const char NOTICE_CAPTION[] = "\x82\xA8\x92\x6D\x82\xE7\x82\xB9";
const char NOTICE_TEXT[] = "notice text";

// The message box's static controls show the text with CR LF turned into a
// line break; compare without the line-break bytes.
std::string WithoutLineBreaks(const std::string& text) {
    std::string out;
    for (char c : text)
        if (c != '\r' && c != '\n') out += c;
    return out;
}

bool ShowsText(const BoxSeen& seen, const char* text) {
    for (const std::string& shown : seen.texts)
        if (WithoutLineBreaks(shown) == WithoutLineBreaks(text)) return true;
    return false;
}

}  // namespace

TEST_F(WindowServicesTest, DoEventsReturnsAtOnceOnAnEmptyQueue) {
    ASSERT_TRUE(QueueEmpty());
    DWORD before = GetTickCount();
    for (int i = 0; i < 20; i++) DoEvents();
    DWORD spent = GetTickCount() - before;
    EXPECT_EQ(0u, counts.notes);
    EXPECT_EQ(0u, counts.paints);
    // Nothing to wait for: twenty calls take far less than a second even
    // under emulation.
    EXPECT_LT(spent, 1000u);
}

TEST_F(WindowServicesTest, DoEventsHandlesExactlyOneOfSeveralWaitingMessages) {
    PostNotes(window, 3);
    for (uint32_t call = 1; call <= 3; call++) {
        DoEvents();
        EXPECT_EQ(call, counts.notes);
        EXPECT_EQ((WPARAM)call, counts.lastNote);  // in the order they were posted
    }
    DoEvents();
    EXPECT_EQ(3u, counts.notes);
    EXPECT_TRUE(QueueEmpty());

    // A message for the thread rather than a window is one message as well.
    PostThreadMessageA(GetCurrentThreadId(), WM_TEST_NOTE, 9, 0);
    PostNotes(window, 1);
    DoEvents();
    EXPECT_EQ(3u, counts.notes);
    EXPECT_FALSE(QueueEmpty());
    DoEvents();
    EXPECT_EQ(4u, counts.notes);
    EXPECT_TRUE(QueueEmpty());
}

TEST_F(WindowServicesTest, DoEventsRepaintsTheActiveWindowRightAfterDispatching) {
    ASSERT_EQ(window, GetActiveWindow());

    // Plain dispatching leaves an invalid window for a later WM_PAINT, because
    // posted messages come out of the queue first.
    InvalidateRect(window, NULL, TRUE);
    PostNotes(window, 1);
    MSG message;
    ASSERT_TRUE(PeekMessageA(&message, NULL, 0, 0, PM_REMOVE));
    DispatchMessageA(&message);
    EXPECT_EQ(1u, counts.notes);
    EXPECT_EQ(0u, counts.paints);
    DrainMessages();
    EXPECT_EQ(1u, counts.paints);

    // DoEvents paints it at once, in the same call.
    counts = WindowCounts();
    InvalidateRect(window, NULL, TRUE);
    PostNotes(window, 1);
    DoEvents();
    EXPECT_EQ(1u, counts.notes);
    EXPECT_EQ(1u, counts.paints);
    EXPECT_FALSE(PeekMessageA(&message, window, WM_PAINT, WM_PAINT, PM_NOREMOVE));
}

namespace {

struct InactiveRun {
    bool hadActiveWindow = true;
    WindowCounts afterOneCall;
    WindowCounts afterPaint;
};

// On a thread of its own, which never activated a window, GetActiveWindow is
// NULL: DoEvents must dispatch and leave painting to the window's own turn.
DWORD WINAPI RunWithoutActiveWindow(void* context) {
    InactiveRun* run = (InactiveRun*)context;
    WindowCounts counts;
    HWND window = CreateCountingWindow(&counts, SW_SHOWNOACTIVATE);
    if (!window) return 1;
    DrainMessages();
    counts = WindowCounts();
    run->hadActiveWindow = GetActiveWindow() != NULL;
    InvalidateRect(window, NULL, TRUE);
    PostNotes(window, 1);
    DoEvents();
    run->afterOneCall = counts;
    DoEvents();  // now the WM_PAINT itself
    run->afterPaint = counts;
    DestroyWindow(window);
    return 0;
}

}  // namespace

TEST(DoEventsWithoutActiveWindow, DispatchesAndLeavesThePaintQueued) {
    InactiveRun run;
    HANDLE thread = CreateThread(NULL, 0, RunWithoutActiveWindow, &run, 0, NULL);
    ASSERT_NE((HANDLE)NULL, thread);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 30000));
    DWORD code = 1;
    GetExitCodeThread(thread, &code);
    CloseHandle(thread);
    ASSERT_EQ(0u, code);
    ASSERT_FALSE(run.hadActiveWindow);
    EXPECT_EQ(1u, run.afterOneCall.notes);
    EXPECT_EQ(0u, run.afterOneCall.paints);
    EXPECT_EQ(1u, run.afterPaint.paints);
}

TEST_F(WindowServicesTest, ShowMessageStoresTheButtonThePlacesAsks) {
    struct Case {
        int press;
        int expected;
    };
    const Case cases[] = {{IDNO, 7}, {IDYES, 6}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.press);
        BoxSeen seen;
        HANDLE presser = StartBoxPresser(GetCurrentThreadId(), c.press, &seen);
        int answer = -1;
        ShowMessage(MainWindow, OVERWRITE_QUESTION, OVERWRITE_CAPTION, STYLE_QUESTION, &answer);
        FinishBoxPresser(presser);
        ASSERT_TRUE(seen.found);
        EXPECT_EQ(c.expected, answer);
        EXPECT_EQ(window, seen.owner);
        EXPECT_EQ(OVERWRITE_CAPTION, seen.caption);
        EXPECT_TRUE(ShowsText(seen, OVERWRITE_QUESTION));
        // Yes and No, and no other button.
        ASSERT_EQ(2u, seen.buttons.size());
        EXPECT_TRUE((seen.buttons[0] == IDYES && seen.buttons[1] == IDNO) ||
                    (seen.buttons[0] == IDNO && seen.buttons[1] == IDYES));
    }
}

TEST_F(WindowServicesTest, ShowMessageWithoutAPlaceDiscardsTheAnswer) {
    BoxSeen seen;
    HANDLE presser = StartBoxPresser(GetCurrentThreadId(), IDOK, &seen);
    ShowMessage(MainWindow, NOTICE_TEXT, NOTICE_CAPTION, STYLE_NOTICE, NULL);
    FinishBoxPresser(presser);
    ASSERT_TRUE(seen.found);
    EXPECT_EQ(window, seen.owner);
    EXPECT_EQ(NOTICE_CAPTION, seen.caption);
    EXPECT_TRUE(ShowsText(seen, NOTICE_TEXT));
    ASSERT_EQ(1u, seen.buttons.size());
    EXPECT_EQ(IDOK, seen.buttons[0]);
    // The window outlives the box and still takes messages.
    PostNotes(window, 1);
    DoEvents();
    EXPECT_EQ(1u, counts.notes);
}
