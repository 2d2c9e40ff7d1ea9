/* Packs a file or folder under a name of the caller's choice, then reads one
 * entry back at its own pace, a buffer at a time:
 *   pack_and_read ARCHIVE PATH NAME [ENTRY]
 * ARCHIVE becomes a self-extracting archive (with the library's default
 * stub) holding PATH as NAME; ENTRY (NAME when not given; '/' or '\'
 * between its parts) is then written to standard output. */
#include <stdio.h>

#include <quorvane.h>

static int fail(const qv_error* error) {
    fprintf(stderr, "%s\n", error->message);
    return 1;
}

static int pack(const char* archive_path, const char* path, const char* name) {
    qv_writer* writer;
    qv_error error;
    int status = 0;
    if (qv_writer_open(archive_path, NULL, &writer, &error) != QV_OK) return fail(&error);
    if (qv_writer_add_path_as(writer, path, name, &error) != QV_OK ||
        qv_writer_finish(writer, &error) != QV_OK)
        status = fail(&error);
    qv_writer_free(writer);
    return status;
}

static int read_back(const char* archive_path, const char* name) {
    qv_archive* archive;
    qv_reader* reader;
    qv_error error;
    size_t index, got;
    char buffer[4096];
    int code;
    if (qv_open_path(archive_path, &archive, &error) != QV_OK) return fail(&error);
    if (qv_find_entry(archive, name, &index) != QV_OK) {
        fprintf(stderr, "%s: no such entry\n", name);
        qv_close(archive);
        return 1;
    }
    code = qv_reader_open(archive, index, &reader, &error);
    /* The bytes arrive before the verdict: only the end (QV_OK, nothing
     * read) says they are the entry. */
    while (code == QV_OK &&
           (code = qv_reader_read(reader, buffer, sizeof buffer, &got, &error)) == QV_OK && got > 0)
        fwrite(buffer, 1, got, stdout);
    if (code != QV_OK) fail(&error);
    qv_reader_close(reader);
    qv_close(archive);
    return code == QV_OK ? 0 : 1;
}

int main(int argc, char** argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: %s ARCHIVE PATH NAME [ENTRY]\n", argv[0]);
        return 2;
    }
    if (pack(argv[1], argv[2], argv[3]) != 0) return 1;
    return read_back(argv[1], argc > 4 ? argv[4] : argv[3]);
}
