// list, test and extract: everything that reads an archive.
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "tools/commands.h"
#include "tools/patterns.h"
#include "tools/progress.h"
#include "tools/terminal.h"

namespace {

// Closes the archive on every way out.
struct OpenArchive {
    qv_archive* archive;
    ~OpenArchive() { qv_close(archive); }
};

std::string Plural(uint64_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string RawName(const qv_entry& entry) { return std::string(entry.name, entry.name_length); }

// The entry's name as list shows it (qv_entry_shown_name).
std::string ShownName(const qv_entry& entry) {
    size_t length = 0;
    qv_entry_shown_name(&entry, nullptr, 0, &length);
    std::string shown(length + 1, '\0');
    if (qv_entry_shown_name(&entry, &shown[0], shown.size(), &length) != QV_OK)
        return RawName(entry);
    shown.resize(length);
    return shown;
}

std::string AttributeLetters(uint16_t attributes) {
    std::string letters;
    letters += (attributes & QV_ATTR_DIRECTORY) ? 'D' : '-';
    letters += (attributes & QV_ATTR_ARCHIVE) ? 'A' : '-';
    letters += (attributes & QV_ATTR_READONLY) ? 'R' : '-';
    letters += (attributes & QV_ATTR_HIDDEN) ? 'H' : '-';
    letters += (attributes & QV_ATTR_SYSTEM) ? 'S' : '-';
    return letters;
}

std::string FormatTime(uint64_t filetime) {
    std::string text = LocalTimeText(filetime);
    return text.empty() ? "(time out of range)" : text;  // 19 characters either way
}

// Stored bytes per 100 original ones, always six characters wide so that the
// columns of list stay aligned: "100.0%", " 1234%", "99999%", ">1e5 %".
std::string Ratio(uint64_t stored, uint64_t original) {
    if (original == 0) return "   -  ";
    double percent = 100.0 * (double)stored / (double)original;
    char text[16];
    if (percent < 999.95)
        snprintf(text, sizeof text, "%5.1f%%", percent);
    else if (percent < 99999.5)
        snprintf(text, sizeof text, "%5.0f%%", percent);
    else
        snprintf(text, sizeof text, ">1e5 %%");
    return text;
}

// A decoding failure's reason without the entry's name in front.
std::string WhyOf(const std::string& message, const qv_entry& entry) {
    std::string name = (entry.name_utf8 ? entry.name_utf8 : RawName(entry)) + ": ";
    return message.compare(0, name.size(), name) == 0 ? message.substr(name.size()) : message;
}

void SayNarrowInterval(const qv_entry& entry) {
    printf("%s%s\n", ShownName(entry).c_str(), NARROW_INTERVAL_NOTE);
}

// The patterns that matched nothing, each said; true when there were any.
bool SayUnmatched(const EntryPatterns& patterns) {
    std::vector<std::string> unmatched = patterns.Unmatched();
    for (const std::string& pattern : unmatched)
        fprintf(stderr, "quorvane: %s: no entry matches\n", pattern.c_str());
    return !unmatched.empty();
}

}  // namespace

// An archive of "-" comes from standard input, read whole into memory; the
// bytes stay until the program ends, since the archive reads them in place.
int OpenStandardInput(qv_archive** archive, qv_error* error) {
    static std::vector<uint8_t> bytes;
    if (InputIsInteractive()) {
        snprintf(error->message, sizeof error->message,
                 "- reads the archive from standard input, which is a terminal here");
        return QV_E_OPEN;
    }
    BinaryStandardInput();
    uint8_t buffer[65536];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, stdin)) > 0)
        bytes.insert(bytes.end(), buffer, buffer + got);
    if (ferror(stdin)) {
        snprintf(error->message, sizeof error->message, "cannot read standard input");
        return QV_E_READ;
    }
    return qv_open_memory(bytes.data(), bytes.size(), archive, error);
}

qv_archive* OpenOrSay(const std::string& path) {
    qv_archive* archive = nullptr;
    qv_error error;
    int code = path == "-" ? OpenStandardInput(&archive, &error)
                           : qv_open_path(path.c_str(), &archive, &error);
    if (code != QV_OK) {
        fprintf(stderr, "quorvane: %s\n", error.message);
        return nullptr;
    }
    // An empty payload is a sound archive, but most likely not what the user
    // meant to open: said even under -q.
    if (qv_entry_count(archive) == 0) {
        fprintf(
            stderr, "quorvane: %s holds no entries (%s; is it a self-extracting archive?)\n",
            path == "-" ? "standard input" : path.c_str(),
            qv_payload_start(archive) > 0 ? "nothing follows the executable" : "the file is empty");
    }
    return archive;
}

