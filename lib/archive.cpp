// Opening an archive: validation first, then one walk that indexes every
// entry; and decoding one entry in memory.
#include "lib/archive.h"

#include <thread>

#include "lib/text.h"
#include "lib/text_utf8.h"
#include "payload/names.h"
#include "payload/validation.h"

int SetError(qv_error* error, int code, const std::string& message) {
    if (error) {
        error->code = code;
        size_t length =
            message.size() < sizeof error->message - 1 ? message.size() : sizeof error->message - 1;
        message.copy(error->message, length);
        error->message[length] = '\0';
    }
    return code;
}

bool IsFolderRecord(const EntryRecord& record) { return EndYen(record.name, record.nameLength); }

std::string RecordName(const EntryRecord& record) {
    return std::string(record.name, record.nameLength);
}

namespace {

// Says which record made the validation refuse the payload, and why.
std::string DiagnosePayload(ByteSource* source, uint32_t start) {
    uint64_t size = SourceSize(source);
    if (size < start) return "the file ends before its payload begins";
    SourceSeek(source, start, FILE_BEGIN);
    for (int index = 1;; index++) {
        int64_t at = SourceSeek(source, 0, FILE_CURRENT);
        EntryRecord record;
        int read = ReadEntryRecordFrom(source, &record);
        std::string where =
            "entry " + std::to_string(index) + " (at byte " + std::to_string(at) + ")";
        if (read == 0) return "a name there is refused by this system";
        if (read < 0) {
            uint8_t first = 1;
            uint32_t got = 0;
            SourceSeek(source, at, FILE_BEGIN);
            SourceRead(source, &first, 1, &got);
            return where +
                   (first == 0 ? ": name of length 0" : ": cut short by the end of the file");
        }
        std::string name = RecordName(record);
        std::string shown = where + " \"" + PrintableName(name) + "\"";
        bool folder = IsFolderRecord(record);
        for (const std::string& component : SplitEntryName(name)) {
            if (!IsSafeNameComponent(component.data(), component.size())) {
                return shown + ": the name part \"" + PrintableName(component) +
                       "\" could lead outside the destination or is not a valid file name";
            }
        }
        if (!folder && SplitEntryName(name).empty()) return shown + ": empty name";
        int64_t stored_at = SourceSeek(source, 0, FILE_CURRENT);
        if ((uint64_t)stored_at + record.storedSize > size) {
            return shown + ": its stored bytes run past the end of the file";
        }
        if (folder && (record.originalSize != 0 || record.storedSize != 0)) {
            return shown + ": a folder entry that carries data";
        }
        if (!folder && record.originalSize == 0 && record.storedSize != 0) {
            return shown + ": an empty file that carries stored bytes";
        }
        SourceSeek(source, record.storedSize, FILE_CURRENT);
    }
}

// The name as UTF-8 with '/' between its parts; false when a part does not convert.
bool Utf8Name(const EntryRecord& record, std::string* utf8) {
    utf8->clear();
    for (const std::string& component : SplitEntryName(RecordName(record))) {
        std::string converted;
        if (!Cp932ToUtf8(component, &converted)) return false;
        if (!utf8->empty()) *utf8 += '/';
        *utf8 += converted;
    }
    if (IsFolderRecord(record)) *utf8 += '/';
    return true;
}

}  // namespace

int IndexArchive(qv_archive* archive, qv_error* error) {
    // Anything that is not a PE executable is taken as a bare payload.
    archive->start = GetEXESizeOfSource(&archive->source);
    if (!CheckPayload(&archive->source, archive->start)) {
        return SetError(error, QV_E_REFUSED,
                        archive->label + " is damaged or unsafe, nothing was done: " +
                            DiagnosePayload(&archive->source, archive->start));
    }
    SourceSeek(&archive->source, archive->start, FILE_BEGIN);
    EntryRecord record;
    while (ReadEntryRecordFrom(&archive->source, &record) == 1) {
        uint64_t stored_at = (uint64_t)SourceSeek(&archive->source, 0, FILE_CURRENT);
        archive->entries.push_back(EntryOfRecord(record, stored_at));
        archive->total_original += record.originalSize;
        SourceSeek(&archive->source, record.storedSize, FILE_CURRENT);
    }
    return QV_OK;
}

ArchiveEntry EntryOfRecord(const EntryRecord& record, uint64_t stored_at) {
    ArchiveEntry entry = {};
    entry.record = record;
    entry.stored_at = stored_at;
    entry.has_utf8 = Utf8Name(record, &entry.utf8);
    entry.narrow_interval = -1;
    return entry;
}

