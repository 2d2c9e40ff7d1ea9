// Writing an archive: the stub followed by one entry record per folder and
// file. The same on every system; the files are reached through files.h and
// create_files.h.
//
// Every step that can fail answers a Status and writes one line for the user
// into *why; it stops at the first failure, and the qv_writer_* entry points
// turn it into a qv_error.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "codec/compress.h"
#include "lib/compress_file.h"
#include "codec/compress_pool.h"
#include "lib/archive.h"
#include "lib/archive_time.h"
#include "lib/create_files.h"
#include "lib/default_stub.h"
#include "lib/files.h"
#include "lib/text.h"
#include "lib/text_utf8.h"
#include "payload/names.h"
#include "payload/records.h"
#include "payload/validation.h"

namespace {

const uint64_t MAX_ENTRY_SIZE = 0xFFFFFFFFull;  // originalSize is 32 bits

// Entries up to this size sort too few blocks to keep the threads busy: they
// are compressed whole, several at once, holding at most POOL_BYTES.
const uint64_t POOLED_ENTRY_MAX = 4u << 20;
const size_t POOL_BYTES = 64u << 20;

// The attributes of a Windows file that say it is something else: a folder,
// a volume label, a device, a link.
const uint16_t NOT_A_FILE_ATTRIBUTES = 0x08 | ATTRIBUTE_DIRECTORY | 0x40 | 0x400;

const size_t NO_PARENT = (size_t)-1;

struct WriterEntry {
    std::string disk_path;  // where it lies; empty for an entry from memory
    std::string source;     // how messages name it
    std::string name;       // code page 932, backslash-separated
    InputInfo info;
    // The writer's copy of the bytes of an entry from memory.
    std::shared_ptr<const std::vector<uint8_t>> bytes;
    size_t parent;           // the folder entry it was listed in, or NO_PARENT
    std::string local_name;  // its name in that folder
};

// The output file that exists before the run. Met in the walk under its own
// name in its own folder, it is the archive this run replaces and is left
// out; under any other name (a hard link) or named as an input it is refused.
struct OldOutput {
    bool exists;
    FileIdentity identity;
    FileIdentity folder;  // of the folder that holds it
    std::string name;     // its name there
};

// A name in use, by its Windows key (see WindowsNameKey).
struct NameUse {
    std::string name;    // the entry's name, code page 932, no separator at the end
    std::string source;  // how messages name the entry
    bool folder;
    bool implied;  // only as a folder that a later name lies in
};

// The failure `status`, with `message` as the line in *why.
Status Fail(Status status, const std::string& message, std::string* why) {
    *why = message;
    return status;
}

Status Fail(Cause cause, const std::string& message, std::string* why) {
    return Fail(Failed(cause), message, why);
}

// A write to the output that the system refused with `system_error`.
Status WritingFailed(uint32_t system_error, const std::string& output, std::string* why) {
    return Fail(Failed(CAUSE_WRITE_FAILED, system_error),
                output + ": writing failed: " + SystemErrorText(system_error), why);
}

Status ReadingFailed(uint32_t system_error, const std::string& source, std::string* why) {
    return Fail(Failed(CAUSE_READ_FAILED, system_error),
                source + ": cannot read: " + SystemErrorText(system_error), why);
}

Status Cancelled(std::string* why) { return Fail(CAUSE_CANCELLED, "cancelled", why); }

// Checks that a code page 932 name component is safe and has no separator.
Status CheckComponent(const std::string& cp932, const std::string& source, std::string* why) {
    if (InStr2(1, cp932.data(), (int)cp932.size(), &NAME_SEPARATOR, 1) != 0 ||
        !IsPortableNameComponent(cp932.data(), cp932.size())) {
        return Fail(CAUSE_CANNOT_STORE,
                    source +
                        ": the name is not allowed in an archive (device name, dots only, a dot "
                        "or space at its end, or a character Windows refuses)",
                    why);
    }
    return STATUS_OK;
}

// Turns one file name of this system into a name component of the archive:
// representable in code page 932 without change, and safe.
Status ArchiveComponent(const std::string& local_name, const std::string& disk_path,
                        std::string* component, std::string* why) {
    if (!LocalNameToCp932(local_name, component)) {
        return Fail(CAUSE_CANNOT_STORE, disk_path + ": the name cannot be written in code page 932",
                    why);
    }
    return CheckComponent(*component, disk_path, why);
}

// A name given in UTF-8 with '/' between its parts, as an archive name.
Status ArchiveNameOfUtf8(const std::string& utf8, std::string* name, std::string* why) {
    name->clear();
    size_t start = 0;
    for (;;) {
        size_t slash = utf8.find('/', start);
        std::string component = utf8.substr(start, slash - start);
        std::string cp932, back;
        if (!Utf8ToCp932(component, &cp932) || !Cp932ToUtf8(cp932, &back) || back != component) {
            return Fail(CAUSE_CANNOT_STORE, utf8 + ": the name cannot be written in code page 932",
                        why);
        }
        Status status = CheckComponent(cp932, utf8, why);
        if (!status.ok()) return status;
        *name += cp932;
        if (slash == std::string::npos) return STATUS_OK;
        *name += NAME_SEPARATOR;
        start = slash + 1;
    }
}

// A name given in UTF-8 with '/' or '\\' between its parts, with '/'. (In
// UTF-8 the byte 0x5C is always the backslash.)
std::string Utf8NameWithSlashes(const std::string& given) {
    std::string utf8 = given;
    for (char& c : utf8)
        if (c == '\\') c = '/';
    return utf8;
}

// An archive name given in UTF-8 with '/' or '\\' between its parts, none
// at its end.
std::string ArchiveNameGiven(const std::string& given) {
    std::string utf8 = Utf8NameWithSlashes(given);
    while (!utf8.empty() && utf8.back() == '/') utf8.pop_back();
    return utf8;
}

// A folder's name without its final backslash: a folder and a file of one
// name are the same name.
std::string WithoutFinalSeparator(const std::string& name) {
    if (!name.empty() && EndYen(name.data(), name.size())) return name.substr(0, name.size() - 1);
    return name;
}

// Closes a file on every way out.
struct ClosedOnExit {
    FileHandle file;
    ~ClosedOnExit() { CloseFile(file); }
};

struct HeldFolder {
    OpenFolder folder;
    ~HeldFolder() { CloseFolder(&folder); }
};

// The folders of the inputs held open on the way to the file being read, the
// outermost first. Files are read in the order of the walk, so each folder is
// opened once, from its parent, and must be the folder that was listed.
class InputFolders {
public:
    explicit InputFolders(const std::vector<WriterEntry>& entries) : entries_(entries) {}
    ~InputFolders() {
        while (!held_.empty()) Leave();
    }