int CommandList(const ListOptions& options) {
    OpenArchive open = {OpenOrSay(options.archive)};
    if (!open.archive) return EXIT_REFUSED;
    EntryPatterns patterns(options.patterns, options.excludes);
    if (options.json) {
        PrintListJson(open.archive, &patterns);
        return SayUnmatched(patterns) ? EXIT_ENTRY_FAILED : EXIT_SUCCESS_ALL;
    }
    bool verbose = options.verbosity == VERBOSE;
    if (options.verbosity != QUIET) {
        // The widths of the lines below.
        printf("%-6s %10s  %10s %6s  %-19s  %-5s  %sName\n", "Kind", "Original", "Stored", "Ratio",
               "Last write", "Attr",
               verbose ? "Created              Last access          Rule  " : "");
    }
    uint64_t files = 0, folders = 0, original = 0, stored = 0;
    qv_entry entry;
    entry.struct_size = sizeof entry;
    for (size_t i = 0; qv_entry_at(open.archive, i, &entry) == QV_OK; i++) {
        if (!patterns.Choose(entry)) continue;
        bool folder = entry.kind == QV_FOLDER;
        std::string extra;
        if (verbose) {
            extra = FormatTime(entry.creation_time) + "  " + FormatTime(entry.last_access_time) +
                    "  " +
                    (folder              ? "-   "
                     : entry.odd_rescale ? "odd "
                                         : "even") +
                    "  ";
        }
        printf("%-6s %10u  %10u %s  %s  %s  %s%s\n", folder ? "folder" : "file",
               entry.original_size, entry.stored_size,
               Ratio(entry.stored_size, entry.original_size).c_str(),
               FormatTime(entry.last_write_time).c_str(),
               AttributeLetters(entry.attributes).c_str(), extra.c_str(), ShownName(entry).c_str());
        (folder ? folders : files)++;
        original += entry.original_size;
        stored += entry.stored_size;
    }
    if (options.verbosity != QUIET) {
        printf("%s, %s, %llu bytes stored in %llu (%s)\n", Plural(files, "file", "files").c_str(),
               Plural(folders, "folder", "folders").c_str(), (unsigned long long)original,
               (unsigned long long)stored, Ratio(stored, original).c_str());
    }
    return SayUnmatched(patterns) ? EXIT_ENTRY_FAILED : EXIT_SUCCESS_ALL;
}

namespace {

// What the callbacks of one test share.
struct TestRun {
    const TestOptions* options;
    Progress* progress;
    ProgressSink sink;
    size_t failed;
};

// A name that cannot be one here fails the test, whatever its bytes decode to.
void CheckName(TestRun* run, const qv_entry& entry) {
    if (qv_entry_path(&entry, nullptr, 0, nullptr) != QV_E_UNSAFE_NAME) return;
    run->progress->Clear();
    fprintf(stderr, "quorvane: %s: the name cannot be converted to a name of this system\n",
            ShownName(entry).c_str());
    run->failed++;
}

void ReportUntested(void* context, const qv_entry* entry, int code, const char* message) {
    TestRun* run = (TestRun*)context;
    CheckName(run, *entry);
    run->progress->Clear();
    fprintf(stderr, "quorvane: %s: %s: %s\n", ShownName(*entry).c_str(),
            code == QV_E_DAMAGED ? "damaged" : "cannot be tested", WhyOf(message, *entry).c_str());
    run->failed++;
}

void Tested(void* context, const qv_entry* entry) {
    TestRun* run = (TestRun*)context;
    CheckName(run, *entry);
    if (run->options->verbosity == VERBOSE && entry->narrow_interval == 1) {
        run->progress->Clear();
        SayNarrowInterval(*entry);
    }
}

int TestProgressed(void* context, const qv_progress* state) {
    return ShowProgress(&((TestRun*)context)->sink, state);
}

}  // namespace

