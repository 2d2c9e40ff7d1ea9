// The help texts: one paragraph per command, shown alone by `help COMMAND`
// and `COMMAND --help`, and all together by `--help`, from which the manual
// page is made.
#include "tools/help.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>

namespace {

struct CommandHelp {
    const char* name;
    const char* usage;  // one or more lines, each after "quorvane "
    const char* text;   // the paragraph, in the column of the option texts
};

const CommandHelp kCommands[] = {
    {"create",
     "create -o OUT.exe [--stub FILE|--payload-only] [--mtime TIME] [-j N] [-C DIR] [--exclude "
     "PATTERN]... "
     "[-q|-v] PATH...\n",
     "  create         packs the files and folders (recursively, in sorted order) behind\n"
     "                 the extractor stub. --stub FILE uses another stub; --payload-only\n"
     "                 writes the entry records alone. Names must be representable in\n"
     "                 code page 932 and at most 255 bytes long; files below 4 GiB.\n"
     "                 --mtime TIME gives every entry TIME as its creation, access and\n"
     "                 write time: @SECONDS since 1970 or YYYY-MM-DD[THH:MM:SS][Z], UTC;\n"
     "                 without it SOURCE_DATE_EPOCH (seconds) does, when set.\n"
     "                 -C DIR finds the inputs from DIR, as tar does; PATH=NAME stores\n"
     "                 PATH under the name NAME. -o - writes the archive to standard\n"
     "                 output.\n"
     "                 --exclude PATTERN leaves out what the pattern names, as it would\n"
     "                 be named in the archive (a folder with all it holds). -j N sorts\n"
     "                 blocks on N threads, 1 to 64 (default: one per core); the archive\n"
     "                 is the same for every N. -v names the files stored in a form that\n"
     "                 only quorvane and its own extractor open.\n"},
    {"list", "list [--json] [--exclude PATTERN]... [-q|-v] FILE [NAME|PATTERN...]\n",
     "  list           shows each entry: kind, sizes, ratio, last write, attributes, name;\n"
     "                 -v adds creation and access times and the rescale rule; --json\n"
     "                 prints every field as one JSON document. Names and patterns\n"
     "                 choose entries as for extract.\n"},
    {"test", "test [-j N] [-q|-v] FILE\n",
     "  test           validates the archive and decodes every entry without writing;\n"
     "                 -v names the entries stored in a form that only quorvane and its\n"
     "                 own extractor open. -j N decodes on N threads, 1 to 64 (default:\n"
     "                 one per core), several files at once; results come in archive\n"
     "                 order for every N.\n"},
    {"extract",
     "extract FILE [NAME|PATTERN...] [-d DIR] [--overwrite|--skip-existing] [-j N] "
     "[--exclude PATTERN]... [-q|-v]\n"
     "extract -c [-j N] FILE NAME|PATTERN...\n",
     "  extract        recreates the entries below DIR (default: ./NAME in the current\n"
     "                 folder, where NAME is FILE's name without its extension) with\n"
     "                 their times and read-only state; with names or patterns only the\n"
     "                 matching entries, with the folders they need. In a pattern '*'\n"
     "                 stands for any characters, '/' included, and '?' for one; naming\n"
     "                 a folder extracts what it holds; --exclude PATTERN (as often as\n"
     "                 needed, also for create and list) leaves out what it names. An\n"
     "                 existing file is replaced only with --overwrite, kept with\n"
     "                 --skip-existing, and otherwise asked about on a terminal ([y]es,\n"
     "                 [n]o, [A]ll, [N]one, [r]ename; Ctrl-D is no) or left alone; a\n"
     "                 file kept makes the exit status 1. -c (--stdout) writes the\n"
     "                 matching files' bytes to standard output instead; -v names every\n"
     "                 entry extracted; -j N as for test.\n"},
    {"help", "help [COMMAND]\n", "  help           shows this text, or the help of one command.\n"},
};

const char kCommonOptions[] =
    "Options of every command:\n"
    "  -q, --quiet    prints only failures: no progress, no summary\n"
    "  -v, --verbose  says more (see each command)\n"
    "  --             ends the options: every later argument is a name\n"
    "  -h, --help     shows the command's help\n";

const CommandHelp* FindCommand(const std::string& name) {
    for (const CommandHelp& command : kCommands)
        if (name == command.name) return &command;
    return nullptr;
}

// Prints each line of `usage` after `first` (then "  or:  ") and "quorvane ".
// Each stays one line however long: the manual page's synopsis is made of them.
void PrintUsage(FILE* to, const char* usage, bool* first) {
    for (const char* line = usage; *line;) {
        const char* end = strchr(line, '\n');
        fprintf(to, "%s quorvane %.*s\n", *first ? "Usage:" : "  or: ", (int)(end - line), line);
        *first = false;
        line = end + 1;
    }
}

// Edits that turn `a` into `b`: insertions, deletions and replacements.
size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); j++) row[j] = j;
    for (size_t i = 1; i <= a.size(); i++) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); j++) {
            size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// True when the letters of `typed` appear in `word` in the same order, as
// in an abbreviation.
bool Abbreviates(const std::string& typed, const std::string& word) {
    size_t at = 0;
    for (char c : word)
        if (at < typed.size() && typed[at] == c) at++;
    return at == typed.size();
}

}  // namespace

