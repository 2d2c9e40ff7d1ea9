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
    // The failure that every later read repeats.
    int failure;
    std::string message;
    int system_error;
};

namespace {

// Fails the reader for good, with the entry's name in the message.
int Fail(qv_reader* reader, Status result, qv_error* error) {
    std::string why;
    reader->failure = DecodeFailure(result, &why);
    reader->message = EntryNameForMessages(*reader->archive, reader->index) + ": " + why;
    reader->system_error = reader->failure == QV_E_READ ? (int)result.system_error : 0;
    return SetError(error, reader->failure, reader->message, reader->system_error);
}

// Decodes the next bytes once the pending ones are read; at the end, notes
// what decoding told of the entry.
int Refill(qv_reader* reader, qv_error* error) {
    if (reader->pending_size > 0 || reader->ended) return QV_OK;
    Status result = PullDecoded(reader->decoder, &reader->pending, &reader->pending_size);
    if (!result.ok()) return Fail(reader, result, error);
    if (reader->pending_size == 0) {
        reader->ended = true;
        NoteDecoded(&reader->archive->entries[reader->index], PulledWidenedSteps(reader->decoder));
    }
    return QV_OK;
}

}  // namespace

int ReaderOpen(qv_archive* archive, size_t index, qv_reader** made, qv_error* error) {
    ArchiveEntry& e = archive->entries[index];
    qv_reader* reader = new qv_reader();
    reader->archive = archive;
    reader->index = index;
    reader->stored = PlacedBytesReader{archive, e.stored_at, e.record.storedSize};
    if (IsFolderRecord(e.record) || e.record.originalSize == 0) {
        reader->ended = true;
        NoteDecoded(&e, 0);  // no stream at all
        *made = reader;
        return QV_OK;
    }
    StoredEntry stored =
        StoredEntryOf(e.record.storedSize, e.record.originalSize, e.record.attributeWord);
    Status result;
    reader->decoder = StartPullDecoder(stored, ReadPlacedBytes, &reader->stored, &result);
    if (!reader->decoder) {
        int code = Fail(reader, result, error);
        delete reader;
        return code;
    }
    *made = reader;
    return QV_OK;
}

int ReaderRead(qv_reader* reader, void* buffer, size_t size, size_t* got, qv_error* error) {
    *got = 0;
    if (reader->failure != QV_OK)
        return SetError(error, reader->failure, reader->message, reader->system_error);
    // Decoding runs one block ahead of what is read: the read that takes an
    // entry's last bytes already knows whether the entry is sound, and fails
    // when it is not.
    for (;;) {
        int code = Refill(reader, error);
        if (code != QV_OK) {
            *got = 0;
            return code;
        }
        if (*got == size || reader->pending_size == 0) return QV_OK;
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