    // Opens the file entry `index` as it was listed.
    Status OpenFile(size_t index, FileHandle* file, std::string* why) {
        std::vector<size_t> chain;
        for (size_t at = entries_[index].parent; at != NO_PARENT; at = entries_[at].parent)
            chain.insert(chain.begin(), at);
        size_t kept = 0;
        while (kept < held_.size() && kept < chain.size() && held_[kept].index == chain[kept])
            kept++;
        while (held_.size() > kept) Leave();
        for (size_t i = kept; i < chain.size(); i++) {
            FileHandle folder = NO_FILE;
            Status status = Open(chain[i], i > 0 ? &held_[i - 1].folder : nullptr, &folder, why);
            if (!status.ok()) return status;
            held_.push_back(Held{chain[i], OpenFolder{folder, entries_[chain[i]].disk_path}});
        }
        return Open(index, held_.empty() ? nullptr : &held_.back().folder, file, why);
    }

private:
    struct Held {
        size_t index;
        OpenFolder folder;
    };

    void Leave() {
        CloseFolder(&held_.back().folder);
        held_.pop_back();
    }

    // An entry from its folder, or by its path when the user named it.
    Status Open(size_t index, const OpenFolder* parent, FileHandle* handle, std::string* why) {
        const WriterEntry& entry = entries_[index];
        if (parent) return OpenListed(*parent, entry.local_name, entry.info, handle, why);
        InputInfo now;
        Status status = OpenInput(entry.disk_path, handle, &now, why);
        // It could be opened when it was added: now it is a failure to read.
        if (!status.ok() && status.system_error != 0)
            return ReadingFailed(status.system_error, entry.source, why);
        if (!status.ok()) return Failed(CAUSE_READ_FAILED);
        if (now.kind != entry.info.kind || !(now.identity == entry.info.identity)) {
            CloseFile(*handle);
            *handle = NO_FILE;
            return Fail(CAUSE_CHANGED,
                        entry.source +
                            ": is no longer the file or folder that was given (replaced "
                            "meanwhile); not stored",
                        why);
        }
        return STATUS_OK;
    }

    const std::vector<WriterEntry>& entries_;
    std::vector<Held> held_;
};

}  // namespace

// Where the finished archive goes: a file named by its path, which is made
// beside it and renamed; or a descriptor or the user's function, which get it
// in one pass from a work file.
enum OutputKind { OUTPUT_PATH, OUTPUT_DESCRIPTOR, OUTPUT_CALLBACKS };

struct qv_writer {
    std::string output;  // the path, or how messages name the output
    OutputKind output_kind = OUTPUT_PATH;
    FileHandle output_handle = NO_FILE;  // the descriptor's, not the writer's
    qv_output_callbacks output_calls = {};
    qv_create_options options;
    std::vector<uint8_t> stub;
    OldOutput old_output;
    std::vector<WriterEntry> entries;
    // Every name in use, and every folder a name lies in, by Windows key: two
    // names that are one file there, or a file where a folder must be, are refused.
    std::map<std::string, NameUse> names;

    Status Prepare(std::string* why);
    Status AddPath(const std::string& input, const char* archive_name, std::string* why);
    Status AddMemory(const char* name, const void* data, size_t size, uint64_t filetime,
                     uint16_t attributes, bool folder, std::string* why);
    Status Add(const WriterEntry& entry, std::string* why);
    bool Excluded(const std::string& name, InputKind kind) const;
    Status CheckName(const WriterEntry& entry, std::string* why) const;
    void RecordName(const WriterEntry& entry);
    Status Walk(const OpenFolder& folder, size_t folder_index, std::string* why);
    EntryRecord RecordFor(const WriterEntry& entry) const;
    Status WriteFileEntry(FileHandle out, size_t index, EntryRecord* record,
                          ProgressReport* progress, InputFolders* inputs, uint32_t* widened_steps,
                          std::string* why);
    Status ReadWhole(size_t index, InputFolders* inputs, std::vector<uint8_t>* data,
                     std::string* why) const;
    Status WritePooledEntry(FileHandle out, CompressPool* pool, size_t index, EntryRecord* record,
                            ProgressReport* progress, uint32_t* widened_steps, std::string* why);
    unsigned Threads() const;
    void Written(const WriterEntry& entry, const EntryRecord& record, uint32_t widened_steps);
    Status Finish(std::string* why);
    Status Deliver(FileHandle made, std::string* why);
};

