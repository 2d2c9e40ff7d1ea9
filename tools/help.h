// The help texts of the quorvane tool, and the suggestions for a mistyped
// command or option.
#pragma once

#include <stdio.h>

#include <string>
#include <vector>

bool IsCommand(const std::string& name);
std::vector<std::string> CommandNames();

// The usage lines of every command.
void PrintUsageLines(FILE* to);

// The whole help: every command, the common options, the exit codes.
void PrintHelp(FILE* to);

// One command's help; false for an unknown command.
bool PrintCommandHelp(FILE* to, const std::string& name);

// Of `words`, the one `typed` most likely meant: one whose letters `typed`
// abbreviates first, else the fewest edits away; empty when none is close.
std::string Closest(const std::string& typed, const std::vector<std::string>& words);
