// Opening an archive: validation first, then one walk that indexes every
// entry; and decoding one entry in memory.
#include "lib/archive.h"

#include <string.h>

#include "lib/files.h"
#include "lib/text.h"
#include "lib/text_utf8.h"
#include "payload/names.h"
#include "payload/validation.h"

int SetError(qv_error* error, int code, const std::string& message, int system_error) {
    if (error) {
        error->code = code;
        error->system_error = system_error;
        size_t length =
            message.size() < sizeof error->message - 1 ? message.size() : sizeof error->message - 1;
        message.copy(error->message, length);
        error->message[length] = '\0';
    }
    return code;
}

int StatusCode(Cause cause) {
    switch (cause) {
        case CAUSE_OK: return QV_OK;
        case CAUSE_DAMAGED: return QV_E_DAMAGED;
        case CAUSE_NO_MEMORY: return QV_E_NO_MEMORY;
        case CAUSE_READ_FAILED: return QV_E_READ;
        case CAUSE_WRITE_FAILED: return QV_E_WRITE;
        case CAUSE_CANCELLED: return QV_E_CANCELLED;
        case CAUSE_TOO_LARGE: return QV_E_CANNOT_STORE;
        case CAUSE_INVALID: return QV_E_INVALID;
        case CAUSE_OPEN_FAILED: return QV_E_OPEN;
        case CAUSE_REFUSED: return QV_E_REFUSED;
        case CAUSE_UNSAFE_NAME: return QV_E_UNSAFE_NAME;
        case CAUSE_EXISTS: return QV_E_EXISTS;
        case CAUSE_CANNOT_STORE: return QV_E_CANNOT_STORE;
        case CAUSE_CHANGED: return QV_E_CHANGED;
        case CAUSE_NOT_FOUND: return QV_E_NOT_FOUND;
        case CAUSE_ENTRIES_FAILED:
            return QV_E_ENTRIES_FAILED;
    }
    return QV_E_INVALID;
}

int SetError(qv_error* error, Status status, const std::string& message) {
    return SetError(error, StatusCode(status.cause), message, (int)status.system_error);
}

int Answer(qv_error* error, Status status, const std::string& why) {
    return status.ok() ? QV_OK : SetError(error, status, why);
}

bool EntryNameToUtf8(const std::string& cp932_name, std::string* utf8) {
    utf8->clear();
    for (const std::string& component : SplitEntryName(cp932_name)) {
        std::string converted;
        if (!Cp932ToUtf8(component, &converted)) return false;
        if (!utf8->empty()) *utf8 += '/';
        *utf8 += converted;
    }
    if (EndYen(cp932_name.data(), cp932_name.size())) *utf8 += '/';
    return true;
}

bool IsFolderRecord(const EntryRecord& record) { return EndYen(record.name, record.nameLength); }
bool IsFolderRecord(const EntryFields& record) { return EndYen(record.name, record.nameLength); }

std::string RecordName(const EntryRecord& record) {
    return std::string(record.name, record.nameLength);
}
std::string RecordName(const EntryFields& record) {
    return std::string(record.name, record.nameLength);
}

const char* NameStore::Add(const char* text, size_t length) {
    if (length + 1 > room_ - used_) {
        // Blocks of 64 KiB once an archive has more than a few names.
        size_t size = blocks_.empty() ? 1024 : 0x10000;
        if (size < length + 1) size = length + 1;
        blocks_.emplace_back(new char[size]);
        used_ = 0;
        room_ = size;
    }
    char* copy = blocks_.back().get() + used_;
    memcpy(copy, text, length);
    copy[length] = '\0';
    used_ += length + 1;
    return copy;
}

