// The few entry points that js/quorvane.mjs calls besides the C API itself:
// what crosses into JavaScript as plain numbers (no 64-bit values, no struct
// layouts), and the read, write, progress and result callbacks, which call
// into the JavaScript side.
#include <emscripten.h>
#include <stdint.h>
#include <stdlib.h>

#include <quorvane.h>

extern "C" {

// Decoded bytes for the JavaScript side; nonzero stops the decoding.
EM_JS(int, qvw_take_bytes, (int token, const void* data, size_t size), {
    return Module["qvwTakeBytes"](token, data, size);
});

// Progress for the JavaScript side; nonzero cancels.
EM_JS(int, qvw_take_progress,
      (int token, int entry, double entry_done, double entry_size, double done, double total), {
          return Module["qvwTakeProgress"](token, entry, entry_done, entry_size, done, total);
      });

// An entry's verdict for the JavaScript side: `code` 0 when it is sound.
EM_JS(void, qvw_take_result, (int token, int entry, int code, const char* message), {
    Module["qvwTakeResult"](token, entry, code, message);
});

// Up to `size` bytes at `position` of an archive the JavaScript side holds
// (a Blob read in slices, a file in Node): the bytes read, or -1.
EM_JS(double, qvw_source_read, (int token, double position, void* buffer, size_t size), {
    return Module["qvwSourceRead"](token, position, buffer, size);
});

EMSCRIPTEN_KEEPALIVE qv_error* qvw_error_new(void) { return (qv_error*)calloc(1, sizeof(qv_error)); }
EMSCRIPTEN_KEEPALIVE int qvw_error_code(const qv_error* error) { return error->code; }
EMSCRIPTEN_KEEPALIVE const char* qvw_error_message(const qv_error* error) { return error->message; }

// A time of an entry in milliseconds since 1970, or NaN when not kept.
static double TimeMs(uint64_t filetime) {
    if (filetime == 0) return __builtin_nan("");
    uint32_t nanoseconds = 0;
    int64_t seconds = qv_filetime_to_unix(filetime, &nanoseconds);
    return (double)seconds * 1000.0 + nanoseconds / 1e6;
}

// Entry `index` into `out` as numbers: kind, original and stored size, the
// three times, attributes, odd rescale rule, narrow interval (-1 unknown),
// then the addresses and length of the stored name and of its UTF-8 form.
EMSCRIPTEN_KEEPALIVE int qvw_entry(const qv_archive* archive, size_t index, double out[12]) {
    qv_entry entry;
    entry.struct_size = sizeof entry;
    int code = qv_entry_at(archive, index, &entry);
    if (code != QV_OK) return code;
    const double fields[12] = {(double)entry.kind,
                               (double)entry.original_size,
                               (double)entry.stored_size,
                               TimeMs(entry.creation_time),
                               TimeMs(entry.last_access_time),
                               TimeMs(entry.last_write_time),
                               (double)entry.attributes,
                               (double)entry.odd_rescale,
                               (double)entry.narrow_interval,
                               (double)(uintptr_t)entry.name,
                               (double)entry.name_length,
                               (double)(uintptr_t)entry.name_utf8};
    for (int i = 0; i < 12; i++) out[i] = fields[i];
    return QV_OK;
}

static int WriteToken(void* context, const void* data, size_t size) {
    return qvw_take_bytes((int)(intptr_t)context, data, size);
}

static int DiscardBytes(void*, const void*, size_t) { return 0; }

static int ProgressToken(void* context, const qv_progress* progress) {
    return qvw_take_progress((int)(intptr_t)context, (int)progress->entry,
                             (double)progress->entry_done, (double)progress->entry_size,
                             (double)progress->done, (double)progress->total);
}

static void ReportToken(void* context, const qv_entry* entry, int code, const char* message) {
    qvw_take_result((int)(intptr_t)context, (int)entry->index, code, message);
}

static void TestedToken(void* context, const qv_entry* entry) {
    qvw_take_result((int)(intptr_t)context, (int)entry->index, QV_OK, "");
}

// Decodes entry `index`: the bytes go to the JavaScript side under `token`,
// or nowhere when `keep` is 0 (a test); progress under the same token.
EMSCRIPTEN_KEEPALIVE int qvw_decode(qv_archive* archive, size_t index, int token, int keep,
                                    qv_error* error) {
    void* context = (void*)(intptr_t)token;
    return qv_decode(archive, index, keep ? WriteToken : DiscardBytes, context, ProgressToken,
                     context, error);
}

// Tests every entry on this one thread: progress and each verdict go to the
// JavaScript side under `token`.
EMSCRIPTEN_KEEPALIVE int qvw_test(qv_archive* archive, int token, qv_error* error) {
    qv_test_options options = {};
    options.struct_size = sizeof options;
    options.threads = 1;
    options.progress = ProgressToken;
    options.report = ReportToken;
    options.tested = TestedToken;
    options.context = (void*)(intptr_t)token;
    return qv_test(archive, &options, error);
}

// An archive of `size` bytes that the JavaScript side reads under `token`.
struct JsSource {
    int token;
    uint64_t size;
    uint64_t position;
};

static int JsSourceRead(void* context, void* buffer, size_t size, size_t* got) {
    JsSource* source = (JsSource*)context;
    uint64_t left = source->position < source->size ? source->size - source->position : 0;
    if (size > left) size = (size_t)left;
    *got = 0;
    if (size == 0) return 0;
    double read = qvw_source_read(source->token, (double)source->position, buffer, size);
    if (!(read >= 0 && read <= (double)size)) return -1;
    *got = (size_t)read;
    source->position += *got;
    return 0;
}

static int JsSourceSeek(void* context, int64_t offset, int whence, uint64_t* position) {
    JsSource* source = (JsSource*)context;
    int64_t base = whence == 0 ? 0 : whence == 1 ? (int64_t)source->position : (int64_t)source->size;
    if (offset < -base) return -1;
    source->position = (uint64_t)(base + offset);
    *position = source->position;
    return 0;
}

static int JsSourceSize(void* context, uint64_t* size) {
    *size = ((JsSource*)context)->size;
    return 0;
}

// Opens such an archive; the source it answers must be freed (free) after
// qv_close, and is freed here when opening fails.
EMSCRIPTEN_KEEPALIVE JsSource* qvw_open_source(int token, double size, qv_archive** archive,
                                               qv_error* error) {
    JsSource* source = (JsSource*)calloc(1, sizeof(JsSource));
    if (!source) return NULL;
    source->token = token;
    source->size = (uint64_t)size;
    qv_io_callbacks io = {};
    io.struct_size = sizeof io;
    io.read = JsSourceRead;
    io.seek = JsSourceSeek;
    io.size = JsSourceSize;
    io.context = source;
    if (qv_open_callbacks(&io, archive, error) == QV_OK) return source;
    free(source);
    return NULL;
}

// The archive being written, handed to the JavaScript side under the token
// that is the context; nonzero from there fails the writing.
static int JsOutputWrite(void* context, const void* data, size_t size) {
    return qvw_take_bytes((int)(intptr_t)context, data, size);
}

// A writer whose archive goes to the JavaScript side under `token`, in order,
// with the given stub; `time_ms` (when not NaN) as every entry's time instead
// of each file's own.
EMSCRIPTEN_KEEPALIVE qv_writer* qvw_writer_open(int token, const void* stub, size_t stub_size,
                                                double time_ms, qv_error* error) {
    qv_create_options options = {};
    options.struct_size = sizeof options;
    options.stub_data = stub;
    options.stub_size = stub_size;
    options.threads = 1;
    if (time_ms == time_ms) {
        options.fixed_time = 1;
        options.time = qv_unix_to_filetime((int64_t)(time_ms / 1000), 0);
    }
    qv_writer* writer = NULL;
    qv_output_callbacks output = {};
    output.struct_size = sizeof output;
    output.write = JsOutputWrite;
    output.context = (void*)(intptr_t)token;
    return qv_writer_open_callbacks(&output, &options, &writer, error) == QV_OK ? writer : NULL;
}

// Adds bytes under `name`, or a folder when `folder`, with `time_ms` as the
// entry's three times.
EMSCRIPTEN_KEEPALIVE int qvw_writer_add(qv_writer* writer, const char* name, const void* data,
                                        size_t size, double time_ms, int attributes,
                                        int folder, qv_error* error) {
    int64_t seconds = (int64_t)(time_ms / 1000);
    uint32_t nanoseconds = (uint32_t)((time_ms - (double)seconds * 1000) * 1e6);
    uint64_t filetime = qv_unix_to_filetime(seconds, nanoseconds);
    if (folder) return qv_writer_add_folder(writer, name, filetime, error);
    return qv_writer_add_memory(writer, name, data, size, filetime, (uint16_t)attributes, error);
}
}
