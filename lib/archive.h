// The library's own layer under the C API: an archive opened and indexed,
// decoding one entry, extraction and writing.
//
// Every operation of this layer that can fail answers a Status (a value it
// makes goes through an out-parameter) and, when it can word the failure for
// the user, writes one line into its last parameter `why`, only on failure.
// The C API's entry points (api*.cpp) turn that into a qv_status once, with
// Answer or SetError. Questions (IsFolderRecord, FindEntry, DecodedWhole,
// whether a name converts) answer a bool: they lose no cause.
#pragma once

#include <stdint.h>
#include <string.h>

#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include <quorvane.h>

#include "decoder/memory_decoder.h"
#include "payload/byte_source.h"
#include "payload/records.h"
#include "platform/status.h"

// Names of an opened archive, in blocks that never move, so that the strings
// of a qv_entry can point into them for as long as the archive is open.
class NameStore {
public:
    // A copy of `length` bytes with a NUL behind them.
    const char* Add(const char* text, size_t length);

private:
    std::vector<std::unique_ptr<char[]>> blocks_;
    size_t used_ = 0, room_ = 0;
};

// An entry's record as kept in memory for every entry: the fields without the
// record's fixed room for a name, which lives in a NameStore instead, so that
// an index stays a small multiple of the archive's size.
struct EntryFields {
    const char* name;  // nameLength bytes and a NUL
    uint64_t creationTime;
    uint64_t lastAccessTime;
    uint64_t lastWriteTime;
    uint32_t originalSize;
    uint32_t storedSize;
    uint16_t attributeWord;
    uint8_t nameLength;
};

struct ArchiveEntry {
    EntryFields record;
    const char* utf8;        // '/'-separated, a folder's with '/' at its end; NULL
                             // when the name does not convert
    uint64_t stored_at;      // where its stored bytes begin
    uint32_t narrow_steps;   // steps that needed the narrow-interval rule
    int8_t narrow_interval;  // -1 until the entry has been decoded
};

struct qv_archive {
    FileHandle file = NO_FILE;  // owned; NO_FILE for an archive in memory or from callbacks
    ByteSource source;
    // An archive read through the user's functions: them, where their
    // position is (UINT64_MAX when unknown), and the last failure of one,
    // with its answer when that was a system's number.
    qv_io_callbacks io = {};
    SourceCalls calls = {};
    uint64_t io_position = UINT64_MAX;
    Status io_failure = STATUS_OK;
    std::string label;  // how messages name the archive
    uint32_t start = 0;
    NameStore names;
    // In blocks, so that growing it never holds two copies at once.
    std::deque<ArchiveEntry> entries;
    uint64_t total_original = 0;
    // Held for each read of `file` or `io`, which moves its position: entries
    // decode on several threads at once.
    std::mutex reading;
    ~qv_archive() { CloseFile(file); }
};

// Fills `error` (when given) and answers `code`; `system_error` is the
// system's number behind the failure, 0 when there is none.
int SetError(qv_error* error, int code, const std::string& message, int system_error = 0);

// The qv_status code of a cause.
int StatusCode(Cause cause);

// Fills `error` (when given) from a failure below the API and answers its code.
int SetError(qv_error* error, Status status, const std::string& message);

// What an entry point answers for the status of its work: QV_OK, leaving
// `error` alone, or the failure with the line `why`.
int Answer(qv_error* error, Status status, const std::string& why);

// The caller's struct of options in `taken`: the fields past its struct_size
// keep their defaults (zero), and NULL gives the defaults. False when its
// struct_size was not set.
template <typename Options>
bool TakeOptions(const Options* given, Options* taken) {
    memset(taken, 0, sizeof *taken);
    if (given && given->struct_size == 0) return false;
    if (given)
        memcpy(taken, given,
               given->struct_size < sizeof *taken ? given->struct_size : sizeof *taken);
    taken->struct_size = sizeof *taken;
    return true;
}

// Runs `work`, turning a failed allocation into QV_E_NO_MEMORY: no C++
// exception crosses into C.
template <typename Work>
int Guarded(qv_error* error, Work work) {
    try {
        return work();
    } catch (const std::bad_alloc&) {
        return SetError(error, QV_E_NO_MEMORY, "out of memory");
    }
}

// The name as UTF-8 with '/' between its parts, a folder's with '/' at its
// end; false when a part does not convert.
bool EntryNameToUtf8(const std::string& cp932_name, std::string* utf8);

bool IsFolderRecord(const EntryRecord& record);
bool IsFolderRecord(const EntryFields& record);
std::string RecordName(const EntryRecord& record);
std::string RecordName(const EntryFields& record);

// Validates the archive whose source is set, and indexes its entries:
// REFUSED for a broken or unsafe archive, READ_FAILED when reading it failed.
Status IndexArchive(qv_archive* archive, std::string* why);

// The entry of a record, its names copied into `names`.
ArchiveEntry EntryOfRecord(const EntryRecord& record, uint64_t stored_at, NameStore* names);
// Fills `entry` from entry `index`; its strings point into the archive.
void DescribeEntry(const qv_archive& archive, size_t index, qv_entry* entry);
void DescribeArchiveEntry(const ArchiveEntry& archive_entry, size_t index, qv_entry* entry);

