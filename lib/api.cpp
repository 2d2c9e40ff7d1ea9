// The C API: argument checks and exceptions stop here; the work is done by
// the library's own layer (archive.h).
#include <string.h>

#include <quorvane.h>

#include "lib/archive.h"
#include "lib/archive_time.h"
#include "lib/files.h"
#include "lib/text.h"

namespace {

// Indexes `archive` and hands it out in *opened; it goes when it fails.
Status OpenWith(qv_archive* archive, qv_archive** opened, std::string* why) {
    Status status = IndexArchive(archive, why);
    if (!status.ok()) {
        delete archive;
        return status;
    }
    *opened = archive;
    return STATUS_OK;
}

// An archive over the open `file`, which it owns from now on.
Status OpenFile(FileHandle file, const std::string& label, qv_archive** opened, std::string* why) {
    qv_archive* archive = new qv_archive();
    archive->file = file;
    archive->source = FileSource(file);
    archive->label = label;
    return OpenWith(archive, opened, why);
}

Status CheckEntry(const qv_archive* archive, size_t index, std::string* why) {
    if (!archive) {
        *why = "no archive given";
        return Failed(CAUSE_INVALID);
    }
    if (index >= archive->entries.size()) {
        *why = "there is no entry " + std::to_string(index) + " in " + archive->label;
        return Failed(CAUSE_INVALID);
    }
    return STATUS_OK;
}

// Reads through the user's functions, seeking only when the position is not
// where the last read left it, until `size` bytes or the end.
Status ReadThroughCallbacks(void* context, uint64_t position, void* buffer, uint32_t size,
                            uint32_t* got) {
    qv_archive* archive = (qv_archive*)context;
    const qv_io_callbacks& io = archive->io;
    *got = 0;
    int answer = 0;
    if (archive->io_position != position) {
        uint64_t now = 0;
        answer =
            position > (uint64_t)INT64_MAX ? -1 : io.seek(io.context, (int64_t)position, 0, &now);
        if (answer != 0 || now != position) {
            archive->io_position = UINT64_MAX;
            archive->io_failure = Failed(CAUSE_READ_FAILED, answer > 0 ? (uint32_t)answer : 0);
            return archive->io_failure;
        }
        archive->io_position = position;
    }
    while (*got < size) {
        size_t delivered = 0;
        answer = io.read(io.context, (uint8_t*)buffer + *got, size - *got, &delivered);
        if (answer != 0 || delivered > size - *got) {
            archive->io_position = UINT64_MAX;
            archive->io_failure = Failed(CAUSE_READ_FAILED, answer > 0 ? (uint32_t)answer : 0);
            return archive->io_failure;
        }
        if (delivered == 0) break;
        *got += (uint32_t)delivered;
        archive->io_position += delivered;
    }
    return STATUS_OK;
}

// Decodes entry `index` into `output`, with the entry's name in a failure.
Status DecodeTo(qv_archive* archive, size_t index, DecodedOutput output, void* output_context,
                qv_progress_fn progress, void* progress_context, std::string* why,
                const int* output_answer = nullptr) {
    const EntryFields& record = archive->entries[index].record;
    ProgressReport report(progress, progress_context, record.originalSize);
    *why = "cancelled";
    if (!report.Begin(index, record.originalSize,
                      ListedName(RecordName(record), IsFolderRecord(record))))
        return Failed(CAUSE_CANCELLED);
    Status status = DecodeArchiveEntry(archive, index, output, output_context, &report, why);
    if (!status.ok()) {
        *why = EntryNameForMessages(*archive, index) + ": " + *why;
        // A callback that refused the bytes tells its own reason.
        if (status.cause == CAUSE_WRITE_FAILED && output_answer)
            status.system_error = *output_answer > 0 ? (uint32_t)*output_answer : 0;
        return status;
    }
    report.End();
    *why = "cancelled";
    return report.Cancelled() ? Failed(CAUSE_CANCELLED) : STATUS_OK;
}

struct CallbackOutput {
    qv_write_fn write;
    void* context;
    int answer;  // the callback's last answer
};

Status ToCallback(void* context, const uint8_t* data, uint32_t size) {
    CallbackOutput* output = (CallbackOutput*)context;
    // The callback's own failed call left its reason behind.
    ClearFileError();
    output->answer = output->write(output->context, data, size);
    if (output->answer == 0) return STATUS_OK;
    return Failed(CAUSE_WRITE_FAILED, LastFileError());
}

Status ToHandle(void* context, const uint8_t* data, uint32_t size) {
    return WriteBytes(*(FileHandle*)context, data, size);
}

struct BufferOutput {
    uint8_t* next;
    size_t left;
};

Status ToBuffer(void* context, const uint8_t* data, uint32_t size) {
    BufferOutput* output = (BufferOutput*)context;
    if (size > output->left) return Failed(CAUSE_WRITE_FAILED);
    memcpy(output->next, data, size);
    output->next += size;
    output->left -= size;
    return STATUS_OK;
}

}  // namespace

