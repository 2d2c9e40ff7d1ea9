/* libquorvane: lists, tests, extracts and writes self-extracting archives
 * (a Windows extractor stub with entry records behind its last section) and
 * bare payloads of entry records.
 *
 * Every function answers a status: QV_OK (0) or one of the QV_E_ codes below.
 * Functions that can fail take a `qv_error *` (may be NULL) that receives the
 * code and a message naming the entry or file and saying why.
 *
 * Every options and information struct begins with `struct_size`, which the
 * caller sets to sizeof the struct, so that later versions can add fields:
 * fields past `struct_size` keep their defaults, and a struct_size of 0 is
 * QV_E_INVALID. A NULL options pointer means the defaults.
 *
 * Paths are this system's: UTF-8 natively, the ANSI code page on Windows.
 *
 * Threads: the library keeps no global state and installs no signal handler.
 * Different archives and writers may be used on different threads at once;
 * one archive or one writer is used by one thread at a time. Each function
 * says which of the two it is. */
#ifndef QUORVANE_H
#define QUORVANE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define QV_VERSION_MAJOR 2
#define QV_VERSION_MINOR 0
#define QV_VERSION_PATCH 0
#define QV_VERSION_STRING "2.0.0"
#define QV_VERSION_NUMBER (QV_VERSION_MAJOR * 10000 + QV_VERSION_MINOR * 100 + QV_VERSION_PATCH)

/* The library's own build of the Windows DLL exports the API; ELF builds
 * export it past the hidden rest. */
#if defined(QV_BUILD_DLL)
#define QV_API __declspec(dllexport)
#elif defined(__ELF__) && defined(__GNUC__)
#define QV_API __attribute__((visibility("default")))
#else
#define QV_API
#endif

/* ---- Statuses ----------------------------------------------------------- */

enum qv_status {
    QV_OK = 0,
    QV_E_INVALID = 1,         /* a wrong argument or option */
    QV_E_OPEN = 2,            /* a file cannot be opened, or is no regular file */
    QV_E_REFUSED = 3,         /* the archive is broken or unsafe: nothing may be read */
    QV_E_DAMAGED = 4,         /* the stored bytes do not decode to the entry */
    QV_E_READ = 5,            /* reading failed */
    QV_E_WRITE = 6,           /* writing failed, or a folder cannot be made */
    QV_E_NO_MEMORY = 7,       /* memory could not be had */
    QV_E_UNSAFE_NAME = 8,     /* a name that cannot be one here, or that collides */
    QV_E_CANCELLED = 9,       /* a progress callback asked to stop */
    QV_E_EXISTS = 10,         /* something of that name exists and was left alone */
    QV_E_ENTRIES_FAILED = 11, /* extraction went on, but some entries failed */
    QV_E_BUFFER_TOO_SMALL = 12,
    QV_E_CANNOT_STORE = 13, /* a name or file that an archive cannot hold */
    QV_E_CHANGED = 14,      /* a file changed while it was read */
    QV_E_NOT_FOUND = 15     /* no entry of that name, or no default stub */
};

/* A failure's code and a message in UTF-8 (on Windows: the ANSI code page). */
typedef struct qv_error {
    int code;
    /* The errno (on Windows: GetLastError) value behind the failure, or what
     * a caller's callback answered; 0 when there is none. */
    int system_error;
    char message[1024];
} qv_error;

/* A short text for a status, for any code. Thread-safe. */
QV_API const char* qv_strerror(int code);

/* ---- Version ------------------------------------------------------------ */

/* The QV_VERSION_NUMBER and QV_VERSION_STRING of the library that runs.
 * Thread-safe. */
QV_API int qv_version(void);
QV_API const char* qv_version_string(void);

/* ---- Times -------------------------------------------------------------- */

/* Entries keep FILETIMEs: 100-nanosecond intervals since 1601-01-01 UTC.
 * Unix seconds (and the nanoseconds beyond, when `nanoseconds` is not NULL).
 * Thread-safe. */
QV_API int64_t qv_filetime_to_unix(uint64_t filetime, uint32_t* nanoseconds);