namespace {

// Says which record made the walk refuse the payload, and why.
std::string DescribeRefusal(const PayloadRefusal& refusal) {
    if (refusal.fault == PAYLOAD_STARTS_PAST_END) return "the file ends before its payload begins";
    std::string where =
        "entry " + std::to_string(refusal.entry) + " (at byte " + std::to_string(refusal.at) + ")";
    if (refusal.fault == PAYLOAD_NAME_LENGTH_ZERO) return where + ": name of length 0";
    if (refusal.fault == PAYLOAD_RECORD_CUT_SHORT)
        return where + ": cut short by the end of the file";
    std::string shown = where + " \"" + ShortPrintableName(RecordName(refusal.record)) + "\"";
    switch (refusal.fault) {
        case PAYLOAD_NAME_REFUSED: {
            if (refusal.component_length == 0) return shown + ": an empty name part";
            std::string part(refusal.record.name + refusal.component_at, refusal.component_length);
            return where + ": the name part \"" + ShortPrintableName(part) +
                   "\" could lead outside the destination or is not a valid file name";
        }
        case PAYLOAD_STORED_PAST_END:
            return shown + ": its stored bytes run past the end of the file";
        case PAYLOAD_FOLDER_WITH_DATA:
            return shown + ": a folder entry that carries data";
        default:
            return shown + ": an empty file that carries stored bytes";
    }
}

bool Utf8Name(const EntryRecord& record, std::string* utf8) {
    return EntryNameToUtf8(RecordName(record), utf8);
}

// What the file is when it is a common kind of file that is no payload.
const char* IdentifyBarePayload(ByteSource* source) {
    uint8_t head[8];
    uint32_t got = 0;
    SourceSeek(source, 0, FILE_BEGIN);
    if (!SourceRead(source, head, sizeof head, &got).ok()) return nullptr;
    return qv_identify(head, got);
}

bool IndexRecord(void* context, const EntryRecord& record, uint64_t stored_at) {
    qv_archive* archive = (qv_archive*)context;
    archive->entries.push_back(EntryOfRecord(record, stored_at, &archive->names));
    archive->total_original += record.originalSize;
    return true;
}

}  // namespace

Status IndexArchive(qv_archive* archive, std::string* why) {
    // Anything that is not a PE executable is taken as a bare payload.
    archive->start = GetEXESizeOfSource(&archive->source);
    // One walk validates and indexes; names are judged by rule, so opening an
    // archive touches no file but the archive itself.
    PayloadRefusal refusal;
    Status walked =
        WalkPayload(&archive->source, archive->start, NameRules(), IndexRecord, archive, &refusal);
    if (walked.ok()) {
        archive->entries.shrink_to_fit();
        return STATUS_OK;
    }
    archive->entries.clear();
    archive->total_original = 0;
    // A failed read is no verdict on the archive, nor is what was judged after
    // one of the caller's functions failed.
    if (!archive->io_failure.ok()) {
        *why = archive->label + ": reading failed";
        return archive->io_failure;
    }
    if (walked.cause == CAUSE_READ_FAILED) {
        *why = archive->label + ": reading failed at byte " + std::to_string(refusal.at) + ": " +
               SystemErrorText(walked.system_error);
        return walked;
    }
    const char* kind = archive->start == 0 ? IdentifyBarePayload(&archive->source) : nullptr;
    if (kind)
        *why = archive->label + " is " + kind + ", not a self-extracting archive";
    else
        *why =
            archive->label + " is damaged or unsafe, nothing was done: " + DescribeRefusal(refusal);
    return Failed(CAUSE_REFUSED);
}

ArchiveEntry EntryOfRecord(const EntryRecord& record, uint64_t stored_at, NameStore* names) {
    ArchiveEntry entry = {};
    EntryFields& f = entry.record;
    f.name = names->Add(record.name, record.nameLength);
    f.nameLength = record.nameLength;
    f.creationTime = record.creationTime;
    f.lastAccessTime = record.lastAccessTime;
    f.lastWriteTime = record.lastWriteTime;
    f.attributeWord = record.attributeWord;
    f.originalSize = record.originalSize;
    f.storedSize = record.storedSize;
    std::string utf8;
    entry.utf8 = Utf8Name(record, &utf8) ? names->Add(utf8.data(), utf8.size()) : nullptr;
    entry.stored_at = stored_at;
    entry.narrow_interval = -1;
    return entry;
}

void DescribeEntry(const qv_archive& archive, size_t index, qv_entry* entry) {
    DescribeArchiveEntry(archive.entries[index], index, entry);
}

void DescribeArchiveEntry(const ArchiveEntry& e, size_t index, qv_entry* entry) {
    const EntryFields& r = e.record;
    entry->struct_size = sizeof *entry;
    entry->index = index;
    entry->name = r.name;
    entry->name_length = r.nameLength;
    entry->name_utf8 = e.utf8;
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
    state_.struct_size = sizeof state_;
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
};

Status TakeDecoded(void* context, const uint8_t* data, uint32_t size) {
    Sink* sink = (Sink*)context;
    return DeliverDecoded(sink->output, sink->context, sink->progress, data, size);
}

}  // namespace

Status ReadPlacedBytes(void* context, uint8_t* buffer, uint32_t room, uint32_t* got) {
    PlacedBytesReader* reader = (PlacedBytesReader*)context;
    uint32_t want = room < reader->left ? room : reader->left;
    *got = 0;
    if (want == 0) return STATUS_OK;
    qv_archive* archive = const_cast<qv_archive*>(reader->archive);
    std::lock_guard<std::mutex> hold(archive->reading);
    if (SourceSeek(&archive->source, (int64_t)reader->at, FILE_BEGIN) != (int64_t)reader->at)
        return Failed(CAUSE_READ_FAILED);
    Status read = SourceRead(&archive->source, buffer, want, got);
    if (!read.ok()) return read;
    reader->at += *got;
    reader->left -= *got;
    return STATUS_OK;
}

