// The decode chain of one compressed entry through two work files: the stored
// bytes copied into the first, stage 1 into the second, stage 2 back into the
// first, stage 3 into the second, and stage 4 from there into the target.
// Portable: the extractor stub and the tools run the same steps.
#pragma once

#include <stdint.h>

#include "platform/platform.h"
#include "platform/status.h"

// What the chain needs to know of an entry record.
struct StoredEntry {
    uint32_t storedSize;
    uint32_t originalSize;
    bool odd_rescale;
};

// The chain's view of an entry record's sizes and attribute word.
StoredEntry StoredEntryOf(uint32_t storedSize, uint32_t originalSize, uint16_t attributeWord);

// The longest stage-1 output that a sound entry of `originalSize` bytes can
// have. Stages 2 and 3 keep the length of their input less the block headers,
// and stage 4 expands at least four bytes of every five it reads, so an
// intermediate stream that grows past this bound belongs to a damaged entry
// (or a decompression bomb) and is given up at once.
uint64_t Stage1OutputBound(uint32_t originalSize);

// The stage-1 output after which the later stages have decided an entry of
// `originalSize` bytes: by then stage 4 has ended on its last, short block,
// or stage 3 on its own, or no sound stream of that size exists. A stream
// may carry data behind its last block, which the stages ignore, so stage 1
// may go past Stage1OutputBound: it stops storing here, and once the later
// stages have decided the entry as sound, only decodes on to its end,
// keeping nothing. Past Stage1OutputBound by room for one block of stage 3
// that holds the end of stage 4's stream and, when the entry ends on a full
// run-length block, for the largest block behind it that stage 4 could take.
uint64_t Stage1WorkBound(uint32_t originalSize);

// Size of the copy buffer: stored bytes move into the first work file in
// pieces of at most this many bytes.
const uint32_t COPY_BUF_SIZE = 0x100000;

// Copies `storedSize` bytes from `archive` (at its current position) to
// `first` through `buffer` (COPY_BUF_SIZE bytes): full pieces while more than
// one piece remains, then one last piece of the rest, also when that is 0.
// Every write asks for the count that its read asked for. Leaves the archive
// right behind the stored bytes, also when a read failed.
Status CopyStoredBytes(FileHandle archive, FileHandle first, uint32_t storedSize, uint8_t* buffer);

// CopyStoredBytes with a copy buffer of its own from the process heap.
Status CopyIntoWorkFile(FileHandle archive, FileHandle first, uint32_t storedSize);

// Reads an entry's stored bytes from an open archive, never past their end:
// a Stage1Refill over a StoredBytesReader.
struct StoredBytesReader {
    FileHandle archive;
    uint32_t left;
};
Status ReadStoredBytes(void* reader, uint8_t* buffer, uint32_t room, uint32_t* got);

// Where an entry's stored bytes can be read once more: stage 2 writes over
// the copy in the first work file.
struct StoredBytesAt {
    FileHandle file;
    int64_t at;
};

// Stages 1 to 3 between the open work files, then the check that the
// run-length blocks in `second` expand to exactly `originalSize` bytes (the
// format carries no checksum). CAUSE_OK when `second` holds the input of
// stage 4; CAUSE_DAMAGED when the stored bytes do not decode to the entry;
// otherwise the cause of a failure. When stage 1 passes the work bound and
// the later stages find the entry sound so far, stage 1 decodes the stream
// from `stored` once more, to its end, keeping nothing.
Status DecodeWorkFiles(FileHandle first, FileHandle second, const StoredEntry& entry,
                       MessagePump pump, StoredBytesAt stored);

// Stage 1 over a whole stream again, keeping nothing: its values go through
// stage 2 into a walk over stage 3's block headers, which must stay sound up
// to the stream's last block. Block contents no longer matter there, the
// structure does. CAUSE_OK when the stream decodes to its end so.
Status FollowWholeStream(StoredBytesAt stored, const StoredEntry& entry, MessagePump pump);

// Stage 4: expands the run-length blocks of `second` into `target` (rewound
// and truncated first).
Status ExpandWorkFile(FileHandle second, FileHandle target, MessagePump pump);