// Progress of one operation over some bytes, with the caller's callback,
// which may cancel.
class ProgressReport {
public:
    ProgressReport(qv_progress_fn function, void* context, uint64_t total);
    // False once the callback has asked to stop.
    bool Begin(size_t entry, uint64_t size, const std::string& name);
    bool Advance(uint64_t bytes);
    bool End();
    bool Cancelled() const { return cancelled_; }

private:
    bool Call();
    qv_progress_fn function_;
    void* context_;
    qv_progress state_;
    std::string name_;
    bool cancelled_ = false;
};

// Decodes entry `index` into `output` (nothing for a folder or an empty file).
// Records in the index whether the entry needed the narrow-interval rule.
Status DecodeArchiveEntry(qv_archive* archive, size_t index, DecodedOutput output,
                          void* output_context, ProgressReport* progress, std::string* why);

// What only decoding tells: whether the reader had to widen a step.
void NoteDecoded(ArchiveEntry* entry, uint32_t widened_steps);

// What a decoding that did not succeed comes to, in words, with the
// system's reason of a failed read or write.
std::string DecodingProblem(Status result);

// A Stage1Refill that reads an entry's stored bytes through the archive's
// source (a file or the user's functions) at their own place, under the
// archive's lock: other reads of the archive, on other threads or between
// two refills, cannot disturb it.
struct PlacedBytesReader {
    const qv_archive* archive;
    uint64_t at;
    uint32_t left;
};
Status ReadPlacedBytes(void* reader, uint8_t* buffer, uint32_t room, uint32_t* got);

// The entry named `name` (UTF-8, '/' or '\\' between its parts).
bool FindEntry(const qv_archive& archive, const std::string& name, size_t* index);

// Reads entry `index` through the pull decoder (reader.cpp).
Status ReaderOpen(qv_archive* archive, size_t index, qv_reader** reader, std::string* why);
Status ReaderRead(qv_reader* reader, void* buffer, size_t size, size_t* got, std::string* why);
void ReaderClose(qv_reader* reader);

// How one entry is decoded: stage 1 on a thread of its own when
// `two_threads` (and the entry is large enough), or on the caller's thread
// with `buffers`, kept between entries, when they are given.
struct DecodeWay {
    bool two_threads;
    DecoderBuffers* buffers;
};

// A file entry that one thread decodes whole, faster than a second thread
// would start: decoders of several entries at once hand these out.
bool DecodedWhole(const EntryFields& record);

// Hands decoded bytes to `output`, then counts them for `progress` (when
// given): the output's own failure, with the system's number, or CANCELLED
// when the progress callback asks to stop.
Status DeliverDecoded(DecodedOutput output, void* context, ProgressReport* progress,
                      const uint8_t* data, uint32_t size);

// DecodeArchiveEntry's work without touching the index, so that several
// threads may decode entries of one archive at once: the decoder's result
// (the output's failure as the output gave it) and, when given, *widened_steps.
Status DecodeEntryBytes(const qv_archive* archive, size_t index, DecodeWay way,
                        DecodedOutput output, void* output_context, ProgressReport* progress,
                        uint32_t* widened_steps);

// The status and *why of a decoder's result for entry `index`, whose
// narrow-interval use it records when the entry decoded.
Status RecordDecoding(qv_archive* archive, size_t index, Status result, uint32_t widened_steps,
                          std::string* why);

// The threads that decode when `asked` (0: one per core).
unsigned DecodingThreads(unsigned asked);

// How a decoding failure names its entry in front of the reason.
std::string EntryNameForMessages(const qv_archive& archive, size_t index);

// qv_extract's work (extract.cpp): ENTRIES_FAILED when it went on past
// entries that failed, each reported.
Status ExtractArchive(qv_archive* archive, const char* destination,
                      const qv_extract_options* options, std::string* why);

// qv_test's work (test_entries.cpp); with `write`, qv_decode_selected's.
Status TestArchive(qv_archive* archive, const qv_test_options* options, qv_write_fn write,
                   void* write_context, std::string* why);

// The writer (create.cpp): qv_writer_open, _add_path, _add_memory and
// _add_folder (`folder`), _finish and _free.
int WriterOpen(const char* output, const qv_create_options* options, qv_writer** writer,
               qv_error* error);
// qv_writer_add_path, and _add_path_as with `archive_name`.
int WriterAddPath(qv_writer* writer, const char* path, const char* archive_name, qv_error* error);
int WriterOpenFd(int fd, const qv_create_options* options, qv_writer** writer, qv_error* error);
int WriterOpenCallbacks(const qv_output_callbacks* output, const qv_create_options* options,
                        qv_writer** writer, qv_error* error);
int WriterAddMemory(qv_writer* writer, const char* name, const void* data, size_t size,
                    uint64_t filetime, uint16_t attributes, bool folder, qv_error* error);
int WriterFinish(qv_writer* writer, qv_error* error);
void WriterFree(qv_writer* writer);
