// The one window, its control ids, and the two services that long work uses
// from inside the window procedure.
#pragma once

#include <windows.h>

extern HWND MainWindow;

enum ControlId {
    DestinationBox = 1000,
    DestinationLabel = 1001,
    BrowseButton = 1002,
    ExtractButton = 1003,
    ExitButton = 1004,
};

// Message-box styles: errors and notices; the overwrite question.
const UINT STYLE_NOTICE = MB_OK | MB_ICONEXCLAMATION;    // 48
const UINT STYLE_QUESTION = MB_YESNO | MB_ICONEXCLAMATION;  // 52

// One non-blocking step of message handling: at most one message.
void DoEvents();

// A modal message box; stores the button pressed in *answer when given.
void ShowMessage(HWND owner, const char* text, const char* caption, UINT style, int* answer);
