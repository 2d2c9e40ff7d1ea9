// create: walks the given files and folders and writes the stub followed by
// one entry record per folder and file.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "codec/compress.h"
#include "payload/names.h"
#include "payload/records.h"
#include "payload/validation.h"
#include "tools/commands.h"
#include "tools/files.h"
#include "tools/files_posix.h"
#include "tools/progress.h"
#include "tools/stub.h"
#include "tools/text.h"
#include "tools/text_utf8.h"

bool CanCreate() { return true; }

namespace {

const uint64_t MAX_ENTRY_SIZE = 0xFFFFFFFFull;  // originalSize is 32 bits

struct Entry {
    std::string disk_path;  // as given on the command line, then below it
    std::string name;       // code page 932, backslash-separated
    bool folder;
    struct stat info;
};

// Stops the walk with a message that names the file.
struct CreateError {
    std::string message;
};

std::string LastComponent(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    size_t slash = path.find_last_of('/');
    std::string last = slash == std::string::npos ? path : path.substr(slash + 1);
    if (last.empty() || last == "." || last == ".." || last == "/") {
        char* resolved = realpath(path.c_str(), nullptr);
        if (resolved) {
            std::string full = resolved;
            free(resolved);
            slash = full.find_last_of('/');
            last = full.substr(slash + 1);
        }
    }
    return last;
}

// Turns one file name of this system into a name component of the archive:
// representable in code page 932 both ways without change, and safe.
std::string ArchiveComponent(const std::string& utf8, const std::string& disk_path) {
    std::string cp932, back;
    if (utf8.empty() || !Utf8ToCp932(utf8, &cp932) || !Cp932ToUtf8(cp932, &back) || back != utf8) {
        throw CreateError{disk_path + ": the name cannot be written in code page 932"};
    }
    static const char kSeparator = 0x5C;
    if (InStr2(1, cp932.data(), (int)cp932.size(), &kSeparator, 1) != 0 ||
        !IsSafeNameComponent(cp932.data(), cp932.size())) {
        throw CreateError{disk_path +
                          ": the name is not allowed in an archive (device name, dots only, "
                          "or a character Windows refuses)"};
    }
    return cp932;
}

void AddEntry(std::vector<Entry>* entries, const std::string& disk_path, const std::string& name,
              bool folder, const struct stat& info) {
    if (name.size() > 255) {
        throw CreateError{disk_path + ": the name is longer than 255 bytes in the archive"};
    }
    if (!folder && (uint64_t)info.st_size > MAX_ENTRY_SIZE) {
        throw CreateError{disk_path + ": files of 4 GiB or more cannot be stored"};
    }
    entries->push_back(Entry{disk_path, name, folder, info});
}

// Files that must not go into the archive: the output being written and the
// one it will replace.
struct Excluded {
    std::vector<std::pair<dev_t, ino_t>> files;
    bool Contains(const struct stat& info) const {
        return std::find(files.begin(), files.end(), std::make_pair(info.st_dev, info.st_ino)) !=
               files.end();
    }
};

void Walk(std::vector<Entry>* entries, const std::string& disk_path, const std::string& name,
          const Excluded& excluded) {
    DIR* dir = opendir(disk_path.c_str());
    if (!dir) throw CreateError{disk_path + ": cannot read the folder: " + SystemError(errno)};
    std::vector<std::string> children;
    while (struct dirent* child = readdir(dir)) {
        std::string child_name = child->d_name;
        if (child_name != "." && child_name != "..") children.push_back(child_name);
    }
    closedir(dir);
    std::sort(children.begin(), children.end());

    for (const std::string& child : children) {
        std::string child_path = disk_path + "/" + child;
        struct stat info;
        if (lstat(child_path.c_str(), &info) != 0) {
            throw CreateError{child_path + ": " + SystemError(errno)};
        }
        // The archive being written may lie inside the tree.
        if (excluded.Contains(info)) continue;
        if (!S_ISDIR(info.st_mode) && !S_ISREG(info.st_mode)) {
            fprintf(stderr, "quorvane: %s: not a file or folder, left out\n", child_path.c_str());
            continue;
        }
        std::string child_entry = name + ArchiveComponent(child, child_path);
        if (S_ISDIR(info.st_mode)) {
            AddEntry(entries, child_path, child_entry + "\\", true, info);
            Walk(entries, child_path, child_entry + "\\", excluded);
        } else {
            AddEntry(entries, child_path, child_entry, false, info);
        }
    }
}

EntryRecord RecordFor(const Entry& entry) {
    EntryRecord record;
    memset(&record, 0, sizeof record);
    record.nameLength = (uint8_t)entry.name.size();
    memcpy(record.name, entry.name.data(), entry.name.size());
    record.creationTime = CreationFiletime(entry.disk_path, entry.info);
    record.lastAccessTime = ToFiletime(entry.info.st_atim);
    record.lastWriteTime = ToFiletime(entry.info.st_mtim);
    if (entry.folder) {
        record.attributeWord = ATTRIBUTE_DIRECTORY;
    } else {
        // The newer rescale rule unless the writer reports otherwise.
        record.attributeWord = ATTRIBUTE_ARCHIVE | ODD_RESCALE;
        if ((entry.info.st_mode & S_IWUSR) == 0) record.attributeWord |= ATTRIBUTE_READONLY;
        record.originalSize = (uint32_t)entry.info.st_size;
    }
    return record;
}

void WriteOrThrow(FileHandle out, const void* bytes, size_t size, const std::string& output) {
    if (!WriteBytes(out, bytes, (uint32_t)size)) {
        throw CreateError{output + ": writing failed: " + SystemError(errno)};
    }
}

// Writes one file entry; answers how many steps of its stream need the
// narrow-interval widening.
uint32_t WriteFileEntry(FileHandle out, const Entry& entry, const CreateOptions& options,
                        Progress* progress) {
    const std::string& output = options.output;
    EntryRecord record = RecordFor(entry);
    FileHandle in = OpenForReading(entry.disk_path.c_str());
    if (in == NO_FILE) throw CreateError{entry.disk_path + ": cannot read: " + SystemError(errno)};
    struct stat now;
    if (fstat(in, &now) != 0 || now.st_size != entry.info.st_size) {
        CloseFile(in);
        throw CreateError{entry.disk_path + ": the file changed while the archive was made"};
    }

    int64_t record_at = SetFilePointer64(out, 0, FILE_CURRENT);
    if (!WriteEntryRecord(out, &record)) {
        CloseFile(in);
        throw CreateError{output + ": writing failed: " + SystemError(errno)};
    }
    if (record.originalSize == 0) {
        CloseFile(in);
        return 0;
    }
    progress->Begin(entry.disk_path, record.originalSize);
    CompressOptions compress;
    compress.threads = options.threads;
    CompressResult result = compress_entry(in, record.originalSize, out, compress);
    CloseFile(in);
    progress->End();
    if (!result.ok) {
        throw CreateError{entry.disk_path + ": cannot be compressed: " +
                          (result.error ? result.error : "unknown error")};
    }
    if (result.stored_size > 0xFFFFFFFFull) {
        throw CreateError{entry.disk_path + ": its stored form would exceed 4 GiB"};
    }
    record.storedSize = (uint32_t)result.stored_size;
    if (!result.odd_rescale) record.attributeWord &= (uint16_t)~ODD_RESCALE;
    int64_t end = SetFilePointer64(out, 0, FILE_CURRENT);
    if (end != record_at + RECORD_FIXED_SIZE + record.nameLength + (int64_t)result.stored_size) {
        throw CreateError{output + ": the compressor wrote an unexpected amount"};
    }
    SetFilePointer64(out, record_at, FILE_BEGIN);
    if (!WriteEntryRecord(out, &record)) {
        throw CreateError{output + ": writing failed: " + SystemError(errno)};
    }
    SetFilePointer64(out, end, FILE_BEGIN);
    return result.widened_steps;
}

std::vector<uint8_t> ReadStub(const std::string& path) {
    std::vector<uint8_t> bytes;
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) throw CreateError{path + ": cannot read the stub: " + SystemError(errno)};
    uint8_t buffer[65536];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) {
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
    bool failed = ferror(file) != 0;
    fclose(file);
    if (failed) throw CreateError{path + ": cannot read the stub"};
    return bytes;
}

}  // namespace