int CommandTest(const TestOptions& options) {
    OpenArchive open = {OpenOrSay(options.archive)};
    if (!open.archive) return EXIT_REFUSED;
    CatchInterrupts();
    Progress progress(options.verbosity != QUIET);
    TestRun run = {&options, &progress, {&progress, 0, 0}, 0};
    qv_test_options settings = {};
    settings.struct_size = sizeof settings;
    settings.threads = options.threads;
    settings.progress = TestProgressed;
    settings.report = ReportUntested;
    settings.tested = Tested;
    settings.context = &run;
    qv_error error;
    int code = qv_test(open.archive, &settings, &error);
    size_t entries = qv_entry_count(open.archive);
    progress.Clear();
    if (code == QV_E_CANCELLED || InterruptExitCode()) return InterruptExitCode();
    if (code != QV_OK && code != QV_E_ENTRIES_FAILED) {
        fprintf(stderr, "quorvane: %s\n", error.message);
        return EXIT_REFUSED;
    }
    if (run.failed) {
        fprintf(stderr, "quorvane: %s: %zu of %s failed\n", options.archive.c_str(), run.failed,
                Plural(entries, "entry", "entries").c_str());
        return EXIT_ENTRY_FAILED;
    }
    if (options.verbosity != QUIET && entries > 0) {
        printf("%s: %s, all sound\n", options.archive.c_str(),
               Plural(entries, "entry", "entries").c_str());
    }
    return EXIT_SUCCESS_ALL;
}

namespace {

// The default destination: the archive's name without its extension, in the
// current folder, as other extractors' users expect.
bool DefaultDestination(const std::string& archive, std::string* destination) {
    size_t name_start = FileNameStart(archive);
    size_t dot = archive.find_last_of('.');
    if (dot == std::string::npos || dot <= name_start) return false;
    *destination = archive.substr(name_start, dot - name_start);
    return true;
}

// What the callbacks of one extraction share.
struct ExtractRun {
    const ExtractOptions* options;
    Progress* progress;
    ProgressSink sink;
    EntryPatterns* patterns;
    int answer_for_all;  // a qv_answer after [A]ll or [N]one, -1 before
    bool asked;          // the user has answered a question
};

// A line typed on the terminal, without its end; false at the end of input
// (Ctrl-D), which also ends the line on the screen.
bool ReadAnswer(std::string* line) {
    char buffer[256];
    line->clear();
    while (fgets(buffer, sizeof buffer, stdin)) {
        *line += buffer;
        if (line->back() == '\n') {
            line->pop_back();
            return true;
        }
    }
    // The terminal may be asked again after Ctrl-D.
    clearerr(stdin);
    fputc('\n', stderr);
    return !line->empty();
}

// Asks on the terminal what becomes of an existing file, as unzip does.
int AskExisting(void* context, const char* path, char* new_name, size_t size) {
    ExtractRun* run = (ExtractRun*)context;
    if (run->answer_for_all >= 0) return run->answer_for_all;
    run->progress->Clear();
    run->asked = true;
    for (;;) {
        fprintf(stderr, "quorvane: replace %s? [y]es, [n]o, [A]ll, [N]one, [r]ename: ", path);
        fflush(stderr);
        std::string answer;
        if (!ReadAnswer(&answer) || InterruptExitCode()) return QV_ANSWER_KEEP;
        if (answer == "y" || answer == "yes") return QV_ANSWER_REPLACE;
        if (answer == "n" || answer == "no") return QV_ANSWER_KEEP;
        if (answer == "A" || answer == "all") return run->answer_for_all = QV_ANSWER_REPLACE;
        if (answer == "N" || answer == "none") return run->answer_for_all = QV_ANSWER_KEEP;
        if (answer != "r" && answer != "rename") continue;
        fprintf(stderr, "quorvane: new name: ");
        fflush(stderr);
        std::string name;
        if (!ReadAnswer(&name) || InterruptExitCode()) return QV_ANSWER_KEEP;
        if (name.empty() || name.size() >= size) continue;
        memcpy(new_name, name.c_str(), name.size() + 1);
        return QV_ANSWER_RENAME;
    }
}

void Report(void* context, const qv_entry*, int code, const char* message) {
    ExtractRun* run = (ExtractRun*)context;
    run->progress->Clear();
    // Who answered no needs no hint.
    fprintf(stderr, "quorvane: %s%s\n", message,
            code == QV_E_EXISTS && strstr(message, "not replaced") && !run->asked
                ? " (use --overwrite or --skip-existing)"
                : "");
}

void Extracted(void* context, const qv_entry* entry) {
    ExtractRun* run = (ExtractRun*)context;
    if (run->options->verbosity != VERBOSE) return;
    run->progress->Clear();
    printf("%s\n", ShownName(*entry).c_str());
}

int Progressed(void* context, const qv_progress* state) {
    return ShowProgress(&((ExtractRun*)context)->sink, state);
}

int Select(void* context, const qv_entry* entry) {
    return ChooseEntry(((ExtractRun*)context)->patterns, entry);
}

// extract -c: the chosen files' bytes, in archive order, to standard output.
int WriteToStandardOutput(void*, const void* data, size_t size) {
    return fwrite(data, 1, size, stdout) != size || fflush(stdout) != 0;
}

int CheckInterrupt(void*, const qv_progress*) { return InterruptExitCode() != 0; }

void SayFailure(void*, const qv_entry*, int, const char* message) {
    fprintf(stderr, "quorvane: %s\n", message);
}

int ExtractToStandardOutput(qv_archive* archive, EntryPatterns* patterns, unsigned threads) {
    BinaryStandardOutput();
    fflush(stdout);
    qv_test_options settings = {};
    settings.struct_size = sizeof settings;
    settings.threads = threads;
    settings.select = ChooseEntry;
    settings.progress = CheckInterrupt;
    settings.report = SayFailure;
    settings.context = patterns;
    qv_error error;
    int code = qv_decode_selected(archive, &settings, WriteToStandardOutput, nullptr, &error);
    if (code == QV_E_CANCELLED || InterruptExitCode()) return InterruptExitCode();
    if (code != QV_OK && code != QV_E_ENTRIES_FAILED) {
        fprintf(stderr, "quorvane: %s\n", error.message);
        return EXIT_REFUSED;
    }
    int status = code == QV_OK ? EXIT_SUCCESS_ALL : EXIT_ENTRY_FAILED;
    if (SayUnmatched(*patterns)) status = EXIT_ENTRY_FAILED;
    return status;
}

}  // namespace