/* The FILETIME of a Unix time; 0 before 1601, UINT64_MAX when too late for
 * one. Thread-safe. */
QV_API uint64_t qv_unix_to_filetime(int64_t seconds, uint32_t nanoseconds);

/* Reads "@SECONDS" (since 1970-01-01 UTC) or "YYYY-MM-DD[THH:MM:SS][Z]" (UTC)
 * as a FILETIME. QV_E_INVALID when it is neither or lies outside the years
 * 1601 to 9999. Thread-safe. */
QV_API int qv_parse_time(const char* text, uint64_t* filetime);

/* ---- Opening ------------------------------------------------------------ */

typedef struct qv_archive qv_archive;

/* What a file is, from its first bytes, when it is a common kind that is no
 * self-extracting archive: "a zip archive", "a gzip file", "an xz file",
 * "a zstd file", "a bzip2 file", "a 7z archive", "a rar archive" or "an ELF
 * program or library"; NULL for anything else. Eight bytes are enough. The
 * qv_open_ functions name such a file in their refusal already. Thread-safe. */
QV_API const char* qv_identify(const void* head, size_t size);

/* Opens a self-extracting executable or a bare payload and validates every
 * entry record before anything else: structure, sizes, and names that could
 * lead outside a destination or that the system refuses. A refusal is
 * QV_E_REFUSED with the entry and the reason in `error`, or with what the
 * file is (qv_identify). Only regular files
 * are read: a pipe or a device is QV_E_OPEN at once. Thread-safe (each call
 * makes an archive of its own). */
QV_API int qv_open_path(const char* path, qv_archive** archive, qv_error* error);

/* The same for an open descriptor, which stays the caller's: the archive
 * reads through a duplicate of it, whose file position it shares.
 * Thread-safe. */
QV_API int qv_open_fd(int fd, qv_archive** archive, qv_error* error);

/* The same for bytes in memory, which are neither copied nor written to a
 * file: they must stay as they are until qv_close. Thread-safe. */
QV_API int qv_open_memory(const void* data, size_t size, qv_archive** archive, qv_error* error);

/* An archive read through the caller's functions. Each answers 0 when it
 * succeeded; any other answer fails the call that needed it with QV_E_READ,
 * and a positive answer is reported as the error's system_error. */
typedef struct qv_io_callbacks {
    size_t struct_size;
    /* Up to `size` bytes at the current position; *got 0 at the end. */
    int (*read)(void* context, void* buffer, size_t size, size_t* got);
    /* Moves to `offset` from the start (whence 0), the current position (1)
     * or the end (2); *position receives the new position. */
    int (*seek)(void* context, int64_t offset, int whence, uint64_t* position);
    int (*size)(void* context, uint64_t* size); /* of the whole archive */
    void* context;
} qv_io_callbacks;

/* The same through `io`, whose functions and context must stay valid until
 * qv_close; `io` itself is copied. The archive is read from any position, at
 * any time, on the thread that uses it. Thread-safe. */
QV_API int qv_open_callbacks(const qv_io_callbacks* io, qv_archive** archive, qv_error* error);

/* Closes the archive; NULL is allowed. Not while another thread uses it. */
QV_API void qv_close(qv_archive* archive);

/* Where the payload starts: the end of the executable's last section, 0 for
 * a bare payload. Safe from several threads at once. */
QV_API uint64_t qv_payload_start(const qv_archive* archive);

/* ---- Entries ------------------------------------------------------------ */

enum qv_kind { QV_FILE = 0, QV_FOLDER = 1 };

/* Attribute bits as Windows has them. */
#define QV_ATTR_READONLY 0x01
#define QV_ATTR_HIDDEN 0x02
#define QV_ATTR_SYSTEM 0x04
#define QV_ATTR_DIRECTORY 0x10
#define QV_ATTR_ARCHIVE 0x20