extern "C" {

const char* qv_strerror(int code) {
    switch (code) {
        case QV_OK:
            return "done";
        case QV_E_INVALID:
            return "wrong argument";
        case QV_E_OPEN:
            return "cannot be opened";
        case QV_E_REFUSED:
            return "the archive is damaged or unsafe";
        case QV_E_DAMAGED:
            return "damaged";
        case QV_E_READ:
            return "reading failed";
        case QV_E_WRITE:
            return "writing failed";
        case QV_E_NO_MEMORY:
            return "out of memory";
        case QV_E_UNSAFE_NAME:
            return "a name that cannot be used here";
        case QV_E_CANCELLED:
            return "cancelled";
        case QV_E_EXISTS:
            return "exists and was left alone";
        case QV_E_ENTRIES_FAILED:
            return "some entries failed";
        case QV_E_BUFFER_TOO_SMALL:
            return "the buffer is too small";
        case QV_E_CANNOT_STORE:
            return "cannot be stored in an archive";
        case QV_E_CHANGED:
            return "the file changed while it was read";
        case QV_E_NOT_FOUND:
            return "not found";
        default:
            return "unknown status";
    }
}

int qv_version(void) { return QV_VERSION_NUMBER; }

const char* qv_version_string(void) { return QV_VERSION_STRING; }

int64_t qv_filetime_to_unix(uint64_t filetime, uint32_t* nanoseconds) {
    if (nanoseconds) *nanoseconds = (uint32_t)(filetime % 10000000u) * 100;
    return (int64_t)(filetime / 10000000u) - UNIX_EPOCH_IN_FILETIME_SECONDS;
}

uint64_t qv_unix_to_filetime(int64_t seconds, uint32_t nanoseconds) {
    if (nanoseconds >= 1000000000u) return 0;
    return FiletimeOfUnix(seconds, nanoseconds);
}

int qv_parse_time(const char* text, uint64_t* filetime) {
    if (!text || !filetime || !ParseArchiveTime(text, filetime)) return QV_E_INVALID;
    return QV_OK;
}

int qv_open_path(const char* path, qv_archive** opened, qv_error* error) {
    if (!opened) return SetError(error, QV_E_INVALID, "nowhere to put the archive");
    *opened = nullptr;
    if (!path) return SetError(error, QV_E_INVALID, "no path given");
    return Guarded(error, [&] {
        std::string why;
        FileHandle file;
        Status status = OpenArchiveFile(path, &file, &why);
        if (status.ok()) status = OpenFile(file, path, opened, &why);
        return Answer(error, status, why);
    });
}

int qv_open_fd(int fd, qv_archive** opened, qv_error* error) {
    if (!opened) return SetError(error, QV_E_INVALID, "nowhere to put the archive");
    *opened = nullptr;
    return Guarded(error, [&] {
        std::string why;
        FileHandle file;
        Status status = OpenArchiveDescriptor(fd, &file, &why);
        if (status.ok())
            status =
                OpenFile(file, "the archive of descriptor " + std::to_string(fd), opened, &why);
        return Answer(error, status, why);
    });
}

int qv_open_memory(const void* data, size_t size, qv_archive** opened, qv_error* error) {
    if (!opened) return SetError(error, QV_E_INVALID, "nowhere to put the archive");
    *opened = nullptr;
    if (!data && size > 0) return SetError(error, QV_E_INVALID, "no bytes given");
    return Guarded(error, [&] {
        qv_archive* archive = new qv_archive();
        archive->source = MemorySource(data, size);
        archive->label = "the archive in memory";
        std::string why;
        return Answer(error, OpenWith(archive, opened, &why), why);
    });
}

int qv_open_callbacks(const qv_io_callbacks* io, qv_archive** opened, qv_error* error) {
    if (!opened) return SetError(error, QV_E_INVALID, "nowhere to put the archive");
    *opened = nullptr;
    qv_io_callbacks given;
    if (!io || !TakeOptions(io, &given) || !given.read || !given.seek || !given.size)
        return SetError(error, QV_E_INVALID, "no read, seek and size functions given");
    return Guarded(error, [&] {
        qv_archive* archive = new qv_archive();
        archive->io = given;
        archive->label = "the archive read through callbacks";
        uint64_t size = 0;
        int answer = given.size(given.context, &size);
        if (answer != 0) {
            delete archive;
            return SetError(error, QV_E_READ, "the size of the archive cannot be had",
                            answer > 0 ? answer : 0);
        }
        archive->calls = SourceCalls{ReadThroughCallbacks, size, archive};
        archive->source = CallsSource(&archive->calls);
        std::string why;
        return Answer(error, OpenWith(archive, opened, &why), why);
    });
}

void qv_close(qv_archive* archive) { delete archive; }

uint64_t qv_payload_start(const qv_archive* archive) { return archive ? archive->start : 0; }

size_t qv_entry_count(const qv_archive* archive) { return archive ? archive->entries.size() : 0; }

int qv_entry_at(const qv_archive* archive, size_t index, qv_entry* entry) {
    std::string why;
    if (!entry || entry->struct_size == 0 || !CheckEntry(archive, index, &why).ok())
        return QV_E_INVALID;
    // Only the fields the caller knows of are filled.
    qv_entry full;
    DescribeEntry(*archive, index, &full);
    size_t room = entry->struct_size;
    memcpy(entry, &full, room < sizeof full ? room : sizeof full);
    entry->struct_size = room;
    return QV_OK;
}

int qv_find_entry(const qv_archive* archive, const char* name, size_t* index) {
    if (!archive || !name || !index) return QV_E_INVALID;
    return FindEntry(*archive, name, index) ? QV_OK : QV_E_NOT_FOUND;
}

int qv_decode(qv_archive* archive, size_t index, qv_write_fn write, void* write_context,
              qv_progress_fn progress, void* progress_context, qv_error* error) {
    std::string why;
    Status checked = CheckEntry(archive, index, &why);
    if (!checked.ok()) return SetError(error, checked, why);
    if (!write) return SetError(error, QV_E_INVALID, "no output given");
    return Guarded(error, [&] {
        CallbackOutput output = {write, write_context, 0};
        Status status = DecodeTo(archive, index, ToCallback, &output, progress, progress_context,
                                 &why, &output.answer);
        return Answer(error, status, why);
    });
}

int qv_decode_to_fd(qv_archive* archive, size_t index, int fd, qv_progress_fn progress,
                    void* progress_context, qv_error* error) {
    std::string why;
    Status checked = CheckEntry(archive, index, &why);
    if (!checked.ok()) return SetError(error, checked, why);
    FileHandle target = HandleOfDescriptor(fd);
    if (target == NO_FILE) return SetError(error, QV_E_INVALID, "not an open descriptor");
    return Guarded(error, [&] {
        Status status =
            DecodeTo(archive, index, ToHandle, &target, progress, progress_context, &why);
        return Answer(error, status, why);
    });
}

int qv_decode_to_buffer(qv_archive* archive, size_t index, void* buffer, size_t size,
                        qv_progress_fn progress, void* progress_context, qv_error* error) {
    std::string why;
    Status checked = CheckEntry(archive, index, &why);
    if (!checked.ok()) return SetError(error, checked, why);
    uint32_t needed = archive->entries[index].record.originalSize;
    if (size < needed || (needed > 0 && !buffer)) {
        return SetError(error, QV_E_BUFFER_TOO_SMALL,
                        "the entry needs " + std::to_string(needed) + " bytes");
    }
    return Guarded(error, [&] {
        BufferOutput output = {(uint8_t*)buffer, size};
        Status status =
            DecodeTo(archive, index, ToBuffer, &output, progress, progress_context, &why);
        return Answer(error, status, why);
    });
}

int qv_reader_open(qv_archive* archive, size_t index, qv_reader** reader, qv_error* error) {
    if (!reader) return SetError(error, QV_E_INVALID, "nowhere to put the reader");
    *reader = nullptr;
    std::string why;
    Status checked = CheckEntry(archive, index, &why);
    if (!checked.ok()) return SetError(error, checked, why);
    return Guarded(error,
                   [&] { return Answer(error, ReaderOpen(archive, index, reader, &why), why); });
}

int qv_reader_read(qv_reader* reader, void* buffer, size_t size, size_t* got, qv_error* error) {
    if (got) *got = 0;
    if (!reader || !got || !buffer || size == 0)
        return SetError(error, QV_E_INVALID, "no reader, buffer or room given");
    return Guarded(error, [&] {
        std::string why;
        return Answer(error, ReaderRead(reader, buffer, size, got, &why), why);
    });
}

void qv_reader_close(qv_reader* reader) { ReaderClose(reader); }

int qv_extract(qv_archive* archive, const char* destination, const qv_extract_options* options,
               qv_error* error) {
    if (!archive) return SetError(error, QV_E_INVALID, "no archive given");
    return Guarded(error, [&] {
        std::string why;
        return Answer(error, ExtractArchive(archive, destination, options, &why), why);
    });
}

int qv_test(qv_archive* archive, const qv_test_options* options, qv_error* error) {
    if (!archive) return SetError(error, QV_E_INVALID, "no archive given");
    return Guarded(error, [&] {
        std::string why;
        return Answer(error, TestArchive(archive, options, nullptr, nullptr, &why), why);
    });
}

int qv_decode_selected(qv_archive* archive, const qv_test_options* options, qv_write_fn write,
                       void* write_context, qv_error* error) {
    if (!archive) return SetError(error, QV_E_INVALID, "no archive given");
    if (!write) return SetError(error, QV_E_INVALID, "no output given");
    return Guarded(error, [&] {
        std::string why;
        return Answer(error, TestArchive(archive, options, write, write_context, &why), why);
    });
}

}  // extern "C"