int CommandExtract(const ExtractOptions& options) {
    std::string destination = options.destination;
    if (!options.to_standard_output && destination.empty() &&
        !DefaultDestination(options.archive, &destination)) {
        fprintf(stderr,
                "quorvane: %s has no extension to cut off for the destination; give -d DIR\n",
                options.archive.c_str());
        return EXIT_USAGE;
    }
    OpenArchive open = {OpenOrSay(options.archive)};
    if (!open.archive) return EXIT_REFUSED;
    EntryPatterns patterns(options.patterns, options.excludes);
    // Nothing to extract: no destination folder is made.
    if (qv_entry_count(open.archive) == 0)
        return SayUnmatched(patterns) ? EXIT_ENTRY_FAILED : EXIT_SUCCESS_ALL;
    CatchInterrupts();
    if (options.to_standard_output)
        return ExtractToStandardOutput(open.archive, &patterns, options.threads);

    Progress progress(options.verbosity != QUIET);
    ExtractRun run = {&options, &progress, {&progress, 0, 0}, &patterns, -1, false};
    qv_extract_options settings = {};
    settings.struct_size = sizeof settings;
    settings.threads = options.threads;
    settings.existing = options.existing;
    if (settings.existing == QV_EXISTING_ASK && !InputIsInteractive())
        settings.existing = QV_EXISTING_KEEP;
    settings.ask_existing = AskExisting;
    settings.select = patterns.Empty() ? nullptr : Select;
    settings.progress = Progressed;
    settings.report = Report;
    settings.extracted = Extracted;
    settings.context = &run;
    qv_error error;
    int code = qv_extract(open.archive, destination.c_str(), &settings, &error);
    progress.Clear();
    if (InterruptExitCode()) return InterruptExitCode();
    bool unmatched = SayUnmatched(patterns);
    if (code == QV_E_ENTRIES_FAILED) {
        fprintf(stderr, "quorvane: %s\n", error.message);
        return EXIT_ENTRY_FAILED;
    }
    if (code != QV_OK) {
        fprintf(stderr, "quorvane: %s\n", error.message);
        return EXIT_REFUSED;
    }
    return unmatched ? EXIT_ENTRY_FAILED : EXIT_SUCCESS_ALL;
}