typedef struct qv_entry {
    size_t struct_size;     /* set by the caller of qv_entry_at; by the library in callbacks */
    size_t index;           /* 0 for the first entry of the payload */
    const char* name;       /* the stored bytes (code page 932, '\' separated), NUL added */
    size_t name_length;     /* bytes of `name` */
    const char* name_utf8;  /* '/'-separated, a folder's ending in '/'; NULL when the
                               name cannot be converted */
    int kind;               /* QV_FILE or QV_FOLDER */
    uint32_t original_size; /* bytes of the file */
    uint32_t stored_size;   /* bytes stored for it */
    uint64_t creation_time; /* FILETIMEs; 0 when not kept */
    uint64_t last_access_time;
    uint64_t last_write_time;
    uint16_t attributes;            /* QV_ATTR_ bits (bits 0-12 of the record) */
    int odd_rescale;                /* 1 when stage 1 decodes with the odd rescale rule */
    int narrow_interval;            /* 1 when the stream uses the narrow-interval rule, 0 when
                                       not, -1 while unknown (known once the entry decoded) */
    uint32_t narrow_interval_steps; /* steps that used it, when known */
} qv_entry;

/* The number of entries. Safe from several threads at once. */
QV_API size_t qv_entry_count(const qv_archive* archive);

/* Fills `entry` with entry `index`; its strings stay valid until qv_close.
 * QV_E_INVALID for an index past the last. Safe from several threads at once,
 * but not while the same archive decodes on another thread. */
QV_API int qv_entry_at(const qv_archive* archive, size_t index, qv_entry* entry);

/* The index of the entry called `name` (UTF-8; '/' or '\\' between its
 * parts; a folder's with or without its final separator); QV_E_NOT_FOUND
 * when there is none. Safe from several threads at once. */
QV_API int qv_find_entry(const qv_archive* archive, const char* name, size_t* index);

/* ---- Names -------------------------------------------------------------- */

/* An entry's stored name as this system writes names: UTF-8 with '/' between
 * the parts natively, the ANSI code page with '\' on Windows. The text goes
 * into `buffer` with a NUL after it, and its length (without the NUL) into
 * `*length` when `length` is not NULL. A `buffer` of fewer than length + 1
 * bytes, or NULL, gives QV_E_BUFFER_TOO_SMALL with `*length` set, so that a
 * second call can succeed. `entry` comes from qv_entry_at. Thread-safe. */

/* The name as a path relative to a destination, as qv_extract would make it.
 * QV_E_UNSAFE_NAME when a part does not convert or can never be a name of its
 * own here (empty, "." or "..", a separator or NUL inside). */
QV_API int qv_entry_path(const qv_entry* entry, char* buffer, size_t size, size_t* length);

/* The name to show a person: the path, a folder's with a separator at the
 * end; when the name has no path here, the stored bytes with those that
 * cannot be shown as \xNN. */
QV_API int qv_entry_shown_name(const qv_entry* entry, char* buffer, size_t size, size_t* length);

/* 1 when `pattern` names the entry or a folder that holds it, else 0 (also
 * for a name without a path here). The pattern is a path of this system, '/'
 * and '\' alike, a separator at its end ignored; '*' stands for any run of
 * characters, separators included, '?' for one character. Thread-safe. */
QV_API int qv_entry_matches(const qv_entry* entry, const char* pattern);

/* ---- Decoding ----------------------------------------------------------- */

typedef struct qv_progress {
    size_t struct_size;  /* set by the library */
    size_t entry;        /* index of the entry at hand */
    const char* name;    /* its name or file, as messages show it */
    uint64_t entry_done; /* bytes of it done */
    uint64_t entry_size;
    uint64_t done; /* bytes of the whole operation done */
    uint64_t total;
} qv_progress;

/* Called at the start of every entry and as its bytes are decoded (about
 * every MiB); a nonzero answer cancels: the call then ends with
 * QV_E_CANCELLED and leaves no partial file. */
typedef int (*qv_progress_fn)(void* context, const qv_progress* progress);

/* Receives decoded bytes in order; a nonzero answer stops with QV_E_WRITE. */
typedef int (*qv_write_fn)(void* context, const void* data, size_t size);