bool IsCommand(const std::string& name) { return FindCommand(name) != nullptr; }

void PrintUsageLines(FILE* to) {
    bool first = true;
    for (const CommandHelp& command : kCommands) PrintUsage(to, command.usage, &first);
    PrintUsage(to, "--help | --version\n", &first);
}

void PrintHelp(FILE* to) {
    PrintUsageLines(to);
    fprintf(to,
            "\n"
            "Makes, lists, tests and extracts self-extracting archives: a Windows extractor\n"
            "stub with the archived folders and files behind it. FILE may be such an\n"
            "executable or a bare payload; '-' reads it from standard input.\n"
            "\n"
            "Commands:\n");
    for (const CommandHelp& command : kCommands) fputs(command.text, to);
    fprintf(to,
            "\n%s"
            "  --version      shows the version\n"
            "\n"
            "Progress is shown on standard error when it is a terminal. Ctrl-C and\n"
            "termination requests remove the partial file being written and end with\n"
            "128 + the signal's number (130, 143).\n"
            "\n"
            "Exit status:\n"
            "  0              everything was done\n"
            "  1              some entries failed (damaged, not replaced, not writable, or a\n"
            "                 name that matched nothing)\n"
            "  2              nothing was done: the archive is unreadable, damaged or unsafe,\n"
            "                 or create failed\n"
            "  3              the command line is wrong\n",
            kCommonOptions);
}

bool PrintCommandHelp(FILE* to, const std::string& name) {
    const CommandHelp* command = FindCommand(name);
    if (!command) return false;
    bool first = true;
    PrintUsage(to, command->usage, &first);
    fprintf(to, "\n%s", command->text);
    if (name != "help") fprintf(to, "\n%s", kCommonOptions);
    return true;
}

std::string Closest(const std::string& typed, const std::vector<std::string>& words) {
    std::string best;
    size_t best_distance = (size_t)-1;
    bool best_abbreviates = false;
    for (const std::string& word : words) {
        bool abbreviates = Abbreviates(typed, word);
        size_t distance = EditDistance(typed, word);
        if ((abbreviates && !best_abbreviates) ||
            (abbreviates == best_abbreviates && distance < best_distance)) {
            best = word;
            best_distance = distance;
            best_abbreviates = abbreviates;
        }
    }
    // A suggestion far from what was typed would only puzzle.
    if (!best_abbreviates && best_distance > std::max<size_t>(2, typed.size() / 2)) return "";
    return best;
}

std::vector<std::string> CommandNames() {
    std::vector<std::string> names;
    for (const CommandHelp& command : kCommands) names.push_back(command.name);
    return names;
}
