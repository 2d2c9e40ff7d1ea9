/* Lists an archive, then writes one entry's bytes to standard output:
 *   list_and_print ARCHIVE [NAME]
 * NAME is the entry's UTF-8 name as listed (folders end in '/'). */
#include <stdio.h>
#include <string.h>

#include <quorvane.h>

static int write_out(void* context, const void* data, size_t size) {
    return fwrite(data, 1, size, (FILE*)context) == size ? 0 : 1;
}

int main(int argc, char** argv) {
    qv_archive* archive;
    qv_error error;
    qv_entry entry;
    size_t i;
    int status = 0;

    if (argc < 2) {
        fprintf(stderr, "usage: %s ARCHIVE [NAME]\n", argv[0]);
        return 2;
    }
    if (qv_open_path(argv[1], &archive, &error) != QV_OK) {
        fprintf(stderr, "%s\n", error.message);
        return 1;
    }
    entry.struct_size = sizeof entry; /* the fields this program knows of */
    for (i = 0; i < qv_entry_count(archive); i++) {
        qv_entry_at(archive, i, &entry);
        if (argc == 2) {
            printf("%10u  %s\n", (unsigned)entry.original_size,
                   entry.name_utf8 ? entry.name_utf8 : "(not UTF-8)");
        } else if (entry.name_utf8 && strcmp(entry.name_utf8, argv[2]) == 0) {
            if (qv_decode(archive, i, write_out, stdout, NULL, NULL, &error) != QV_OK) {
                fprintf(stderr, "%s\n", error.message);
                status = 1;
            }
        }
    }
    qv_close(archive);
    return status;
}
