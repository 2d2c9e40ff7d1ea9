// The destination folder: its default, the folder browser, and the
// platform flag decided at the same moment.
#pragma once

#include <stdint.h>

// Decides IsWin9x and puts the default destination (the module path without
// its last extension) into DestinationBox. Called once, at the end of the
// main window's WM_CREATE, after the controls exist.
void InitDestination();

// Lets the user pick a folder; a chosen folder replaces the box's text,
// a cancel leaves it alone.
void BrowseForDestination();

// Shows the folder browser; `path` (MAX_PATH bytes) receives the chosen
// folder, or an empty string when the user cancels or the choice has no
// file-system path.
void FolderDialog(char* path);

// 1-based byte position of the last occurrence of `find` in `text` that
// begins on a character boundary of the ANSI code page, 0 when none. Steps
// back whole characters, so a trail byte is never taken for a match.
int InStrRev(const char* text, int text_length, const char* find, int find_length);

// 1 for the old 9x line (platform id 1, version 4.00 or 4.10), else 0.
uint32_t IsLegacyPlatform(uint32_t platform_id, uint32_t major, uint32_t minor);
