// create for builds without the writer: the command is refused by main.
#include "tools/commands.h"

bool CanCreate() { return false; }

int CommandCreate(const CreateOptions&) { return EXIT_USAGE; }
