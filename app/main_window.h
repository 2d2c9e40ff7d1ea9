// The main window: its procedure, the process-wide font and brush that it
// owns, and the table of its five controls.
#pragma once

#include <windows.h>

#include "app/window_services.h"

// Class of the main window, and the plain dialog class registered beside it.
const char MAIN_WINDOW_CLASS[] = "NORMAL0";
const char PLAIN_DIALOG_CLASS[] = "NORMALDLG";

// Outer size of the main window, and its style: visible, caption, system
// menu and minimise box, with no sizing border and no maximise box.
const int MAIN_WINDOW_WIDTH = 470;
const int MAIN_WINDOW_HEIGHT = 115;
const DWORD MAIN_WINDOW_STYLE = WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;

// Resource id of the program's icon group.
const int ICON_RESOURCE = 101;

// Font of all five controls and background brush of both window classes.
// Created at start-up, deleted when the main window is destroyed.
extern HFONT DialogFont;
extern HBRUSH BackgroundBrush;

// Window procedure of the "NORMAL0" class.
LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
