// create: walks the given files and folders and writes the stub followed by
// one entry record per folder and file. The same on every system; the files
// are reached through files.h and create_files.h.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "codec/compress.h"
#include "payload/names.h"
#include "payload/records.h"
#include "payload/validation.h"
#include "tools/commands.h"
#include "tools/create_files.h"
#include "tools/files.h"
#include "tools/progress.h"
#include "tools/stub.h"
#include "tools/text.h"

namespace {

const uint64_t MAX_ENTRY_SIZE = 0xFFFFFFFFull;  // originalSize is 32 bits

struct Entry {
    std::string disk_path;  // as given on the command line, then below it
    std::string name;       // code page 932, backslash-separated
    InputInfo info;
};

// Stops the run with a message that names the file.
struct CreateError {
    std::string message;
};

// Turns one file name of this system into a name component of the archive:
// representable in code page 932 without change, and safe.
std::string ArchiveComponent(const std::string& local_name, const std::string& disk_path) {
    std::string cp932;
    if (!LocalNameToCp932(local_name, &cp932)) {
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
              const InputInfo& info) {
    if (name.size() > 255) {
        throw CreateError{disk_path + ": the name is longer than 255 bytes in the archive"};
    }
    if (info.kind == INPUT_FILE && info.size > MAX_ENTRY_SIZE) {
        throw CreateError{disk_path + ": files of 4 GiB or more cannot be stored"};
    }
    entries->push_back(Entry{disk_path, name, info});
}

// The output file that exists before the run: it must not go into itself.
struct OldOutput {
    bool exists;
    uint64_t size;
    FileIdentity identity;
    bool Is(const std::string& path, const InputInfo& info) const {
        FileIdentity other;
        return exists && info.kind == INPUT_FILE && info.size == size &&
               IdentifyFile(path, &other) && other == identity;
    }
};

// Adds the contents of a folder, in the byte order of their archive names so
// that the same tree gives the same archive on every system.
void Walk(std::vector<Entry>* entries, const std::string& disk_path, const std::string& name,
          const OldOutput& old_output) {
    std::vector<FolderChild> children;
    std::string failed, why;
    if (!ReadFolder(disk_path, &children, &failed, &why)) throw CreateError{failed + ": " + why};

    std::vector<Entry> named;
    for (const FolderChild& child : children) {
        std::string child_path = JoinPath(disk_path, child.name);
        if (child.info.kind == INPUT_OTHER) {
            fprintf(stderr, "quorvane: %s: not a file or folder, left out\n", child_path.c_str());
            continue;
        }
        if (old_output.Is(child_path, child.info)) continue;
        named.push_back(
            Entry{child_path, name + ArchiveComponent(child.name, child_path), child.info});
    }
    std::sort(named.begin(), named.end(),
              [](const Entry& a, const Entry& b) { return a.name < b.name; });

    for (const Entry& child : named) {
        if (child.info.kind == INPUT_FOLDER) {
            AddEntry(entries, child.disk_path, child.name + "\\", child.info);
            Walk(entries, child.disk_path, child.name + "\\", old_output);
        } else {
            AddEntry(entries, child.disk_path, child.name, child.info);
        }
    }
}

EntryRecord RecordFor(const Entry& entry, const CreateOptions& options) {
    EntryRecord record;
    memset(&record, 0, sizeof record);
    record.nameLength = (uint8_t)entry.name.size();
    memcpy(record.name, entry.name.data(), entry.name.size());
    if (options.fixed_time) {
        record.creationTime = record.lastAccessTime = record.lastWriteTime = options.time;
    } else {
        record.creationTime = entry.info.creation;
        record.lastAccessTime = entry.info.last_access;
        record.lastWriteTime = entry.info.last_write;
    }
    record.attributeWord = entry.info.attributes & ATTRIBUTE_MASK;
    if (entry.info.kind == INPUT_FILE) {
        // The newer rescale rule unless the writer reports otherwise.
        record.attributeWord |= ODD_RESCALE;
        record.originalSize = (uint32_t)entry.info.size;
    }
    return record;
}

CreateError WritingFailed(const std::string& output) {
    return CreateError{output + ": writing failed: " + LastSystemError()};
}

// A file is stored only as it was when the walk saw it: same size and
// last-write time before and after reading, and nothing behind the stated
// size. Otherwise it grew, shrank or was rewritten meanwhile, or its size
// was never true (files of /proc report 0 bytes).
void CheckUnchanged(FileHandle in, const Entry& entry, const char* when) {
    InputInfo now;
    if (!InspectOpenFile(in, &now) || now.size != entry.info.size ||
        now.last_write != entry.info.last_write) {
        throw CreateError{entry.disk_path + ": the file changed " + when};
    }
}

void CheckNothingBeyond(FileHandle in, const Entry& entry) {
    uint8_t byte;
    uint32_t got = 0;
    if (SetFilePointer64(in, (int64_t)entry.info.size, FILE_BEGIN) != (int64_t)entry.info.size ||
        !ReadBytes(in, &byte, 1, &got)) {
        throw CreateError{entry.disk_path + ": cannot read: " + LastSystemError()};
    }
    if (got == 0) return;
    if (entry.info.size == 0) {
        throw CreateError{entry.disk_path +
                          ": the system reports 0 bytes, but the file has content (as files of "
                          "/proc do); it is not stored"};
    }
    throw CreateError{entry.disk_path + ": the file grew while it was read"};
}

// Closes a file on every way out.
struct ClosedOnExit {
    FileHandle file;
    ~ClosedOnExit() { CloseFile(file); }
};

// Writes one file entry; answers how many steps of its stream need the
// narrow-interval widening.
uint32_t WriteFileEntry(FileHandle out, const Entry& entry, const CreateOptions& options,
                        Progress* progress) {
    EntryRecord record = RecordFor(entry, options);
    FileHandle in = OpenForReading(entry.disk_path.c_str());
    if (in == NO_FILE) throw CreateError{entry.disk_path + ": cannot read: " + LastSystemError()};
    ClosedOnExit closed_on_exit{in};
    CheckUnchanged(in, entry, "while the archive was made");

    int64_t record_at = SetFilePointer64(out, 0, FILE_CURRENT);
    if (!WriteEntryRecord(out, &record)) throw WritingFailed(options.output);
    uint32_t widened_steps = 0;
    if (record.originalSize > 0) {
        progress->Begin(entry.disk_path, record.originalSize);
        CompressOptions compress;
        compress.threads = options.threads;
        CompressResult result = compress_entry(in, record.originalSize, out, compress);
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
        if (end !=
            record_at + RECORD_FIXED_SIZE + record.nameLength + (int64_t)result.stored_size) {
            throw CreateError{options.output + ": the compressor wrote an unexpected amount"};
        }
        SetFilePointer64(out, record_at, FILE_BEGIN);
        if (!WriteEntryRecord(out, &record)) throw WritingFailed(options.output);
        SetFilePointer64(out, end, FILE_BEGIN);
        widened_steps = result.widened_steps;
    }
    CheckNothingBeyond(in, entry);
    CheckUnchanged(in, entry, "while it was read");
    return widened_steps;
}

std::vector<uint8_t> ReadStub(const std::string& path) {
    FileHandle file = OpenForReading(path.c_str());
    if (file == NO_FILE) throw CreateError{path + ": cannot read the stub: " + LastSystemError()};
    ClosedOnExit closed_on_exit{file};
    std::vector<uint8_t> bytes;
    uint8_t buffer[65536];
    uint32_t got = 0;
    bool ok;
    while ((ok = ReadBytes(file, buffer, sizeof buffer, &got)) && got > 0) {
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
    if (!ok) throw CreateError{path + ": cannot read the stub: " + LastSystemError()};
    if (bytes.empty()) throw CreateError{path + ": the stub is empty"};
    return bytes;
}

std::vector<uint8_t> StubFor(const CreateOptions& options) {
    if (options.payload_only) return std::vector<uint8_t>();
    if (!options.stub.empty()) return ReadStub(options.stub);
    if (EmbeddedStubSize() == 0) {
        throw CreateError{
            "this quorvane has no extractor stub built in; give --stub FILE or --payload-only"};
    }
    return std::vector<uint8_t>(EmbeddedStub(), EmbeddedStub() + EmbeddedStubSize());
}

// Every name and size, checked before the output is begun.
std::vector<Entry> CollectEntries(const CreateOptions& options) {
    OldOutput old_output = {};
    InputInfo output_info;
    std::string ignored;
    old_output.exists = InspectInput(options.output, &output_info, &ignored) &&
                        output_info.kind == INPUT_FILE &&
                        IdentifyFile(options.output, &old_output.identity);
    old_output.size = output_info.size;

    std::vector<Entry> entries;
    std::vector<std::string> top_names;
    for (const std::string& input : options.inputs) {
        InputInfo info;
        std::string why;
        if (!InspectInput(input, &info, &why)) throw CreateError{input + ": " + why};
        if (info.kind == INPUT_OTHER) throw CreateError{input + ": not a file or folder"};
        std::string name = ArchiveComponent(InputName(input), input);
        if (std::find(top_names.begin(), top_names.end(), name) != top_names.end()) {
            throw CreateError{input + ": a second entry of the same name"};
        }
        top_names.push_back(name);
        if (info.kind == INPUT_FOLDER) {
            AddEntry(&entries, input, name + "\\", info);
            Walk(&entries, input, name + "\\", old_output);
        } else {
            AddEntry(&entries, input, name, info);
        }
    }
    return entries;
}

}  // namespace

int CommandCreate(const CreateOptions& options) {
    std::string part;
    FileHandle out = NO_FILE;
    try {
        std::vector<uint8_t> stub = StubFor(options);
        std::vector<Entry> entries = CollectEntries(options);

        RemovePartialFileOnInterrupt();
        out = CreateFileBeside(options.output, &part);
        if (out == NO_FILE) {
            throw CreateError{options.output + ": cannot create the output: " + LastSystemError()};
        }
        if (!stub.empty()) {
            if (!WriteBytes(out, stub.data(), (uint32_t)stub.size())) {
                throw WritingFailed(options.output);
            }
            // The stub finds its payload at the end of its last section: a stub
            // with anything behind that would look in the wrong place.
            if (GetEXESizeOfOpenFile(out) != stub.size()) {
                throw CreateError{
                    "the stub is not a PE executable that ends with its last section "
                    "(is it stripped?)"};
            }
            if (SetFilePointer64(out, (int64_t)stub.size(), FILE_BEGIN) != (int64_t)stub.size()) {
                throw WritingFailed(options.output);
            }
        }

        uint64_t total = 0;
        for (const Entry& entry : entries)
            total += entry.info.kind == INPUT_FILE ? entry.info.size : 0;
        Progress progress(total);
        int widened_entries = 0;
        for (const Entry& entry : entries) {
            if (entry.info.kind == INPUT_FOLDER) {
                EntryRecord record = RecordFor(entry, options);
                if (!WriteEntryRecord(out, &record)) throw WritingFailed(options.output);
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
        std::string why;
        bool finished = FinishOutput(out, !options.payload_only, &why);
        out = NO_FILE;
        if (!finished) throw CreateError{options.output + ": writing failed: " + why};
        if (!PutInPlace(part, options.output, &why)) throw CreateError{options.output + ": " + why};
        ForgetPartialFile();
        return EXIT_SUCCESS_ALL;
    } catch (const CreateError& error) {
        if (out != NO_FILE) CloseFile(out);
        if (!part.empty()) RemoveFile(part);
        fprintf(stderr, "quorvane: %s\n", error.message.c_str());
        return EXIT_REFUSED;
    }
}
