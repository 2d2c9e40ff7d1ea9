// Test support for code that runs inside a window procedure: a real top-level
// window whose procedure counts what it receives, and a helper thread that
// answers a message box the way a user would.
#pragma once

#include <windows.h>
#include <stdint.h>

#include <string>
#include <vector>

// A note the tests post to their window; its wParam tells the notes apart.
const UINT WM_TEST_NOTE = WM_APP + 1;

struct WindowCounts {
    uint32_t notes = 0;
    WPARAM lastNote = 0;
    uint32_t paints = 0;
};

// A visible top-level window on the calling thread whose procedure counts
// WM_TEST_NOTE and WM_PAINT into *counts. `show` is SW_SHOW (activates) or
// SW_SHOWNOACTIVATE.
HWND CreateCountingWindow(WindowCounts* counts, int show);

// Dispatches every message waiting for the calling thread, until the queue has
// stayed empty for a short while (the display server delivers some late).
void DrainMessages();

// True when no message waits for the calling thread.
bool QueueEmpty();

// A counting window made the program's MainWindow: shown, active, its queue
// drained and *counts zeroed. CloseMainWindow destroys it and clears MainWindow.
HWND OpenMainWindow(WindowCounts* counts);
void CloseMainWindow(HWND window);

// Posts `count` notes numbered 1..count to `window`.
void PostNotes(HWND window, uint32_t count);

// What a user saw of a message box, and which button was pressed.
struct BoxSeen {
    bool found = false;
    HWND owner = NULL;
    std::string caption;
    std::vector<std::string> texts;  // texts of the box's static controls
    std::vector<int> buttons;        // ids of the buttons it offered
};

// Starts a thread that waits (up to 20 s) for a message box (class "#32770")
// of thread `ownerThread`, records it and presses the button `buttonId` with
// BM_CLICK. Join with FinishBoxPresser.
HANDLE StartBoxPresser(DWORD ownerThread, int buttonId, BoxSeen* seen);
void FinishBoxPresser(HANDLE presser);
