// The writer's part of the C API, apart from the reader's so that a program
// that only reads links no writer.
#include <quorvane.h>

#include "lib/archive.h"
#include "lib/files.h"

extern "C" {

int qv_writer_open(const char* output, const qv_create_options* options, qv_writer** writer,
                   qv_error* error) {
    if (!writer) return SetError(error, QV_E_INVALID, "nowhere to put the writer");
    *writer = nullptr;
    return Guarded(error, [&] { return WriterOpen(output, options, writer, error); });
}

int qv_writer_open_fd(int fd, const qv_create_options* options, qv_writer** writer,
                      qv_error* error) {
    if (!writer) return SetError(error, QV_E_INVALID, "nowhere to put the writer");
    *writer = nullptr;
    return Guarded(error, [&] { return WriterOpenFd(fd, options, writer, error); });
}

int qv_writer_open_callbacks(const qv_output_callbacks* output, const qv_create_options* options,
                             qv_writer** writer, qv_error* error) {
    if (!writer) return SetError(error, QV_E_INVALID, "nowhere to put the writer");
    *writer = nullptr;
    return Guarded(error, [&] { return WriterOpenCallbacks(output, options, writer, error); });
}

int qv_writer_add_path(qv_writer* writer, const char* path, qv_error* error) {
    if (!writer) return SetError(error, QV_E_INVALID, "no writer given");
    return Guarded(error, [&] { return WriterAddPath(writer, path, nullptr, error); });
}

int qv_writer_add_path_as(qv_writer* writer, const char* path, const char* archive_name,
                          qv_error* error) {
    if (!writer) return SetError(error, QV_E_INVALID, "no writer given");
    if (!archive_name) return SetError(error, QV_E_INVALID, "no name given");
    return Guarded(error, [&] { return WriterAddPath(writer, path, archive_name, error); });
}

int qv_writer_add_memory(qv_writer* writer, const char* name, const void* data, size_t size,
                         uint64_t filetime, uint16_t attributes, qv_error* error) {
    if (!writer) return SetError(error, QV_E_INVALID, "no writer given");
    uint64_t bytes = size;  // size_t may be 32 bits
    if (bytes > 0xFFFFFFFFull)
        return SetError(error, QV_E_CANNOT_STORE, "files of 4 GiB or more cannot be stored");
    return Guarded(error, [&] {
        return WriterAddMemory(writer, name, data, size, filetime, attributes, false, error);
    });
}

int qv_writer_add_folder(qv_writer* writer, const char* name, uint64_t filetime, qv_error* error) {
    if (!writer) return SetError(error, QV_E_INVALID, "no writer given");
    return Guarded(
        error, [&] { return WriterAddMemory(writer, name, nullptr, 0, filetime, 0, true, error); });
}

int qv_writer_finish(qv_writer* writer, qv_error* error) {
    if (!writer) return SetError(error, QV_E_INVALID, "no writer given");
    return Guarded(error, [&] { return WriterFinish(writer, error); });
}

void qv_writer_free(qv_writer* writer) { WriterFree(writer); }

void qv_remove_partial_output(void) { RemovePartialFileOnInterrupt(); }

}  // extern "C"