int CommandCreate(const CreateOptions& options) {
    std::string part;
    FileHandle out = NO_FILE;
    try {
        std::vector<uint8_t> stub;
        if (!options.payload_only) {
            if (!options.stub.empty()) {
                stub = ReadStub(options.stub);
            } else if (EmbeddedStubSize() > 0) {
                stub.assign(EmbeddedStub(), EmbeddedStub() + EmbeddedStubSize());
            } else {
                throw CreateError{
                    "this quorvane has no extractor stub built in; give --stub FILE or "
                    "--payload-only"};
            }
        }

        // Every name and size is checked before the output is begun.
        Excluded excluded;
        struct stat output_info;
        if (stat(options.output.c_str(), &output_info) == 0) {
            excluded.files.push_back({output_info.st_dev, output_info.st_ino});
        }

        std::vector<Entry> entries;
        std::vector<std::string> top_names;
        for (const std::string& input : options.inputs) {
            struct stat info;
            if (stat(input.c_str(), &info) != 0) {
                throw CreateError{input + ": " + SystemError(errno)};
            }
            if (!S_ISDIR(info.st_mode) && !S_ISREG(info.st_mode)) {
                throw CreateError{input + ": not a file or folder"};
            }
            std::string name = ArchiveComponent(LastComponent(input), input);
            if (std::find(top_names.begin(), top_names.end(), name) != top_names.end()) {
                throw CreateError{input + ": a second entry of the same name"};
            }
            top_names.push_back(name);
            if (S_ISDIR(info.st_mode)) {
                AddEntry(&entries, input, name + "\\", true, info);
                Walk(&entries, input, name + "\\", excluded);
            } else {
                AddEntry(&entries, input, name, false, info);
            }
        }

        out = CreateFileBeside(options.output, &part);
        if (out == NO_FILE) {
            throw CreateError{options.output + ": cannot create the output: " + SystemError(errno)};
        }
        if (!stub.empty()) {
            WriteOrThrow(out, stub.data(), stub.size(), options.output);
            // The stub finds its payload at the end of its last section: a stub
            // with anything behind that would look in the wrong place.
            if (GetEXESize(part.c_str()) != stub.size()) {
                throw CreateError{
                    "the stub is not a PE executable that ends with its last section "
                    "(is it stripped?)"};
            }
        }

        uint64_t total = 0;
        for (const Entry& entry : entries) total += entry.folder ? 0 : (uint64_t)entry.info.st_size;
        Progress progress(total);
        int widened_entries = 0;
        for (const Entry& entry : entries) {
            if (entry.folder) {
                EntryRecord record = RecordFor(entry);
                if (!WriteEntryRecord(out, &record)) {
                    throw CreateError{options.output + ": writing failed: " + SystemError(errno)};
                }
            } else if (uint32_t steps = WriteFileEntry(out, entry, options, &progress)) {
                widened_entries++;
                if (options.verbose) {
                    progress.Clear();
                    printf("%s: uses the narrow-interval rule (%u %s)\n", entry.disk_path.c_str(),
                           steps, steps == 1 ? "step" : "steps");
                }
            }
        }
        progress.Clear();
        // Such entries have no form without the rule; readers that lack it refuse them.
        if (widened_entries > 0) {
            printf("%d %s the narrow-interval rule of the range coder\n", widened_entries,
                   widened_entries == 1 ? "entry uses" : "entries use");
        }

        // What the extractor will check first, checked here before the output exists.
        if (!ZevCheckArchive(out, (uint32_t)stub.size())) {
            throw CreateError{options.output + ": the archive just written does not validate"};
        }
        // Executable where readable, for the self-extracting kind.
        mode_t mode = NewFileMode();
        if (!options.payload_only) mode |= (mode & 0444) >> 2;
        if (fchmod(out, mode) != 0 || fsync(out) != 0 || close(out) != 0) {
            out = NO_FILE;
            throw CreateError{options.output + ": writing failed: " + SystemError(errno)};
        }
        out = NO_FILE;
        if (rename(part.c_str(), options.output.c_str()) != 0) {
            throw CreateError{options.output +
                              ": cannot put the output in place: " + SystemError(errno)};
        }
        return EXIT_SUCCESS_ALL;
    } catch (const CreateError& error) {
        if (out != NO_FILE) CloseFile(out);
        if (!part.empty()) unlink(part.c_str());
        fprintf(stderr, "quorvane: %s\n", error.message.c_str());
        return EXIT_REFUSED;
    }
}