bool DecodedWhole(const EntryFields& record) {
    return !IsFolderRecord(record) && record.originalSize > 0 &&
           record.originalSize < TWO_THREADS_FROM;
}

unsigned DecodingThreads(unsigned asked) {
    if (!ThreadsAvailable()) return 1;
    return asked ? asked : UsableCores();
}

std::string EntryNameForMessages(const qv_archive& archive, size_t index) {
    const ArchiveEntry& e = archive.entries[index];
    return e.utf8 ? e.utf8 : RecordName(e.record);
}

Status DeliverDecoded(DecodedOutput output, void* context, ProgressReport* progress,
                      const uint8_t* data, uint32_t size) {
    Status delivered = output(context, data, size);
    if (delivered.ok() && progress && !progress->Advance(size)) return Failed(CAUSE_CANCELLED);
    return delivered;
}

Status DecodeEntryBytes(const qv_archive* archive, size_t index, DecodeWay way,
                        DecodedOutput output, void* output_context, ProgressReport* progress,
                        uint32_t* widened_steps) {
    const ArchiveEntry& e = archive->entries[index];
    if (widened_steps) *widened_steps = 0;
    if (IsFolderRecord(e.record) || e.record.originalSize == 0) return STATUS_OK;  // no stream
    StoredEntry stored =
        StoredEntryOf(e.record.storedSize, e.record.originalSize, e.record.attributeWord);
    Sink sink = {output, output_context, progress};
    MemoryBytesReader in_memory = {archive->source.data + e.stored_at, e.record.storedSize};
    PlacedBytesReader in_file = {archive, e.stored_at, e.record.storedSize};
    bool in_place = archive->source.data != NULL;
    Stage1Refill read = in_place ? ReadMemoryBytes : ReadPlacedBytes;
    void* reader = in_place ? (void*)&in_memory : (void*)&in_file;
    Status result = way.buffers ? DecodeInMemoryReusing(stored, read, reader, TakeDecoded, &sink,
                                                        way.buffers, widened_steps)
                                : DecodeInMemory(stored, read, reader, TakeDecoded, &sink,
                                                 way.two_threads, widened_steps);
    return result;
}

void NoteDecoded(ArchiveEntry* entry, uint32_t widened_steps) {
    entry->narrow_interval = widened_steps > 0 ? 1 : 0;
    entry->narrow_steps = widened_steps;
}

std::string DecodingProblem(Status result) {
    std::string problem;
    switch (result.cause) {
        case CAUSE_DAMAGED:
            return "the stored data does not decode to the entry";
        case CAUSE_NO_MEMORY:
            return "out of memory";
        case CAUSE_CANCELLED:
            return "cancelled";
        case CAUSE_READ_FAILED:
            problem = "reading the archive failed";
            break;
        default:  // the output refused the bytes
            problem = "writing the decoded data failed";
            break;
    }
    if (result.system_error != 0) problem += ": " + SystemErrorText(result.system_error);
    return problem;
}

bool FindEntry(const qv_archive& archive, const std::string& name, size_t* index) {
    // Compared as stored names are kept: '/' between the parts, none at the end.
    std::string wanted = name;
    for (char& c : wanted)
        if (c == '\\') c = '/';
    while (!wanted.empty() && wanted.back() == '/') wanted.pop_back();
    for (size_t i = 0; i < archive.entries.size(); i++) {
        const ArchiveEntry& e = archive.entries[i];
        if (!e.utf8) continue;
        size_t length = strlen(e.utf8) - (IsFolderRecord(e.record) ? 1 : 0);
        if (length == wanted.size() && wanted.compare(0, length, e.utf8, length) == 0) {
            *index = i;
            return true;
        }
    }
    return false;
}

Status RecordDecoding(qv_archive* archive, size_t index, Status result, uint32_t widened_steps,
                          std::string* why) {
    if (result.ok()) {
        NoteDecoded(&archive->entries[index], widened_steps);
        return STATUS_OK;
    }
    *why = DecodingProblem(result);
    return result;
}

Status DecodeArchiveEntry(qv_archive* archive, size_t index, DecodedOutput output,
                          void* output_context, ProgressReport* progress, std::string* why) {
    // Stage 1 on a core of its own when there is a second one.
    DecodeWay way = {UsableCores() > 1, NULL};
    uint32_t widened = 0;
    Status result =
        DecodeEntryBytes(archive, index, way, output, output_context, progress, &widened);
    return RecordDecoding(archive, index, result, widened, why);
}