Status qv_writer::Add(const WriterEntry& entry, std::string* why) {
    if (entry.name.size() > 255) {
        return Fail(CAUSE_CANNOT_STORE,
                    entry.source + ": the name is longer than 255 bytes in the archive", why);
    }
    if (entry.info.kind == INPUT_FILE && entry.info.size > MAX_ENTRY_SIZE) {
        return Fail(CAUSE_CANNOT_STORE, entry.source + ": files of 4 GiB or more cannot be stored",
                    why);
    }
    Status status = CheckName(entry, why);
    if (!status.ok()) return status;
    RecordName(entry);
    entries.push_back(entry);
    return STATUS_OK;
}

Status qv_writer::CheckName(const WriterEntry& entry, std::string* why) const {
    std::string name = WithoutFinalSeparator(entry.name);
    std::vector<std::string> parts = SplitEntryName(name);
    bool folder = entry.info.kind == INPUT_FOLDER;
    std::string key;
    for (size_t i = 0; i < parts.size(); i++) {
        if (i > 0) key += NAME_SEPARATOR;
        key += WindowsNameKey(parts[i]);
        auto found = names.find(key);
        if (found == names.end()) continue;
        const NameUse& use = found->second;
        if (i + 1 < parts.size()) {
            if (!use.folder) {
                return Fail(CAUSE_INVALID,
                            entry.source + ": needs a folder where " + use.source + " is a file",
                            why);
            }
        } else if (use.implied) {
            if (!folder) {
                return Fail(CAUSE_INVALID,
                            entry.source + ": is a file where " + use.source + " needs a folder",
                            why);
            }
        } else if (use.name == name) {
            return Fail(CAUSE_INVALID, entry.source + ": a second entry of the same name", why);
        } else {
            return Fail(CAUSE_UNSAFE_NAME,
                        use.source + " and " + entry.source +
                            " are one name on Windows, where case and dots or spaces at the end "
                            "do not count; neither is stored",
                        why);
        }
    }
    return STATUS_OK;
}

void qv_writer::RecordName(const WriterEntry& entry) {
    std::string name = WithoutFinalSeparator(entry.name);
    std::vector<std::string> parts = SplitEntryName(name);
    std::string key;
    for (size_t i = 0; i < parts.size(); i++) {
        if (i > 0) key += NAME_SEPARATOR;
        key += WindowsNameKey(parts[i]);
        bool last = i + 1 == parts.size();
        NameUse& use = names[key];
        if (last) {
            use = NameUse{name, entry.source, entry.info.kind == INPUT_FOLDER, false};
        } else if (use.source.empty()) {
            use = NameUse{"", entry.source, true, true};
        }
    }
}

// Adds the contents of an open folder, in the byte order of their archive
// names so that the same tree gives the same archive on every system.
// Whether the caller leaves out the file or folder of archive name `name`
// (a folder's without its separator).
bool qv_writer::Excluded(const std::string& name, InputKind kind) const {
    if (!options.exclude) return false;
    std::string stored = kind == INPUT_FOLDER ? name + NAME_SEPARATOR : name, utf8;
    qv_entry entry = {};
    entry.struct_size = sizeof entry;
    entry.name = stored.c_str();
    entry.name_length = stored.size();
    entry.name_utf8 = EntryNameToUtf8(stored, &utf8) ? utf8.c_str() : nullptr;
    entry.kind = kind == INPUT_FOLDER ? QV_FOLDER : QV_FILE;
    return options.exclude(options.context, &entry) != 0;
}

Status qv_writer::Walk(const OpenFolder& folder, size_t folder_index, std::string* why) {
    std::vector<FolderChild> children;
    Status status = ReadFolder(folder, &children, why);
    if (!status.ok()) return status;

    const WriterEntry& parent = entries[folder_index];
    std::vector<WriterEntry> named;
    for (const FolderChild& child : children) {
        std::string child_path = JoinPath(folder.path, child.name);
        if (child.info.kind == INPUT_OTHER) {
            if (options.warning)
                options.warning(options.context,
                                (child_path + ": not a file or folder, left out").c_str());
            continue;
        }
        if (old_output.exists && child.info.kind == INPUT_FILE &&
            child.info.identity == old_output.identity) {
            if (parent.info.identity == old_output.folder && child.name == old_output.name)
                continue;
            return Fail(CAUSE_INVALID,
                        child_path + ": is the output " + output +
                            " under another name; it cannot go into itself",
                        why);
        }
        std::string component;
        status = ArchiveComponent(child.name, child_path, &component, why);
        if (!status.ok()) return status;
        std::string child_name = parent.name + component;
        if (Excluded(child_name, child.info.kind)) continue;
        named.push_back(WriterEntry{child_path, child_path, child_name, child.info, nullptr,
                                    folder_index, child.name});
    }
    std::sort(named.begin(), named.end(),
              [](const WriterEntry& a, const WriterEntry& b) { return a.name < b.name; });

    for (WriterEntry& child : named) {
        if (child.info.kind == INPUT_FOLDER) child.name += NAME_SEPARATOR;
        status = Add(child, why);
        if (!status.ok()) return status;
        if (child.info.kind != INPUT_FOLDER) continue;
        HeldFolder held;
        status = OpenListed(folder, child.local_name, child.info, &held.folder.handle, why);
        if (!status.ok()) return status;
        held.folder.path = child.disk_path;
        status = Walk(held.folder, entries.size() - 1, why);
        if (!status.ok()) return status;
    }
    return STATUS_OK;
}

