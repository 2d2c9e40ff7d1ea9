// The commands of the quorvane tool, each on top of the library's C API.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include <quorvane.h>

// Exit codes.
const int EXIT_SUCCESS_ALL = 0;   // everything done
const int EXIT_ENTRY_FAILED = 1;  // the archive was read, but some entry failed
const int EXIT_REFUSED = 2;       // nothing was done: unreadable, broken or unsafe archive,
                                  // or create could not make its output
const int EXIT_USAGE = 3;         // the command line is wrong

// What -v says after an entry that uses the range coder's narrow-interval
// rule, in words a user can act on.
const char NARROW_INTERVAL_NOTE[] =
    " (opens with quorvane and its own extractor only; others report it as damaged)";

// How much a command says besides its results and failures.
enum Verbosity { QUIET, NORMAL, VERBOSE };

struct ListOptions {
    std::string archive;
    std::vector<std::string> patterns;  // empty: every entry
    std::vector<std::string> excludes;
    bool json = false;
    Verbosity verbosity = NORMAL;
};

struct TestOptions {
    std::string archive;
    unsigned threads = 0;  // decoding threads; 0: one per core
    Verbosity verbosity = NORMAL;
};

struct ExtractOptions {
    std::string archive;
    std::string destination;  // empty: ./NAME, the archive's name without its extension
    int existing = QV_EXISTING_ASK;
    std::vector<std::string> patterns;  // empty: every entry
    std::vector<std::string> excludes;
    bool to_standard_output = false;
    unsigned threads = 0;  // decoding threads; 0: one per core
    Verbosity verbosity = NORMAL;
};

struct CreateOptions {
    std::string output;
    std::string stub;  // empty: the built-in or installed stub
    bool payload_only = false;
    bool fixed_time = false;  // every entry gets `time` as all three of its times
    uint64_t time = 0;        // FILETIME
    unsigned threads = 0;     // block sorters per entry; 0: one per core
    Verbosity verbosity = NORMAL;
    std::vector<std::string> inputs;
    std::vector<std::string> excludes;  // entry names and patterns left out
    std::string folder;                 // -C: the inputs are read from here
};

int CommandList(const ListOptions& options);
int CommandTest(const TestOptions& options);
int CommandExtract(const ExtractOptions& options);
int CommandCreate(const CreateOptions& options);

// list --json: the whole listing as one JSON document on standard output.
// Only the entries that `patterns` choose.
class EntryPatterns;
void PrintListJson(qv_archive* archive, EntryPatterns* patterns);

// Opens an archive, printing why it cannot be; nullptr then.
qv_archive* OpenOrSay(const std::string& path);
