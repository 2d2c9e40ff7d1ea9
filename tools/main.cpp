// quorvane: makes, lists, tests and extracts self-extracting archives.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "tools/archive_time.h"
#include "tools/commands.h"

namespace {

const char* const VERSION = "0.1.0";

void PrintHelp(FILE* to) {
    fprintf(
        to,
        "Usage:\n"
        "  quorvane create -o OUT.exe [--stub FILE | --payload-only] [--mtime TIME] [-j N] [-v]\n"
        "                  PATH...\n"
        "  quorvane list FILE\n"
        "  quorvane test [-v] FILE\n"
        "  quorvane extract FILE [-d DIR] [--overwrite | --skip-existing]\n"
        "  quorvane --help | --version\n"
        "\n"
        "create         packs the files and folders (recursively, in sorted order) behind\n"
        "               the extractor stub. --stub FILE uses another stub; --payload-only\n"
        "               writes the entry records alone. Names must be representable in\n"
        "               code page 932 and at most 255 bytes long; files below 4 GiB.\n"
        "               --mtime TIME gives every entry TIME as its creation, access and\n"
        "               write time: @SECONDS since 1970 or YYYY-MM-DD[THH:MM:SS][Z], UTC;\n"
        "               without it SOURCE_DATE_EPOCH (seconds) does, when set.\n"
        "               -j N sorts blocks on N threads (default: one per core); the\n"
        "               archive is the same for every N. Entries that use the range\n"
        "               coder's narrow-interval rule are counted (-v names them).\n"
        "list           shows each entry: kind, sizes, ratio, last write, attributes, name.\n"
        "test           validates the archive and decodes every entry without writing;\n"
        "               -v names the entries that use the narrow-interval rule.\n"
        "extract        recreates the entries below DIR (default: FILE without its\n"
        "               extension) with their times and read-only state. An existing\n"
        "               file is replaced only with --overwrite, kept with --skip-existing,\n"
        "               and otherwise asked about on a terminal or left alone.\n"
        "\n"
        "FILE may be a self-extracting executable or a bare payload.\n"
        "\n"
        "Exit codes: 0 everything done; 1 some entries failed (damaged, not replaced,\n"
        "not writable); 2 nothing done (archive unreadable, damaged or unsafe, or\n"
        "create failed); 3 wrong command line.\n");
}

int Usage(const char* problem, const char* detail = "") {
    fprintf(stderr, "quorvane: %s%s\nTry 'quorvane --help'.\n", problem, detail);
    return EXIT_USAGE;
}

int Create(const std::vector<std::string>& args) {
    CreateOptions options;
    bool only_paths = false;
    for (size_t i = 0; i < args.size(); i++) {
        const std::string& arg = args[i];
        if (!only_paths && arg == "--") {
            only_paths = true;
        } else if (!only_paths && (arg == "-o" || arg == "--stub")) {
            if (i + 1 >= args.size()) return Usage("missing value after ", arg.c_str());
            (arg == "-o" ? options.output : options.stub) = args[++i];
        } else if (!only_paths && arg == "--payload-only") {
            options.payload_only = true;
        } else if (!only_paths && arg == "-v") {
            options.verbose = true;
        } else if (!only_paths && arg == "-j") {
            if (i + 1 >= args.size()) return Usage("missing value after ", arg.c_str());
            char* end = nullptr;
            unsigned long threads = strtoul(args[++i].c_str(), &end, 10);
            if (args[i].empty() || *end || threads < 1 || threads > 64) {
                return Usage("-j needs a number of threads from 1 to 64: ", args[i].c_str());
            }
            options.threads = (unsigned)threads;
        } else if (!only_paths && arg == "--mtime") {
            if (i + 1 >= args.size()) return Usage("missing value after ", arg.c_str());
            if (!ParseArchiveTime(args[++i], &options.time)) {
                return Usage("--mtime takes @SECONDS or YYYY-MM-DD[THH:MM:SS][Z], not ",
                             args[i].c_str());
            }
            options.fixed_time = true;
        } else if (!only_paths && arg.size() > 1 && arg[0] == '-') {
            return Usage("unknown option for create: ", arg.c_str());
        } else {
            options.inputs.push_back(arg);
        }
    }
    if (options.output.empty()) return Usage("create needs -o OUT");
    if (options.inputs.empty()) return Usage("create needs at least one file or folder");
    if (options.payload_only && !options.stub.empty()) {
        return Usage("--stub and --payload-only exclude each other");
    }
    // Build tools fix the time of everything they make this way.
    const char* epoch = getenv("SOURCE_DATE_EPOCH");
    if (!options.fixed_time && epoch && *epoch) {
        if (!ParseEpochSeconds(epoch, &options.time)) {
            return Usage("SOURCE_DATE_EPOCH is not a whole number of seconds: ", epoch);
        }
        options.fixed_time = true;
    }
    if (options.threads == 0) options.threads = std::max(1u, std::thread::hardware_concurrency());
    return CommandCreate(options);
}

int Extract(const std::vector<std::string>& args) {
    ExtractOptions options;
    std::string archive;
    bool overwrite = false, skip = false;
    for (size_t i = 0; i < args.size(); i++) {
        const std::string& arg = args[i];
        if (arg == "-d") {
            if (i + 1 >= args.size() || args[i + 1].empty()) return Usage("-d needs a folder");
            options.destination = args[++i];
        } else if (arg == "--overwrite") {
            overwrite = true;
        } else if (arg == "--skip-existing") {
            skip = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return Usage("unknown option for extract: ", arg.c_str());
        } else if (archive.empty()) {
            archive = arg;
        } else {
            return Usage("extract takes one archive");
        }
    }
    if (archive.empty()) return Usage("extract needs an archive");
    if (overwrite && skip) return Usage("--overwrite and --skip-existing exclude each other");
    options.existing = overwrite ? EXISTING_OVERWRITE : skip ? EXISTING_SKIP : EXISTING_ASK;
    return CommandExtract(archive, options);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return Usage("no command given");
    std::string command = args[0];
    args.erase(args.begin());

    if (command == "--help" || command == "-h" || command == "help") {
        PrintHelp(stdout);
        return EXIT_SUCCESS_ALL;
    }
    if (command == "--version") {
        printf("quorvane %s\n", VERSION);
        return EXIT_SUCCESS_ALL;
    }
    if (command == "create") return Create(args);
    if (command == "extract") return Extract(args);
    if (command == "list" || command == "test") {
        bool verbose = false;
        if (command == "test") {
            auto flag = std::find(args.begin(), args.end(), "-v");
            verbose = flag != args.end();
            if (verbose) args.erase(flag);
        }
        if (args.size() != 1 || (args[0].size() > 1 && args[0][0] == '-')) {
            return Usage(command.c_str(), " takes exactly one archive");
        }
        return command == "list" ? CommandList(args[0]) : CommandTest(args[0], verbose);
    }
    return Usage("unknown command: ", command.c_str());
}