/* Decodes entry `index` in memory, stage 1 on a second thread when there
 * is a second core. The bytes arrive before the verdict: only QV_OK says they
 * are the entry (QV_E_DAMAGED when they are not). A folder decodes to nothing.
 * `progress` may be NULL. One thread at a time per archive. */
QV_API int qv_decode(qv_archive* archive, size_t index, qv_write_fn write, void* write_context,
                     qv_progress_fn progress, void* progress_context, qv_error* error);

/* The same into an open descriptor, from its current position. One thread
 * at a time per archive. */
QV_API int qv_decode_to_fd(qv_archive* archive, size_t index, int fd, qv_progress_fn progress,
                           void* progress_context, qv_error* error);

/* The same into `buffer`, which must hold the entry's original_size bytes
 * (QV_E_BUFFER_TOO_SMALL otherwise, before anything is decoded). One thread
 * at a time per archive. */
QV_API int qv_decode_to_buffer(qv_archive* archive, size_t index, void* buffer, size_t size,
                               qv_progress_fn progress, void* progress_context, qv_error* error);

/* ---- Reading one entry at the caller's pace ----------------------------- */

typedef struct qv_reader qv_reader;

/* Begins reading entry `index`, decoded a piece at a time as qv_reader_read
 * asks, on the caller's thread and with no thread of its own, in memory that
 * does not grow with the entry (about 12 MiB at most). The archive must stay
 * open until qv_reader_close; other calls on it may come between reads, but
 * not at the same time. A folder reads as empty. */
QV_API int qv_reader_open(qv_archive* archive, size_t index, qv_reader** reader, qv_error* error);

/* Copies up to `size` of the next decoded bytes into `buffer`; *got receives
 * how many. The bytes arrive before the verdict: QV_OK with *got == 0 says the
 * entry is complete and sound, while QV_E_DAMAGED (or another failure) says
 * the bytes read so far are not the entry. After a failure every read gives
 * the same failure. */
QV_API int qv_reader_read(qv_reader* reader, void* buffer, size_t size, size_t* got,
                          qv_error* error);

/* Ends the reading, at its end or before; NULL is allowed. */
QV_API void qv_reader_close(qv_reader* reader);

/* ---- Extracting --------------------------------------------------------- */

/* What happens to a file that exists where an entry goes. */
enum qv_existing {
    QV_EXISTING_KEEP = 0,  /* left alone, and reported as failed (QV_E_EXISTS) */
    QV_EXISTING_OVERWRITE, /* replaced */
    QV_EXISTING_SKIP,      /* left alone, not a failure */
    QV_EXISTING_ASK        /* ask_existing, or else ask_replace, decides */
};

/* The answers of ask_existing. */
enum qv_answer {
    QV_ANSWER_KEEP = 0,    /* left alone, and reported as failed (QV_E_EXISTS) */
    QV_ANSWER_REPLACE = 1, /* replaced */
    QV_ANSWER_RENAME = 2   /* written under the name put into `new_name` instead */
};

typedef struct qv_extract_options {
    size_t struct_size;
    int existing; /* a qv_existing */
    /* For QV_EXISTING_ASK: nonzero replaces the file at `path`, 0 keeps it. */
    int (*ask_replace)(void* context, const char* path);
    /* Nonzero extracts the entry; NULL extracts all. The folders that hold a
     * chosen entry are extracted with it. */
    int (*select)(void* context, const qv_entry* entry);
    qv_progress_fn progress; /* may be NULL */
    /* An entry that failed; the run goes on with the next. `message` names the
     * entry and says why. May be NULL. */
    void (*report)(void* context, const qv_entry* entry, int code, const char* message);
    /* An entry is in place. May be NULL. */
    void (*extracted)(void* context, const qv_entry* entry);
    void* context; /* handed to every callback */
    /* Threads that decode: several files at once, and stage 1 of a large one
     * beside the rest; 0: one per core, 1: everything on the caller's. */
    unsigned threads;
    /* For QV_EXISTING_ASK, in place of ask_replace when set: a qv_answer for
     * the file at `path`. For QV_ANSWER_RENAME it puts a file name (no folder;
     * UTF-8, on Windows the ANSI code page) of at most `size` bytes with its
     * NUL into `new_name`; the entry goes there, in the same folder, and is
     * asked about again when that exists too. A name that cannot be one is
     * asked about again. */
    int (*ask_existing)(void* context, const char* path, char* new_name, size_t size);
} qv_extract_options;

