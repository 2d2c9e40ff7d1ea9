// quorvane: makes, lists, tests and extracts self-extracting archives.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "tools/commands.h"

namespace {

// The one text of --help; the manual page is made from it too.
void PrintHelp(FILE* to) {
    fprintf(to,
            "Usage: quorvane create -o OUT.exe [--stub FILE|--payload-only] [--mtime TIME] [-j N] "
            "[-q|-v] PATH...\n"
            "  or:  quorvane list [--json] [-q|-v] FILE\n"
            "  or:  quorvane test [-j N] [-q|-v] FILE\n"
            "  or:  quorvane extract FILE [NAME|PATTERN...] [-d DIR] [--overwrite|--skip-existing] "
            "[-j N] [-q|-v]\n"
            "  or:  quorvane extract -c [-j N] FILE NAME|PATTERN...\n"
            "  or:  quorvane --help | --version\n"
            "\n"
            "Makes, lists, tests and extracts self-extracting archives: a Windows extractor\n"
            "stub with the archived folders and files behind it. FILE may be such an\n"
            "executable or a bare payload.\n"
            "\n"
            "Commands:\n"
            "  create         packs the files and folders (recursively, in sorted order) behind\n"
            "                 the extractor stub. --stub FILE uses another stub; --payload-only\n"
            "                 writes the entry records alone. Names must be representable in\n"
            "                 code page 932 and at most 255 bytes long; files below 4 GiB.\n"
            "                 --mtime TIME gives every entry TIME as its creation, access and\n"
            "                 write time: @SECONDS since 1970 or YYYY-MM-DD[THH:MM:SS][Z], UTC;\n"
            "                 without it SOURCE_DATE_EPOCH (seconds) does, when set. -j N sorts\n"
            "                 blocks on N threads (default: one per core); the archive is the\n"
            "                 same for every N. Entries that use the range coder's\n"
            "                 narrow-interval rule are counted (-v names them).\n"
            "  list           shows each entry: kind, sizes, ratio, last write, attributes, name;\n"
            "                 -v adds creation and access times and the rescale rule; --json\n"
            "                 prints every field as one JSON document.\n"
            "  test           validates the archive and decodes every entry without writing;\n"
            "                 -v names the entries that use the narrow-interval rule. -j N\n"
            "                 decodes on N threads (default: one per core), several files at\n"
            "                 once; results come in archive order for every N.\n"
            "  extract        recreates the entries below DIR (default: ./NAME in the current\n"
            "                 folder, NAME being FILE's name without its extension) with their times and read-only state; with names or\n"
            "                 patterns only the matching entries, with the folders they need.\n"
            "                 In a pattern '*' stands for any characters, '/' included, and '?'\n"
            "                 for one; naming a folder extracts what it holds. An existing file\n"
            "                 is replaced only with --overwrite, kept with --skip-existing, and\n"
            "                 otherwise asked about on a terminal or left alone. -c (--stdout)\n"
            "                 writes the matching files' bytes to standard output instead;\n"
            "                 -v names every entry extracted; -j N as for test.\n"
            "\n"
            "Options of every command:\n"
            "  -q, --quiet    prints only failures: no progress, no summary\n"
            "  -v, --verbose  says more (see each command)\n"
            "  --             ends the options: every later argument is a name\n"
            "  -h, --help     shows this text\n"
            "  --version      shows the version\n"
            "\n"
            "Progress is shown on standard error when it is a terminal. Ctrl-C and\n"
            "termination requests remove the partial file being written and end with\n"
            "128 + the signal's number (130, 143).\n"
            "\n"
            "Exit codes:\n"
            "  0              everything was done\n"
            "  1              some entries failed (damaged, not replaced, not writable, or a\n"
            "                 name that matched nothing)\n"
            "  2              nothing was done: the archive is unreadable, damaged or unsafe,\n"
            "                 or create failed\n"
            "  3              the command line is wrong\n");
}

int Usage(const std::string& problem) {
    fprintf(stderr, "quorvane: %s\nTry 'quorvane --help'.\n", problem.c_str());
    return EXIT_USAGE;
}

// -q and -v, which every command takes.
void AddVerbosity(CLI::App* command, bool* quiet, bool* verbose) {
    CLI::Option* q = command->add_flag("-q,--quiet", *quiet);
    CLI::Option* v = command->add_flag("-v,--verbose", *verbose);
    q->excludes(v);
}

Verbosity VerbosityOf(bool quiet, bool verbose) {
    return quiet ? QUIET : verbose ? VERBOSE : NORMAL;
}

// True when the arguments ask for help, before any "--".
bool AsksForHelp(int argc, char** argv) {
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--") == 0) return false;
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) return true;
    }
    return argc == 2 && strcmp(argv[1], "help") == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (AsksForHelp(argc, argv)) {
        PrintHelp(stdout);
        return EXIT_SUCCESS_ALL;
    }
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        printf("quorvane %s\n", qv_version_string());
        return EXIT_SUCCESS_ALL;
    }

    CLI::App app("quorvane");
    app.set_help_flag();
    app.require_subcommand(1, 1);
    bool quiet = false, verbose = false;

    CreateOptions create;
    std::string mtime;
    CLI::App* create_command = app.add_subcommand("create");
    create_command->add_option("-o,--output", create.output)->required();
    CLI::Option* stub = create_command->add_option("--stub", create.stub);
    create_command->add_flag("--payload-only", create.payload_only)->excludes(stub);
    CLI::Option* mtime_option = create_command->add_option("--mtime", mtime);
    create_command->add_option("-j,--threads", create.threads)->check(CLI::Range(1, 64));
    create_command->add_option("paths", create.inputs)->required();
    AddVerbosity(create_command, &quiet, &verbose);

    ListOptions list;
    CLI::App* list_command = app.add_subcommand("list");
    list_command->add_flag("--json", list.json);
    list_command->add_option("archive", list.archive)->required();
    AddVerbosity(list_command, &quiet, &verbose);

    TestOptions test;
    CLI::App* test_command = app.add_subcommand("test");
    test_command->add_option("-j,--threads", test.threads)->check(CLI::Range(1, 64));
    test_command->add_option("archive", test.archive)->required();
    AddVerbosity(test_command, &quiet, &verbose);

    ExtractOptions extract;
    bool overwrite = false, skip = false;
    CLI::App* extract_command = app.add_subcommand("extract");
    CLI::Option* destination = extract_command->add_option("-d,--destination", extract.destination);
    CLI::Option* overwrite_flag = extract_command->add_flag("--overwrite", overwrite);
    extract_command->add_flag("--skip-existing", skip)->excludes(overwrite_flag);
    extract_command->add_flag("-c,--stdout", extract.to_standard_output)->excludes(destination);
    extract_command->add_option("-j,--threads", extract.threads)->check(CLI::Range(1, 64));
    extract_command->add_option("archive", extract.archive)->required();
    extract_command->add_option("names", extract.patterns);
    AddVerbosity(extract_command, &quiet, &verbose);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return Usage(error.what());
    }

    if (create_command->parsed()) {
        create.verbosity = VerbosityOf(quiet, verbose);
        if (*mtime_option) {
            if (qv_parse_time(mtime.c_str(), &create.time) != QV_OK)
                return Usage("--mtime takes @SECONDS or YYYY-MM-DD[THH:MM:SS][Z], not " + mtime);
            create.fixed_time = true;
        }
        return CommandCreate(create);
    }
    if (list_command->parsed()) {
        list.verbosity = VerbosityOf(quiet, verbose);
        return CommandList(list);
    }
    if (test_command->parsed()) {
        test.verbosity = VerbosityOf(quiet, verbose);
        return CommandTest(test);
    }
    extract.verbosity = VerbosityOf(quiet, verbose);
    if (*destination && extract.destination.empty()) return Usage("-d needs a folder");
    if (extract.to_standard_output && extract.patterns.empty())
        return Usage("extract -c needs the name of an entry");
    extract.existing = overwrite ? QV_EXISTING_OVERWRITE
                       : skip    ? QV_EXISTING_SKIP
                                 : QV_EXISTING_ASK;
    return CommandExtract(extract);
}