EntryRecord qv_writer::RecordFor(const WriterEntry& entry) const {
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

namespace {

// A file is stored only as it was when the walk saw it: same size and
// last-write time before and after reading, and nothing behind the stated
// size. Otherwise it grew, shrank or was rewritten meanwhile, or its size
// was never true (files of /proc report 0 bytes).
Status CheckUnchanged(FileHandle in, const WriterEntry& entry, const char* when, std::string* why) {
    InputInfo now;
    Status status = InspectOpenFile(in, &now);
    if (!status.ok()) return ReadingFailed(status.system_error, entry.source, why);
    if (now.size != entry.info.size || now.last_write != entry.info.last_write)
        return Fail(CAUSE_CHANGED, entry.source + ": the file changed " + when, why);
    return STATUS_OK;
}

Status CheckNothingBeyond(FileHandle in, const WriterEntry& entry, std::string* why) {
    uint8_t byte;
    uint32_t got = 0;
    Status read =
        SetFilePointer64(in, (int64_t)entry.info.size, FILE_BEGIN) == (int64_t)entry.info.size
            ? ReadBytes(in, &byte, 1, &got)
            : Failed(CAUSE_READ_FAILED);
    if (!read.ok()) return ReadingFailed(read.system_error, entry.source, why);
    if (got == 0) return STATUS_OK;
    if (entry.info.size == 0) {
        return Fail(CAUSE_CHANGED,
                    entry.source +
                        ": the system reports 0 bytes, but the file has content (as files of "
                        "/proc do); it is not stored",
                    why);
    }
    return Fail(CAUSE_CHANGED, entry.source + ": the file grew while it was read", why);
}

// Carries the writer's progress within one entry to the caller's callback.
struct CompressProgress {
    ProgressReport* report;
    uint64_t reported;  // of the current pass
};

bool OnCompressed(void* context, uint64_t done) {
    CompressProgress* progress = (CompressProgress*)context;
    // A second pass (the other rescale rule) starts again from 0; only what
    // is new counts.
    if (done > progress->reported) {
        progress->report->Advance(done - progress->reported);
        progress->reported = done;
    }
    return !progress->report->Cancelled();
}

// The compressor's answer for `entry`, worded for the user.
Status CheckCompressed(const CompressResult& result, const WriterEntry& entry,
                       const std::string& output, std::string* why) {
    std::string reason = result.error ? result.error : "";
    switch (result.status.cause) {
        case CAUSE_OK:
            break;
        case CAUSE_CANCELLED:
            return Cancelled(why);
        case CAUSE_NO_MEMORY:
            return Fail(CAUSE_NO_MEMORY, entry.source + ": cannot be compressed: " + reason, why);
        case CAUSE_READ_FAILED:
            return Fail(CAUSE_READ_FAILED, entry.source + ": " + reason, why);
        case CAUSE_WRITE_FAILED:
            // The output refused the stored bytes: a full disk, a file-size limit.
            if (result.status.system_error != 0)
                reason += ": " + SystemErrorText(result.status.system_error);
            return Fail(result.status, output + ": writing failed: " + reason, why);
        default:
            return Fail(CAUSE_CANNOT_STORE, entry.source + ": cannot be compressed: " + reason,
                        why);
    }
    if (result.stored_size > 0xFFFFFFFFull) {
        return Fail(CAUSE_CANNOT_STORE, entry.source + ": its stored form would exceed 4 GiB", why);
    }
    return STATUS_OK;
}

}  // namespace

// Writes one file entry; *widened_steps receives how many steps of its
// stream need the narrow-interval rule.
Status qv_writer::WriteFileEntry(FileHandle out, size_t index, EntryRecord* record,
                                 ProgressReport* progress, InputFolders* inputs,
                                 uint32_t* widened_steps, std::string* why) {
    const WriterEntry& entry = entries[index];
    *widened_steps = 0;
    int64_t record_at = SetFilePointer64(out, 0, FILE_CURRENT);
    Status written = WriteEntryRecord(out, record);
    if (!written.ok()) return WritingFailed(written.system_error, output, why);
    if (record->originalSize == 0 && entry.disk_path.empty()) return STATUS_OK;

    FileHandle in = NO_FILE;
    if (!entry.disk_path.empty()) {
        Status status = inputs->OpenFile(index, &in, why);
        if (!status.ok()) return status;
    }
    ClosedOnExit closed_on_exit{in};
    if (in != NO_FILE) {
        Status status = CheckUnchanged(in, entry, "while the archive was made", why);
        if (!status.ok()) return status;
    }
    if (record->originalSize > 0) {
        if (!progress->Begin(index, record->originalSize, entry.source)) return Cancelled(why);
        CompressOptions compress;
        compress.threads = Threads();
        CompressProgress compress_progress = {progress, 0};
        compress.progress = OnCompressed;
        compress.progress_context = &compress_progress;
        CompressResult result;
        if (in != NO_FILE) {
            result = CompressFile(in, record->originalSize, out, compress);
        } else {
            std::vector<uint8_t> stored;
            result = compress_buffer(entry.bytes->data(), record->originalSize, compress, &stored);
            if (result.status.ok()) {
                written = WriteBytes(out, stored.data(), (uint32_t)stored.size());
                if (!written.ok()) return WritingFailed(written.system_error, output, why);
            }
        }
        Status status = CheckCompressed(result, entry, output, why);
        if (!status.ok()) return status;
        if (!progress->End()) return Cancelled(why);
        *widened_steps = result.widened_steps;
        record->storedSize = (uint32_t)result.stored_size;
        if (!result.odd_rescale) record->attributeWord &= (uint16_t)~ODD_RESCALE;
        int64_t end = SetFilePointer64(out, 0, FILE_CURRENT);
        if (end !=
            record_at + RECORD_FIXED_SIZE + record->nameLength + (int64_t)result.stored_size) {
            return Fail(CAUSE_WRITE_FAILED, output + ": the compressor wrote an unexpected amount",
                        why);
        }
        SetFilePointer64(out, record_at, FILE_BEGIN);
        written = WriteEntryRecord(out, record);
        if (!written.ok()) return WritingFailed(written.system_error, output, why);
        SetFilePointer64(out, end, FILE_BEGIN);
    }
    if (in != NO_FILE) {
        Status status = CheckNothingBeyond(in, entry, why);
        if (status.ok()) status = CheckUnchanged(in, entry, "while it was read", why);
        if (!status.ok()) return status;
    }
    return STATUS_OK;
}

unsigned qv_writer::Threads() const {
    if (!ThreadsAvailable()) return 1;
    return options.threads != 0 ? options.threads : UsableCores();
}

// The bytes of a small entry, read whole and checked as WriteFileEntry checks
// what it streams.
Status qv_writer::ReadWhole(size_t index, InputFolders* inputs, std::vector<uint8_t>* data,
                            std::string* why) const {
    const WriterEntry& entry = entries[index];
    if (entry.disk_path.empty()) {
        *data = *entry.bytes;
        return STATUS_OK;
    }
    FileHandle in = NO_FILE;
    Status status = inputs->OpenFile(index, &in, why);
    if (!status.ok()) return status;
    ClosedOnExit closed_on_exit{in};
    status = CheckUnchanged(in, entry, "while the archive was made", why);
    if (!status.ok()) return status;
    data->resize((size_t)entry.info.size);
    uint32_t got = 0;
    for (size_t at = 0; at < data->size(); at += got) {
        Status read = ReadBytes(in, data->data() + at, (uint32_t)(data->size() - at), &got);
        if (!read.ok()) return ReadingFailed(read.system_error, entry.source, why);
        if (got == 0)
            return Fail(CAUSE_CHANGED, entry.source + ": the file shrank while it was read", why);
    }
    status = CheckNothingBeyond(in, entry, why);
    if (status.ok()) status = CheckUnchanged(in, entry, "while it was read", why);
    return status;
}

// Writes the oldest entry of the pool, which is entry `index`.
Status qv_writer::WritePooledEntry(FileHandle out, CompressPool* pool, size_t index,
                                   EntryRecord* record, ProgressReport* progress,
                                   uint32_t* widened_steps, std::string* why) {
    const WriterEntry& entry = entries[index];
    std::vector<uint8_t> stored;
    CompressResult result = compress_pool_take(pool, &stored);
    if (!progress->Begin(index, record->originalSize, entry.source) ||
        !progress->Advance(record->originalSize))
        return Cancelled(why);
    Status status = CheckCompressed(result, entry, output, why);
    if (!status.ok()) return status;
    record->storedSize = (uint32_t)result.stored_size;
    if (!result.odd_rescale) record->attributeWord &= (uint16_t)~ODD_RESCALE;
    Status written = WriteEntryRecord(out, record);
    if (written.ok()) written = WriteBytes(out, stored.data(), (uint32_t)stored.size());
    if (!written.ok()) return WritingFailed(written.system_error, output, why);
    if (!progress->End()) return Cancelled(why);
    *widened_steps = result.widened_steps;
    return STATUS_OK;
}

void qv_writer::Written(const WriterEntry& entry, const EntryRecord& record,
                        uint32_t widened_steps) {
    if (!options.written) return;
    NameStore names;
    ArchiveEntry written = EntryOfRecord(record, 0, &names);
    if (entry.info.kind == INPUT_FILE) {
        // The writer knows what a reader learns only by decoding.
        written.narrow_interval = widened_steps > 0 ? 1 : 0;
        written.narrow_steps = widened_steps;
    }
    qv_entry described;
    DescribeArchiveEntry(written, (size_t)(&entry - entries.data()), &described);
    options.written(options.context, entry.source.c_str(), &described);
}

namespace {

Status ReadStub(const std::string& path, std::vector<uint8_t>* bytes, std::string* why) {
    FileHandle file;
    Status opened = OpenForReading(path.c_str(), &file);
    if (!opened.ok()) return ReadingFailed(opened.system_error, path + " (the stub)", why);
    ClosedOnExit closed_on_exit{file};
    bytes->clear();
    uint8_t buffer[65536];
    uint32_t got = 0;
    Status read;
    while ((read = ReadBytes(file, buffer, sizeof buffer, &got)).ok() && got > 0) {
        bytes->insert(bytes->end(), buffer, buffer + got);
    }
    if (!read.ok()) return ReadingFailed(read.system_error, path + " (the stub)", why);
    if (bytes->empty()) return Fail(CAUSE_INVALID, path + ": the stub is empty", why);
    return STATUS_OK;
}

// The hidden file beside the output that becomes the output at the end; it is
// removed on every other way out.
struct PartialOutput {
    std::string path;
    FileHandle file = NO_FILE;
    ~PartialOutput() {
        if (file != NO_FILE) CloseFile(file);
        if (path.empty()) return;
        RemoveFile(path);
        ForgetPartialFile();
    }
};

// A file of the temporary folder for an archive that has no file of its own
// to be made beside.
Status CreateWorkOutput(FileHandle* file, std::string* path) {
    char folder[TEMP_FOLDER_ROOM];
    GetTemporaryFolder(folder);
    return CreateFileBeside(JoinPath(WithoutTrailingSeparators(folder), "archive"), file, path);
}

// The stub of an archive for which none was given: the one built into the
// library, else the installed one; CAUSE_NOT_FOUND when there is neither.
Status DefaultStub(std::vector<uint8_t>* stub, std::string* why) {
    if (BuiltInStubSize() > 0) {
        stub->assign(BuiltInStub(), BuiltInStub() + BuiltInStubSize());
        return STATUS_OK;
    }
    std::string installed;
    Status status = FindInstalledStub(&installed);
    if (!status.ok()) {
        return Fail(status,
                    "no extractor stub was given, and none is built into the library or "
                    "installed",
                    why);
    }
    return ReadStub(installed, stub, why);
}

}  // namespace

// Sends the finished archive `made` to the descriptor or the function, in
// order. A descriptor of a regular file is cut back to where it was when
// this fails.
Status qv_writer::Deliver(FileHandle made, std::string* why) {
    int64_t start =
        output_kind == OUTPUT_DESCRIPTOR ? SetFilePointer64(output_handle, 0, FILE_CURRENT) : -1;
    if (SetFilePointer64(made, 0, FILE_BEGIN) != 0)
        return WritingFailed(LastFileError(), output, why);
    std::vector<uint8_t> buffer(1 << 20);
    Status status = STATUS_OK;
    while (status.ok()) {
        uint32_t got = 0;
        Status moved = ReadBytes(made, buffer.data(), (uint32_t)buffer.size(), &got);
        if (!moved.ok()) {
            status = WritingFailed(moved.system_error, output, why);
        } else if (got == 0) {
            break;
        } else if (output_kind == OUTPUT_DESCRIPTOR) {
            moved = WriteBytes(output_handle, buffer.data(), got);
            if (!moved.ok()) status = WritingFailed(moved.system_error, output, why);
        } else {
            int answer = output_calls.write(output_calls.context, buffer.data(), got);
            if (answer != 0) {
                status = Fail(Failed(CAUSE_WRITE_FAILED, answer > 0 ? (uint32_t)answer : 0),
                              output + ": writing failed", why);
            }
        }
    }
    if (!status.ok() && start >= 0 && SetFilePointer64(output_handle, start, FILE_BEGIN) == start)
        TruncateHere(output_handle);
    return status;
}

Status qv_writer::Finish(std::string* why) {
    PartialOutput part;
    Status made = output_kind == OUTPUT_PATH ? CreateFileBeside(output, &part.file, &part.path)
                                             : CreateWorkOutput(&part.file, &part.path);
    if (!made.ok()) {
        part.path.clear();
        return Fail(made,
                    output + ": cannot create the output: " + SystemErrorText(made.system_error),
                    why);
    }
    FileHandle out = part.file;
    if (!stub.empty()) {
        Status written = WriteBytes(out, stub.data(), (uint32_t)stub.size());
        if (!written.ok()) return WritingFailed(written.system_error, output, why);
        // The stub finds its payload at the end of its last section: a stub
        // with anything behind that would look in the wrong place.
        if (GetEXESizeOfOpenFile(out) != stub.size()) {
            return Fail(CAUSE_INVALID,
                        "the stub is not a PE executable that ends with its last section (is it "
                        "stripped?)",
                        why);
        }
        if (SetFilePointer64(out, (int64_t)stub.size(), FILE_BEGIN) != (int64_t)stub.size())
            return WritingFailed(LastFileError(), output, why);
    }

    uint64_t total = 0;
    for (const WriterEntry& entry : entries)
        total += entry.info.kind == INPUT_FILE ? entry.info.size : 0;
    ProgressReport progress(options.progress, options.context, total);
    InputFolders inputs(entries);

    // Small entries go to the pool, several at once; every entry is written
    // in its turn, so an entry waits in `waiting` until those before it are out.
    std::unique_ptr<CompressPool, void (*)(CompressPool*)> pool(
        Threads() > 1 ? compress_pool_start(Threads(), POOL_BYTES) : nullptr, compress_pool_stop);
    struct Waiting {
        size_t index;
        EntryRecord record;
        bool pooled;
    };
    std::deque<Waiting> waiting;
    auto write_oldest = [&]() -> Status {
        Waiting& next = waiting.front();
        const WriterEntry& entry = entries[next.index];
        uint32_t widened_steps = 0;
        Status status;
        if (next.pooled) {
            status = WritePooledEntry(out, pool.get(), next.index, &next.record, &progress,
                                      &widened_steps, why);
        } else if (entry.info.kind == INPUT_FOLDER) {
            status = WriteEntryRecord(out, &next.record);
            if (!status.ok()) status = WritingFailed(status.system_error, output, why);
        } else {
            status = WriteFileEntry(out, next.index, &next.record, &progress, &inputs,
                                    &widened_steps, why);
        }
        if (!status.ok()) return status;
        Written(entry, next.record, widened_steps);
        waiting.pop_front();
        return STATUS_OK;
    };
    auto write_all = [&]() -> Status {
        Status status = STATUS_OK;
        while (status.ok() && !waiting.empty()) status = write_oldest();
        return status;
    };
    for (size_t i = 0; i < entries.size(); i++) {
        const WriterEntry& entry = entries[i];
        bool small = entry.info.kind == INPUT_FILE && entry.info.size > 0 &&
                     entry.info.size <= POOLED_ENTRY_MAX;
        if (pool && small) {
            std::vector<uint8_t> data;
            Status status = ReadWhole(i, &inputs, &data, why);
            while (status.ok() && !compress_pool_has_room(pool.get(), data.size()))
                status = write_oldest();
            if (!status.ok()) return status;
            CompressOptions compress;
            status = compress_pool_submit(pool.get(), &data, compress);
            if (!status.ok()) return Fail(status, entry.source + ": out of memory", why);
            waiting.push_back(Waiting{i, RecordFor(entry), true});
            continue;
        }
        // A folder or an empty file waits its turn without holding anything;
        // a large entry needs every thread, so the pool is emptied first.
        bool large = entry.info.kind == INPUT_FILE && entry.info.size > 0;
        Status status = large ? write_all() : STATUS_OK;
        if (!status.ok()) return status;
        waiting.push_back(Waiting{i, RecordFor(entry), false});
        if (large || !pool) status = write_oldest();
        if (!status.ok()) return status;
    }
    Status status = write_all();
    if (!status.ok()) return status;

    // What the extractor will check first, checked here before the output exists.
    if (!ZevCheckArchive(out, (uint32_t)stub.size())) {
        return Fail(CAUSE_WRITE_FAILED, output + ": the archive just written does not validate",
                    why);
    }
    if (output_kind != OUTPUT_PATH) return Deliver(out, why);  // the work file goes with `part`
    status = FinishOutput(out, !options.payload_only, output, why);
    part.file = NO_FILE;
    if (!status.ok()) return status;
    // What stands at the output now is replaced: still nothing, or a file.
    bool exists;
    FileIdentity ignored;
    status = InspectOutput(output, &exists, &ignored, why);
    if (!status.ok()) return status;
    std::string reason;
    status = PutInPlace(part.path, output, &reason);
    if (!status.ok()) return Fail(status, output + ": " + reason, why);
    ForgetPartialFile();
    part.path.clear();
    return STATUS_OK;
}

// The stub and the time of a new writer, from its options.
Status qv_writer::Prepare(std::string* why) {
    const qv_create_options& o = options;
    if (o.payload_only && (o.stub_path || o.stub_data))
        return Fail(CAUSE_INVALID, "a stub and payload_only exclude each other", why);
    Status status = STATUS_OK;
    if (o.stub_path) {
        status = ReadStub(o.stub_path, &stub, why);
    } else if (o.stub_data && o.stub_size > 0) {
        const uint8_t* bytes = (const uint8_t*)o.stub_data;
        stub.assign(bytes, bytes + o.stub_size);
    } else if (!o.payload_only) {
        status = DefaultStub(&stub, why);
    }
    if (!status.ok()) return status;
    // Build tools fix the time of everything they make this way.
    const char* epoch = o.source_date_epoch ? getenv("SOURCE_DATE_EPOCH") : nullptr;
    if (!o.fixed_time && epoch && *epoch) {
        if (!ParseEpochSeconds(epoch, &options.time)) {
            return Fail(CAUSE_INVALID,
                        std::string("SOURCE_DATE_EPOCH is not a whole number of seconds: ") + epoch,
                        why);
        }
        options.fixed_time = 1;
    }
    return STATUS_OK;
}

// Adds a file or folder from disk, under `archive_name` (UTF-8) when given.
Status qv_writer::AddPath(const std::string& input, const char* archive_name, std::string* why) {
    InputInfo info;
    HeldFolder held;
    Status status = OpenInput(input, &held.folder.handle, &info, why);
    if (!status.ok()) return status;
    held.folder.path = input;
    if (old_output.exists && info.kind == INPUT_FILE && info.identity == old_output.identity)
        return Fail(CAUSE_INVALID, input + ": is the output; it cannot go into itself", why);
    std::string name;
    status = archive_name ? ArchiveNameOfUtf8(ArchiveNameGiven(archive_name), &name, why)
                          : ArchiveComponent(InputName(input), input, &name, why);
    if (!status.ok()) return status;
    if (Excluded(name, info.kind)) return STATUS_OK;
    if (info.kind != INPUT_FOLDER)
        return Add(WriterEntry{input, input, name, info, nullptr, NO_PARENT, ""}, why);
    status =
        Add(WriterEntry{input, input, name + NAME_SEPARATOR, info, nullptr, NO_PARENT, ""}, why);
    if (!status.ok()) return status;
    return Walk(held.folder, entries.size() - 1, why);
}

Status qv_writer::AddMemory(const char* name, const void* data, size_t size, uint64_t filetime,
                            uint16_t attributes, bool folder, std::string* why) {
    std::string utf8 = Utf8NameWithSlashes(name);
    if (!folder && utf8.back() == '/')
        return Fail(CAUSE_INVALID, utf8 + ": a file's name cannot end in '/'", why);
    if (!folder && (attributes & (NOT_A_FILE_ATTRIBUTES | ~ATTRIBUTE_MASK))) {
        char bits[8];
        snprintf(bits, sizeof bits, "0x%04X", attributes);
        return Fail(CAUSE_INVALID,
                    utf8 + ": the attributes " + bits +
                        " do not belong to a file (a folder, a device or a link, or no "
                        "attribute at all)",
                    why);
    }
    while (!utf8.empty() && utf8.back() == '/') utf8.pop_back();
    InputInfo info = {};
    info.kind = folder ? INPUT_FOLDER : INPUT_FILE;
    info.size = size;
    info.creation = info.last_access = info.last_write = filetime;
    info.attributes = folder ? ATTRIBUTE_DIRECTORY : attributes;
    std::string archive_name;
    Status status = ArchiveNameOfUtf8(utf8, &archive_name, why);
    if (!status.ok()) return status;
    if (folder) archive_name += NAME_SEPARATOR;
    const uint8_t* bytes = (const uint8_t*)data;
    auto copy = std::make_shared<const std::vector<uint8_t>>(bytes, bytes + size);
    return Add(WriterEntry{"", utf8, archive_name, info, copy, NO_PARENT, ""}, why);
}

namespace {

// A writer for `output` with its options and stub, whatever the output is.
int WriterOpenTo(const std::string& output, const qv_create_options* options, qv_writer** made,
                 qv_error* error) {
    std::unique_ptr<qv_writer> writer(new qv_writer());
    writer->output = output;
    if (!TakeOptions(options, &writer->options))
        return SetError(error, QV_E_INVALID, "the options' struct_size is not set");
    std::string why;
    Status status = writer->Prepare(&why);
    if (!status.ok()) return SetError(error, status, why);
    *made = writer.release();
    return QV_OK;
}

}  // namespace

int WriterOpen(const char* output, const qv_create_options* options, qv_writer** made,
               qv_error* error) {
    *made = nullptr;
    if (!output || !*output) return SetError(error, QV_E_INVALID, "no output given");
    qv_writer* writer = nullptr;
    int code = WriterOpenTo(output, options, &writer, error);
    if (code != QV_OK) return code;
    // The output must be a file to replace, or nothing yet.
    OldOutput& old = writer->old_output;
    std::string why;
    Status status = InspectOutput(writer->output, &old.exists, &old.identity, &why);
    if (!status.ok()) {
        delete writer;
        return SetError(error, status, why);
    }
    if (old.exists && IdentifyParent(writer->output, &old.folder).ok()) {
        old.name = writer->output.substr(LastComponentStart(writer->output));
    } else {
        old.folder = FileIdentity{0, 0};
    }
    *made = writer;
    return QV_OK;
}

int WriterOpenFd(int fd, const qv_create_options* options, qv_writer** made, qv_error* error) {
    *made = nullptr;
    FileHandle handle = HandleOfDescriptor(fd);
    if (handle == NO_FILE) return SetError(error, QV_E_INVALID, "not an open descriptor");
    int code = WriterOpenTo("the output of descriptor " + std::to_string(fd), options, made, error);
    if (code != QV_OK) return code;
    (*made)->output_kind = OUTPUT_DESCRIPTOR;
    (*made)->output_handle = handle;
    return QV_OK;
}

int WriterOpenCallbacks(const qv_output_callbacks* output, const qv_create_options* options,
                        qv_writer** made, qv_error* error) {
    *made = nullptr;
    qv_output_callbacks calls;
    if (!output || !TakeOptions(output, &calls) || !calls.write)
        return SetError(error, QV_E_INVALID, "no write function given");
    int code = WriterOpenTo("the output", options, made, error);
    if (code != QV_OK) return code;
    (*made)->output_kind = OUTPUT_CALLBACKS;
    (*made)->output_calls = calls;
    return QV_OK;
}

int WriterAddPath(qv_writer* writer, const char* path, const char* archive_name, qv_error* error) {
    if (!path || !*path) return SetError(error, QV_E_INVALID, "no path given");
    if (archive_name && !*archive_name) return SetError(error, QV_E_INVALID, "no name given");
    size_t count = writer->entries.size();
    std::string why;
    Status status = writer->AddPath(path, archive_name, &why);
    if (status.ok()) return QV_OK;
    // Nothing of a path that failed stays.
    writer->entries.resize(count);
    writer->names.clear();
    for (const WriterEntry& entry : writer->entries) writer->RecordName(entry);
    return SetError(error, status, why);
}

int WriterAddMemory(qv_writer* writer, const char* name, const void* data, size_t size,
                    uint64_t filetime, uint16_t attributes, bool folder, qv_error* error) {
    if (!name || !*name || (!folder && size > 0 && !data))
        return SetError(error, QV_E_INVALID, "no name or no data given");
    std::string why;
    Status status = writer->AddMemory(name, data, size, filetime, attributes, folder, &why);
    return Answer(error, status, why);
}

int WriterFinish(qv_writer* writer, qv_error* error) {
    std::string why;
    Status status = writer->Finish(&why);
    return Answer(error, status, why);
}

void WriterFree(qv_writer* writer) { delete writer; }