/* Extracts the chosen entries below `destination`, which is made with its
 * parents when missing. Every folder below it is made and entered relative to
 * the open folder above, and no link is followed there; a file is written
 * under no name (or a short hidden one) and named only when complete, with
 * its times and read-only state. Two entries that become the same name here
 * are both reported, and the later one is not extracted. QV_OK when all was
 * done; QV_E_ENTRIES_FAILED when some entries failed (each reported);
 * QV_E_CANCELLED; or the reason nothing could be done. `options` may be NULL.
 * One thread at a time per archive. */
QV_API int qv_extract(qv_archive* archive, const char* destination,
                      const qv_extract_options* options, qv_error* error);

/* ---- Testing ------------------------------------------------------------ */

typedef struct qv_test_options {
    size_t struct_size; /* sizeof(qv_test_options) */
    /* Threads that decode, as in qv_extract_options; 0: one per core. */
    unsigned threads;
    /* Nonzero tests the entry; NULL tests all. */
    int (*select)(void* context, const qv_entry* entry);
    qv_progress_fn progress; /* may be NULL */
    /* An entry that failed, with `message` naming it and saying why; the run
     * goes on with the next. May be NULL. */
    void (*report)(void* context, const qv_entry* entry, int code, const char* message);
    /* An entry decoded to what its record announces. May be NULL. */
    void (*tested)(void* context, const qv_entry* entry);
    void* context; /* handed to every callback */
} qv_test_options;

/* Decodes the chosen entries without writing them, several at once (small
 * files each whole on one thread, large ones with stage 1 on a thread of its
 * own). Every callback is called on the caller's thread, and report and
 * tested in archive order. QV_OK when every entry is sound;
 * QV_E_ENTRIES_FAILED when some failed (each reported); QV_E_CANCELLED; or
 * the reason nothing could be done. `options` may be NULL. One thread at a
 * time per archive. */
QV_API int qv_test(qv_archive* archive, const qv_test_options* options, qv_error* error);

/* The same, handing the chosen files' bytes to `write` in archive order
 * (folders are passed over): each file's bytes before its verdict, as
 * qv_decode gives them. */
QV_API int qv_decode_selected(qv_archive* archive, const qv_test_options* options,
                              qv_write_fn write, void* write_context, qv_error* error);

/* ---- Writing ------------------------------------------------------------ */

typedef struct qv_writer qv_writer;

typedef struct qv_create_options {
    size_t struct_size;
    int payload_only;      /* the entry records alone, no stub */
    const char* stub_path; /* else the extractor stub from this file ... */
    const void* stub_data; /* ... or these bytes (a PE executable that ends */
    size_t stub_size;      /* with its last section); with neither, the default
                              stub (see qv_writer_open) */
    unsigned threads;      /* block sorters per entry; 0: one per core */
    int fixed_time;        /* nonzero: every entry gets `time` as its three times */
    uint64_t time;         /* FILETIME */
    /* Nonzero: without fixed_time, the environment's SOURCE_DATE_EPOCH (whole
     * seconds since 1970), when set, is that time, as build tools expect. */
    int source_date_epoch;
    /* Something left out (a link or special file inside a folder). May be NULL. */
    void (*warning)(void* context, const char* message);
    /* An entry was written; `source` is its file, or its name when it came
     * from memory. May be NULL. */
    void (*written)(void* context, const char* source, const qv_entry* entry);
    qv_progress_fn progress; /* may be NULL */
    void* context;
    /* Nonzero leaves out a file or folder that qv_writer_add_path meets, a
     * folder with everything in it. Only the names and the kind of `entry`
     * are filled in (qv_entry_matches needs no more). May be NULL. */
    int (*exclude)(void* context, const qv_entry* entry);
} qv_create_options;

