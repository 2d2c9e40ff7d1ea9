// The commands of the quorvane tool.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

// Exit codes.
const int EXIT_SUCCESS_ALL = 0;   // everything done
const int EXIT_ENTRY_FAILED = 1;  // the archive was read, but some entry failed
const int EXIT_REFUSED = 2;       // nothing was done: unreadable, broken or unsafe archive,
                                  // or create could not make its output
const int EXIT_USAGE = 3;         // the command line is wrong

enum ExistingFiles { EXISTING_ASK, EXISTING_OVERWRITE, EXISTING_SKIP };

struct ExtractOptions {
    std::string destination;  // empty: the archive's path without its extension
    ExistingFiles existing = EXISTING_ASK;
};

struct CreateOptions {
    std::string output;
    std::string stub;  // empty: the built-in stub
    bool payload_only = false;
    bool fixed_time = false;  // every entry gets `time` as all three of its times
    uint64_t time = 0;        // FILETIME
    unsigned threads = 0;     // block sorters per entry; 0: one per core
    bool verbose = false;     // name the entries that need the narrow-interval rule
    std::vector<std::string> inputs;
};

int CommandList(const std::string& archive);
// With `verbose`, names the entries whose stream uses the narrow-interval rule.
int CommandTest(const std::string& archive, bool verbose = false);
int CommandExtract(const std::string& archive, const ExtractOptions& options);
int CommandCreate(const CreateOptions& options);
