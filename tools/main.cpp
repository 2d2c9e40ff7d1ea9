// quorvane: makes, lists, tests and extracts self-extracting archives.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "tools/commands.h"
#include "tools/help.h"

namespace {

// A wrong command line: what is wrong, and where to read more.
int Usage(const std::string& problem, const std::string& command = "") {
    fprintf(stderr, "quorvane: %s\nTry 'quorvane help%s'.\n", problem.c_str(),
            command.empty() ? "" : (" " + command).c_str());
    return EXIT_USAGE;
}

// " (did you mean 'WORD'?)" for the closest of `words`, or nothing.
std::string Suggestion(const std::string& typed, const std::vector<std::string>& words) {
    std::string closest = Closest(typed, words);
    return closest.empty() ? "" : "; did you mean '" + closest + "'?";
}

int UnknownCommand(const std::string& typed) {
    return Usage("unknown command '" + typed + "'" + Suggestion(typed, CommandNames()));
}

// Every spelling of the command's options: "--output", "-o", ...
std::vector<std::string> OptionNames(CLI::App* command) {
    std::vector<std::string> names = {"--help", "-h"};
    for (const CLI::Option* option : command->get_options()) {
        for (const std::string& name : option->get_lnames()) names.push_back("--" + name);
        for (const std::string& name : option->get_snames()) names.push_back("-" + name);
    }
    return names;
}

// The first argument the command did not take, said as a mistake.
int UnexpectedArgument(CLI::App* command, const std::string& argument) {
    std::string name = command->get_name();
    if (argument.size() > 1 && argument[0] == '-') {
        std::string option = argument.substr(0, argument.find('='));
        return Usage("unknown option '" + option + "' for " + name +
                         Suggestion(option, OptionNames(command)),
                     name);
    }
    return Usage(name + " does not take '" + argument + "'", name);
}

// -j N: a number of threads from 1 to 64.
bool ParseThreads(const std::string& text, unsigned* threads) {
    if (text.empty() || text.size() > 2 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *threads = (unsigned)atoi(text.c_str());
    return *threads >= 1 && *threads <= 64;
}

int WrongThreads(const std::string& text, const std::string& command) {
    return Usage("-j wants a number of threads from 1 to 64, not '" + text + "'", command);
}

// --exclude PATTERN, as often as wanted; each takes one argument.
void AddExclude(CLI::App* command, std::vector<std::string>* excludes) {
    command->add_option("--exclude", *excludes)->allow_extra_args(false);
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

// True when the arguments after the command ask for its help, before any "--".
bool AsksForHelp(int argc, char** argv) {
    for (int i = 2; i < argc; i++) {
        if (strcmp(argv[i], "--") == 0) return false;
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) return true;
    }
    return false;
}

// The program's own options and `help`; -1 when the command line is a command's.
int GeneralRequest(int argc, char** argv) {
    if (argc < 2) {
        PrintUsageLines(stderr);
        return Usage("a command is needed");
    }
    std::string first = argv[1];
    if (first == "--help" || first == "-h" || (first == "help" && argc == 2)) {
        PrintHelp(stdout);
        return EXIT_SUCCESS_ALL;
    }
    if (first == "--version") {
        printf("quorvane %s\n", qv_version_string());
        return EXIT_SUCCESS_ALL;
    }
    if (first == "help") {
        if (argc > 3) return Usage("help takes one command");
        return PrintCommandHelp(stdout, argv[2]) ? EXIT_SUCCESS_ALL : UnknownCommand(argv[2]);
    }
    if (first.size() > 1 && first[0] == '-') {
        std::string suggestion = Suggestion(first, {"--help", "--version"});
        return Usage("unknown option '" + first + "'" +
                     (suggestion.empty() ? " (a command comes first)" : suggestion));
    }
    if (!IsCommand(first)) return UnknownCommand(first);
    if (AsksForHelp(argc, argv)) {
        PrintCommandHelp(stdout, first);
        return EXIT_SUCCESS_ALL;
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    int general = GeneralRequest(argc, argv);
    if (general >= 0) return general;

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
    std::string threads;
    CLI::Option* threads_option = create_command->add_option("-j,--threads", threads);
    AddExclude(create_command, &create.excludes);
    create_command->add_option("-C,--directory", create.folder);
    create_command->add_option("paths", create.inputs);
    AddVerbosity(create_command, &quiet, &verbose);

    ListOptions list;
    CLI::App* list_command = app.add_subcommand("list");
    list_command->add_flag("--json", list.json);
    AddExclude(list_command, &list.excludes);
    list_command->add_option("archive", list.archive);
    list_command->add_option("names", list.patterns);
    AddVerbosity(list_command, &quiet, &verbose);

    TestOptions test;
    CLI::App* test_command = app.add_subcommand("test");
    CLI::Option* test_threads = test_command->add_option("-j,--threads", threads);
    test_command->add_option("archive", test.archive);
    AddVerbosity(test_command, &quiet, &verbose);

    ExtractOptions extract;
    bool overwrite = false, skip = false;
    CLI::App* extract_command = app.add_subcommand("extract");
    CLI::Option* destination = extract_command->add_option("-d,--destination", extract.destination);
    CLI::Option* overwrite_flag = extract_command->add_flag("--overwrite", overwrite);
    extract_command->add_flag("--skip-existing", skip)->excludes(overwrite_flag);
    extract_command->add_flag("-c,--stdout", extract.to_standard_output)->excludes(destination);
    CLI::Option* extract_threads = extract_command->add_option("-j,--threads", threads);
    AddExclude(extract_command, &extract.excludes);
    extract_command->add_option("archive", extract.archive);
    extract_command->add_option("names", extract.patterns);
    AddVerbosity(extract_command, &quiet, &verbose);

    // Arguments a command does not take are reported here, with a suggestion.
    for (CLI::App* command : {create_command, list_command, test_command, extract_command})
        command->allow_extras();
    CLI::App* command = app.get_subcommand(argv[1]);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ArgumentMismatch& error) {
        // "--destination: 1 required TEXT missing" and the like.
        std::string what = error.what();
        return Usage(what.substr(0, what.find(':')) + " needs a value", argv[1]);
    } catch (const CLI::ParseError& error) {
        return Usage(error.what(), argv[1]);
    }
    for (const std::string& extra : command->remaining())
        if (extra != "--") return UnexpectedArgument(command, extra);

    if (create_command->parsed()) {
        create.verbosity = VerbosityOf(quiet, verbose);
        if (create.inputs.empty())
            return Usage("create needs the files or folders to pack", "create");
        if (*threads_option && !ParseThreads(threads, &create.threads))
            return WrongThreads(threads, "create");
        if (*mtime_option) {
            if (qv_parse_time(mtime.c_str(), &create.time) != QV_OK)
                return Usage("--mtime takes @SECONDS or YYYY-MM-DD[THH:MM:SS][Z], not " + mtime,
                             "create");
            create.fixed_time = true;
        }
        return CommandCreate(create);
    }
    if (list_command->parsed()) {
        list.verbosity = VerbosityOf(quiet, verbose);
        if (list.archive.empty()) return Usage("list needs the archive to read", "list");
        return CommandList(list);
    }
    if (test_command->parsed()) {
        test.verbosity = VerbosityOf(quiet, verbose);
        if (test.archive.empty()) return Usage("test needs the archive to read", "test");
        if (*test_threads && !ParseThreads(threads, &test.threads))
            return WrongThreads(threads, "test");
        return CommandTest(test);
    }
    extract.verbosity = VerbosityOf(quiet, verbose);
    if (extract.archive.empty()) return Usage("extract needs the archive to read", "extract");
    if (*extract_threads && !ParseThreads(threads, &extract.threads))
        return WrongThreads(threads, "extract");
    if (*destination && extract.destination.empty()) return Usage("-d needs a folder", "extract");
    if (extract.to_standard_output && extract.patterns.empty())
        return Usage("extract -c needs the name of an entry", "extract");
    extract.existing = overwrite ? QV_EXISTING_OVERWRITE
                       : skip    ? QV_EXISTING_SKIP
                                 : QV_EXISTING_ASK;
    return CommandExtract(extract);
}