/* Begins an archive at `output`. Nothing is written before qv_writer_finish,
 * and nothing is left when it fails or the writer is freed unfinished.
 * Without a stub in `options` (or with NULL options) the archive gets the
 * default stub: the one built into the library when the library was built
 * with one, else share/quorvane/quorvane-sfx.exe of the prefix the library is
 * installed in; QV_E_NOT_FOUND when there is neither. Thread-safe (each call
 * makes a writer of its own). */
QV_API int qv_writer_open(const char* output, const qv_create_options* options, qv_writer** writer,
                          qv_error* error);

/* The same into an open descriptor, which stays the caller's: the archive is
 * written from its current position by qv_writer_finish, in one pass, after
 * it was made and validated in a work file. When the descriptor is a regular
 * file, a failure cuts it back to where it was. Thread-safe. */
QV_API int qv_writer_open_fd(int fd, const qv_create_options* options, qv_writer** writer,
                             qv_error* error);

/* Receives the finished archive in order, in one pass with no seeking, so
 * that it can go to a pipe or standard output. 0 when written; any other
 * answer fails qv_writer_finish with QV_E_WRITE, a positive one reported as
 * the error's system_error. What was delivered before a failure is not
 * taken back. */
typedef struct qv_output_callbacks {
    size_t struct_size;
    int (*write)(void* context, const void* data, size_t size);
    void* context;
} qv_output_callbacks;

/* The same into the caller's function; `output` is copied, its context must
 * stay valid until the writer is freed. Thread-safe. */
QV_API int qv_writer_open_callbacks(const qv_output_callbacks* output,
                                    const qv_create_options* options, qv_writer** writer,
                                    qv_error* error);

/* Adds a file, or a folder with everything inside it (each folder's contents
 * in the byte order of their archive names). Names must be representable in
 * code page 932 and at most 255 bytes long; files below 4 GiB. Checked here:
 * QV_E_CANNOT_STORE otherwise. One thread at a time per writer. */
QV_API int qv_writer_add_path(qv_writer* writer, const char* path, qv_error* error);

/* The same, stored under `archive_name` (UTF-8, '/' or '\\' between its
 * parts) instead of the path's last component; a folder's contents go below
 * that name. */
QV_API int qv_writer_add_path_as(qv_writer* writer, const char* path, const char* archive_name,
                                 qv_error* error);

/* Adds a file from memory under `name` (UTF-8, '/' separated), with
 * `filetime` as its three times and `attributes` (QV_ATTR_ bits). The bytes
 * are copied: they may go as soon as the call returns. QV_E_INVALID for a
 * name ending in '/', attribute bits of a folder, a device or a link, or a
 * name where a folder of that name is needed (or the reverse);
 * QV_E_UNSAFE_NAME for a name that is one on Windows with an earlier entry's
 * (case, and dots and spaces at the end, do not count). One thread at a time
 * per writer. */
QV_API int qv_writer_add_memory(qv_writer* writer, const char* name, const void* data, size_t size,
                                uint64_t filetime, uint16_t attributes, qv_error* error);

/* Adds a folder entry `name` (UTF-8, '/' separated). One thread at a time
 * per writer. */
QV_API int qv_writer_add_folder(qv_writer* writer, const char* name, uint64_t filetime,
                                qv_error* error);

/* Compresses and writes every entry into a hidden file beside the output,
 * validates it, and gives it the output's name. On failure or cancel nothing
 * is left. One thread at a time per writer. */
QV_API int qv_writer_finish(qv_writer* writer, qv_error* error);

/* Frees the writer; NULL is allowed. Not while another thread uses it. */
QV_API void qv_writer_free(qv_writer* writer);

/* Removes the hidden file of a qv_writer_finish under way at once. For a
 * signal handler (async-signal-safe) or a console control handler that ends
 * the process next: a first interrupt is better answered by cancelling
 * through the progress callback, which removes the file as well. */
QV_API void qv_remove_partial_output(void);

#ifdef __cplusplus
}
#endif

#endif /* QUORVANE_H */
