// create: the given files and folders into an archive, through the library's
// writer.
#include <stdio.h>

#include <string>

#include "tools/commands.h"
#include "tools/patterns.h"
#include "tools/progress.h"
#include "tools/terminal.h"

namespace {

struct CreateRun {
    const CreateOptions* options;
    Progress* progress;
    ProgressSink sink;
    EntryPatterns* excludes;
};

int Exclude(void* context, const qv_entry* entry) {
    return ((CreateRun*)context)->excludes->Choose(*entry) ? 0 : 1;
}

void Warn(void* context, const char* message) {
    ((CreateRun*)context)->progress->Clear();
    fprintf(stderr, "quorvane: %s\n", message);
}

// -v names every file stored, and those that need the narrow-interval rule:
// other extractors of the format refuse them as damaged.
void Written(void* context, const char* source, const qv_entry* entry) {
    CreateRun* run = (CreateRun*)context;
    if (run->options->verbosity != VERBOSE) return;
    run->progress->Clear();
    // With the archive on standard output, the names go to standard error.
    fprintf(run->options->output == "-" ? stderr : stdout, "%s%s\n",
            entry->name_utf8 ? entry->name_utf8 : source,
            entry->narrow_interval == 1 ? NARROW_INTERVAL_NOTE : "");
}

int Progressed(void* context, const qv_progress* state) {
    return ShowProgress(&((CreateRun*)context)->sink, state);
}

int Failed(const qv_error& error) {
    if (error.code == QV_E_CANCELLED) return InterruptExitCode();
    fprintf(stderr, "quorvane: %s\n", error.message);
    return EXIT_REFUSED;
}

// Frees the writer on every way out.
struct OpenWriter {
    qv_writer* writer;
    ~OpenWriter() { qv_writer_free(writer); }
};

}  // namespace

int CommandCreate(const CreateOptions& options) {
    Progress progress(options.verbosity != QUIET);
    EntryPatterns excludes({}, options.excludes);
    CreateRun run = {&options, &progress, {&progress, 0, 0}, &excludes};
    qv_create_options settings = {};
    settings.struct_size = sizeof settings;
    settings.payload_only = options.payload_only;
    // Without --stub the library's own stub, built in or installed, is used.
    if (!options.payload_only && !options.stub.empty()) settings.stub_path = options.stub.c_str();
    settings.threads = options.threads;
    settings.fixed_time = options.fixed_time;
    settings.time = options.time;
    settings.source_date_epoch = 1;
    settings.warning = Warn;
    settings.written = Written;
    settings.progress = Progressed;
    settings.context = &run;
    if (!options.excludes.empty()) settings.exclude = Exclude;

    qv_error error;
    OpenWriter open = {nullptr};
    // -C: the output stays where it was named, the inputs are found from DIR.
    std::string output = options.folder.empty() ? options.output : AbsolutePath(options.output);
    int opened;
    if (options.output == "-") {  // -o -: the archive goes to standard output
        BinaryStandardOutput();
        fflush(stdout);
        opened = qv_writer_open_fd(1, &settings, &open.writer, &error);
    } else {
        opened = qv_writer_open(output.c_str(), &settings, &open.writer, &error);
    }
    if (opened != QV_OK) {
        if (error.code == QV_E_NOT_FOUND) {
            fprintf(stderr,
                    "quorvane: this quorvane has no extractor stub built in or installed; give "
                    "--stub FILE or --payload-only\n");
            return EXIT_REFUSED;
        }
        // What the writer refuses before it begins comes from the command line.
        if (error.code == QV_E_INVALID) {
            fprintf(stderr, "quorvane: %s\nTry 'quorvane --help'.\n", error.message);
            return EXIT_USAGE;
        }
        return Failed(error);
    }
    std::string why;
    if (!options.folder.empty() && !ChangeFolder(options.folder, &why)) {
        fprintf(stderr, "quorvane: cannot change to %s: %s\n", options.folder.c_str(), why.c_str());
        return EXIT_REFUSED;
    }
    for (const std::string& input : options.inputs) {
        // PATH=NAME stores PATH under the archive name NAME, unless a file
        // of the whole argument's name is there.
        size_t equals = input.find('=');
        int added = equals != std::string::npos && equals > 0 && !PathExists(input)
                        ? qv_writer_add_path_as(open.writer, input.substr(0, equals).c_str(),
                                                input.substr(equals + 1).c_str(), &error)
                        : qv_writer_add_path(open.writer, input.c_str(), &error);
        if (added != QV_OK) return Failed(error);
    }
    CatchInterrupts();
    int code = qv_writer_finish(open.writer, &error);
    progress.Clear();
    if (InterruptExitCode()) return InterruptExitCode();
    if (code != QV_OK) return Failed(error);
    return EXIT_SUCCESS_ALL;
}
