// Reading one entry at the caller's pace: the pull decoder, one run-length
// block at a time, over a reader of the stored bytes that keeps its own
// position in the archive.
#include <string.h>

#include "lib/archive.h"

struct qv_reader {
    qv_archive* archive;
    size_t index;
    PlacedBytesReader stored;
    PullDecoder* decoder;    // NULL for a folder or an empty file
    const uint8_t* pending;  // decoded bytes not yet read
    uint32_t pending_size;
    bool ended;  // the entry is complete and sound
    // The failure that every later read repeats, with its line.
    Status failure;
    std::string message;
};

namespace {

// Fails the reader for good, with the entry's name in the message.
Status Fail(qv_reader* reader, Status result, std::string* why) {
    reader->failure = result;
    reader->message =
        EntryNameForMessages(*reader->archive, reader->index) + ": " + DecodingProblem(result);
    *why = reader->message;
    return reader->failure;
}

// Decodes the next bytes once the pending ones are read; at the end, notes
// what decoding told of the entry.
Status Refill(qv_reader* reader, std::string* why) {
    if (reader->pending_size > 0 || reader->ended) return STATUS_OK;
    Status result = PullDecoded(reader->decoder, &reader->pending, &reader->pending_size);
    if (!result.ok()) return Fail(reader, result, why);
    if (reader->pending_size == 0) {
        reader->ended = true;
        NoteDecoded(&reader->archive->entries[reader->index], PulledWidenedSteps(reader->decoder));
    }
    return STATUS_OK;
}

}  // namespace

Status ReaderOpen(qv_archive* archive, size_t index, qv_reader** made, std::string* why) {
    ArchiveEntry& e = archive->entries[index];
    qv_reader* reader = new qv_reader();
    reader->archive = archive;
    reader->index = index;
    reader->stored = PlacedBytesReader{archive, e.stored_at, e.record.storedSize};
    reader->failure = STATUS_OK;
    if (IsFolderRecord(e.record) || e.record.originalSize == 0) {
        reader->ended = true;
        NoteDecoded(&e, 0);  // no stream at all
        *made = reader;
        return STATUS_OK;
    }
    StoredEntry stored =
        StoredEntryOf(e.record.storedSize, e.record.originalSize, e.record.attributeWord);
    Status result;
    reader->decoder = StartPullDecoder(stored, ReadPlacedBytes, &reader->stored, &result);
    if (!reader->decoder) {
        Status status = Fail(reader, result, why);
        delete reader;
        return status;
    }
    *made = reader;
    return STATUS_OK;
}

Status ReaderRead(qv_reader* reader, void* buffer, size_t size, size_t* got, std::string* why) {
    *got = 0;
    if (!reader->failure.ok()) {
        *why = reader->message;
        return reader->failure;
    }
    // Decoding runs one block ahead of what is read: the read that takes an
    // entry's last bytes already knows whether the entry is sound, and fails
    // when it is not.
    for (;;) {
        Status status = Refill(reader, why);
        if (!status.ok()) {
            *got = 0;
            return status;
        }
        if (*got == size || reader->pending_size == 0) return STATUS_OK;
        size_t n = size - *got < reader->pending_size ? size - *got : reader->pending_size;
        memcpy((uint8_t*)buffer + *got, reader->pending, n);
        *got += n;
        reader->pending += n;
        reader->pending_size -= (uint32_t)n;
    }
}

void ReaderClose(qv_reader* reader) {
    if (!reader) return;
    StopPullDecoder(reader->decoder);
    delete reader;
}