void DescribeEntry(const qv_archive& archive, size_t index, qv_entry* entry) {
    DescribeArchiveEntry(archive.entries[index], index, entry);
}

void DescribeArchiveEntry(const ArchiveEntry& e, size_t index, qv_entry* entry) {
    const EntryRecord& r = e.record;
    entry->index = index;
    entry->name = r.name;
    entry->name_length = r.nameLength;
    entry->name_utf8 = e.has_utf8 ? e.utf8.c_str() : nullptr;
    entry->kind = IsFolderRecord(r) ? QV_FOLDER : QV_FILE;
    entry->original_size = r.originalSize;
    entry->stored_size = r.storedSize;
    entry->creation_time = r.creationTime;
    entry->last_access_time = r.lastAccessTime;
    entry->last_write_time = r.lastWriteTime;
    entry->attributes = r.attributeWord & ATTRIBUTE_MASK;
    entry->odd_rescale = (r.attributeWord & ODD_RESCALE) != 0;
    entry->narrow_interval = e.narrow_interval;
    entry->narrow_interval_steps = e.narrow_steps;
}

ProgressReport::ProgressReport(qv_progress_fn function, void* context, uint64_t total)
    : function_(function), context_(context), state_() {
    state_.total = total;
    state_.name = "";
}

bool ProgressReport::Call() {
    if (!cancelled_ && function_ && function_(context_, &state_) != 0) cancelled_ = true;
    return !cancelled_;
}

bool ProgressReport::Begin(size_t entry, uint64_t size, const std::string& name) {
    name_ = name;
    state_.name = name_.c_str();
    state_.entry = entry;
    state_.entry_size = size;
    state_.entry_done = 0;
    return Call();
}

bool ProgressReport::Advance(uint64_t bytes) {
    state_.entry_done += bytes;
    state_.done += bytes;
    return Call();
}

bool ProgressReport::End() {
    // What the entry did not deliver (a damaged one) still counts as done.
    state_.done += state_.entry_size - state_.entry_done;
    state_.entry_done = state_.entry_size;
    return Call();
}

namespace {

struct Sink {
    DecodedOutput output;
    void* context;
    ProgressReport* progress;
    bool cancelled;
};

bool TakeDecoded(void* context, const uint8_t* data, uint32_t size) {
    Sink* sink = (Sink*)context;
    if (!sink->output(sink->context, data, size)) return false;
    if (sink->progress && !sink->progress->Advance(size)) {
        sink->cancelled = true;
        return false;
    }
    return true;
}

}  // namespace

int DecodeArchiveEntry(qv_archive* archive, size_t index, DecodedOutput output,
                       void* output_context, ProgressReport* progress, std::string* why) {
    ArchiveEntry& e = archive->entries[index];
    if (IsFolderRecord(e.record) || e.record.originalSize == 0) {
        e.narrow_interval = 0;  // no stream at all
        return QV_OK;
    }
    StoredEntry stored = {e.record.storedSize, e.record.originalSize,
                          (e.record.attributeWord & ODD_RESCALE) != 0};
    Sink sink = {output, output_context, progress, false};
    // Stage 1 on a core of its own when there is a second one.
    bool two_threads = std::thread::hardware_concurrency() > 1;
    DecodeResult result;
    uint32_t widened = 0;
    if (archive->file == NO_FILE) {
        MemoryBytesReader reader = {archive->source.data + e.stored_at, e.record.storedSize};
        result = DecodeInMemory(stored, ReadMemoryBytes, &reader, TakeDecoded, &sink, two_threads,
                                &widened);
    } else if (SetFilePointer64(archive->file, (int64_t)e.stored_at, FILE_BEGIN) !=
               (int64_t)e.stored_at) {
        result = DECODE_READ_FAILED;
    } else {
        result =
            DecodeStoredInMemory(archive->file, stored, TakeDecoded, &sink, two_threads, &widened);
    }
    switch (result) {
        case DECODE_OK:
            // What only decoding tells: whether the reader had to widen a step.
            e.narrow_interval = widened > 0 ? 1 : 0;
            e.narrow_steps = widened;
            return QV_OK;
        case DECODE_DAMAGED:
            *why = "the stored data does not decode to the entry";
            return QV_E_DAMAGED;
        case DECODE_NO_MEMORY:
            *why = "out of memory";
            return QV_E_NO_MEMORY;
        case DECODE_READ_FAILED:
            *why = "reading the archive failed";
            return QV_E_READ;
        case DECODE_WRITE_FAILED:
            break;
    }
    if (sink.cancelled) {
        *why = "cancelled";
        return QV_E_CANCELLED;
    }
    *why = "writing the decoded data failed";
    return QV_E_WRITE;
}
