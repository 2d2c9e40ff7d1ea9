// The whole writer: run-length coding, block sorting, move-to-front and range
// coding, streamed block by block so that memory stays bounded whatever the
// size of the input.
//
// The range coder can reach a state the reader cannot get through: an interval
// narrower than the total of the table the next symbol needs. The stream is
// then given up and the same bytes are written another way. Two choices leave
// the decoded bytes unchanged: a run of five or more equal bytes may be cut
// after four with a count of 0, and either rescale rule may be used. Cutting a
// run changes everything from its block-sorted block onwards and nothing
// before it, so the writer first cuts the last run it can find at or before the
// failing block, and turns to the other rule only when no such run is left.
#include "codec/compress.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "codec/012coding_writer.h"
#include "codec/BlockSorting_writer.h"
#include "codec/MoveToFront_writer.h"
#include "codec/RunLength_writer.h"

// Passes over the input before the writer gives up. Each failing pass costs a
// whole re-encode, and a failure is rare (about one in tens of millions of
// values), so a handful is plenty.
static const int MAX_PASSES_PER_RULE = 8;

static const uint32_t NO_RUN = 0xFFFFFFFFu;

// Where the input comes from: a file read from a fixed start, or memory.
struct Source {
    FileHandle file;
    int64_t file_start;
    const uint8_t* memory;
    uint32_t size;
};

// Where the stored bytes go. A pass that is given up is overwritten by the
// next; `furthest` remembers how far any pass wrote, so that a shorter final
// stream does not leave bytes of an earlier pass behind it.
struct Sink {
    FileHandle file;
    int64_t file_start;
    std::vector<uint8_t>* memory;
    uint64_t written;
    uint64_t furthest;
};

static bool sink_write(void* context, const uint8_t* data, uint32_t size) {
    Sink* sink = (Sink*)context;
    if (sink->memory) {
        sink->memory->insert(sink->memory->end(), data, data + size);
    } else if (!WriteBytes(sink->file, data, size)) {
        return false;
    }
    sink->written += size;
    if (sink->written > sink->furthest) sink->furthest = sink->written;
    return true;
}

static bool sink_rewind(Sink* sink) {
    sink->written = 0;
    if (sink->memory) {
        sink->memory->clear();
        return true;
    }
    return SetFilePointer64(sink->file, sink->file_start, FILE_BEGIN) == sink->file_start;
}

// Buffers of one compression, allocated once and reused by every pass.
struct Buffers {
    uint8_t* input;          // RLE_BUF_SIZE bytes read from a file
    uint8_t* rle;            // one run-length block, header included
    RleSplittableRun* runs;  // the cuttable runs of that block
    uint32_t* block_splits;  // the cuts that fall into that block
    uint8_t* block;          // the run-length stream of one block-sorted block
    uint8_t* stored;         // one block-sorted block, then its move-to-front code
    BlockSortWork work;
    RangeEncoder* rc;
};

static void free_buffers(Buffers* b) {
    free(b->input);
    free(b->rle);
    free(b->runs);
    free(b->block_splits);
    free(b->block);
    free(b->stored);
    blocksort_work_free(&b->work);
    delete b->rc;
}

static bool alloc_buffers(Buffers* b) {
    memset(b, 0, sizeof(*b));
    b->input = (uint8_t*)malloc(RLE_BUF_SIZE);
    b->rle = (uint8_t*)malloc(RLE_HEADER_SIZE + RLE_CODED_MAX);
    b->runs = (RleSplittableRun*)malloc(sizeof(RleSplittableRun) * RLE_RUNS_MAX);
    b->block_splits = (uint32_t*)malloc(sizeof(uint32_t) * RLE_RUNS_MAX);
    b->block = (uint8_t*)malloc(BS_BUF_SIZE);
    b->stored = (uint8_t*)malloc(BS_HEADER_SIZE + BS_BUF_SIZE);
    b->rc = new (std::nothrow) RangeEncoder;
    bool sorted = blocksort_work_init(&b->work);
    if (b->input && b->rle && b->runs && b->block_splits && b->block && b->stored && b->rc &&
        sorted)
        return true;
    free_buffers(b);
    return false;
}

enum PassResult { PASS_DONE, PASS_NARROW_INTERVAL, PASS_FAILED };

// State of one pass over the input.
struct Pass {
    Buffers* buf;
    Sink* sink;
    MtfEncoder mtf;
    uint32_t block_fill;   // run-length bytes waiting in buf->block
    uint64_t rle_written;  // run-length stream bytes produced so far
    // For each block-sorted block: the input offset of the last run whose
    // count byte lies in it and that could still be cut, or NO_RUN.
    std::vector<uint32_t> last_run_in_block;
    uint64_t failed_value;  // index of the value the range coder could not code
    const char* error;
};

// Sorts, move-to-front codes and range codes the waiting run-length bytes.
static PassResult emit_block(Pass* pass) {
    Buffers* b = pass->buf;
    uint32_t size = pass->block_fill;
    if (blocksort_encode2(b->block, size, b->stored, &b->work) < 0) {
        pass->error = "block sorting failed";
        return PASS_FAILED;
    }
    uint32_t stored_size = BS_HEADER_SIZE + size;
    mtf_encode_stream(&pass->mtf, b->stored, b->stored, stored_size);
    uint32_t coded = 0;
    uint64_t values_before = b->rc->values;
    RcEncodeResult result = rc_encode_bytes(b->rc, b->stored, stored_size, &coded);
    pass->block_fill = 0;
    if (result == RC_NARROW_INTERVAL) {
        pass->failed_value = values_before + coded;
        return PASS_NARROW_INTERVAL;
    }
    if (result != RC_ENCODED) {
        pass->error = "cannot write the stored bytes";
        return PASS_FAILED;
    }
    return PASS_DONE;
}

// Appends run-length bytes to the waiting block, emitting every full block.
static PassResult push_rle(Pass* pass, const uint8_t* data, uint32_t size) {
    Buffers* b = pass->buf;
    while (size > 0) {
        uint32_t room = BS_BUF_SIZE - pass->block_fill;
        uint32_t n = size < room ? size : room;
        memcpy(b->block + pass->block_fill, data, n);
        pass->block_fill += n;
        data += n;
        size -= n;
        if (pass->block_fill == BS_BUF_SIZE) {
            PassResult result = emit_block(pass);
            if (result != PASS_DONE) return result;
        }
    }
    return PASS_DONE;
}

static bool read_exactly(FileHandle file, uint8_t* buffer, uint32_t size) {
    while (size > 0) {
        uint32_t got = 0;
        if (!ReadBytes(file, buffer, size, &got) || got == 0) return false;
        buffer += got;
        size -= got;
    }
    return true;
}

// Codes the whole input once with rescale rule `fNewType` and the runs cut at
// `splits` (input offsets, ascending).
static PassResult run_pass(const Source* source, Sink* sink, Buffers* b, int fNewType,
                           const std::vector<uint32_t>& splits, Pass* pass) {
    pass->buf = b;
    pass->sink = sink;
    pass->block_fill = 0;
    pass->rle_written = 0;
    pass->last_run_in_block.clear();
    pass->failed_value = 0;
    pass->error = NULL;
    mtf_encode_start(&pass->mtf);

    if (!sink_rewind(sink)) {
        pass->error = "cannot position the output";
        return PASS_FAILED;
    }
    if (source->memory == NULL &&
        SetFilePointer64(source->file, source->file_start, FILE_BEGIN) != source->file_start) {
        pass->error = "cannot position the input";
        return PASS_FAILED;
    }
    if (!rc_encode_start(b->rc, fNewType, sink_write, sink)) {
        rc_encode_release(b->rc);
        pass->error = "out of memory";
        return PASS_FAILED;
    }

    PassResult result = PASS_DONE;
    size_t next_split = 0;
    for (uint32_t offset = 0; offset < source->size && result == PASS_DONE;) {
        uint32_t left = source->size - offset;
        uint32_t n = left < RLE_BUF_SIZE ? left : RLE_BUF_SIZE;
        const uint8_t* input;
        if (source->memory) {
            input = source->memory + offset;
        } else {
            if (!read_exactly(source->file, b->input, n)) {
                pass->error = "cannot read the input (it ended before its stated size)";
                result = PASS_FAILED;
                break;
            }
            input = b->input;
        }

        size_t split_count = 0;
        while (next_split < splits.size() && splits[next_split] < offset + n) {
            b->block_splits[split_count++] = splits[next_split++] - offset;
        }
        size_t run_count = 0;
        uint32_t coded = rle_encode2(input, b->rle + RLE_HEADER_SIZE, n, b->block_splits,
                                     split_count, b->runs, &run_count);
        rle_put_header(b->rle, coded);

        // Note the last cuttable run per block-sorted block (runs come in order).
        for (size_t i = 0; i < run_count; i++) {
            uint64_t at = pass->rle_written + RLE_HEADER_SIZE + b->runs[i].count_offset;
            size_t block = (size_t)(at / BS_BUF_SIZE);
            if (pass->last_run_in_block.size() <= block)
                pass->last_run_in_block.resize(block + 1, NO_RUN);
            pass->last_run_in_block[block] = offset + b->runs[i].input_offset;
        }
        pass->rle_written += RLE_HEADER_SIZE + coded;
        result = push_rle(pass, b->rle, RLE_HEADER_SIZE + coded);
        offset += n;
    }
    if (result == PASS_DONE && pass->block_fill > 0) result = emit_block(pass);
    if (result == PASS_DONE) {
        RcEncodeResult finished = rc_encode_finish(b->rc);
        if (finished == RC_NARROW_INTERVAL) {
            pass->failed_value = b->rc->values;
            result = PASS_NARROW_INTERVAL;
        } else if (finished != RC_ENCODED) {
            pass->error = "cannot write the stored bytes";
            result = PASS_FAILED;
        }
    }
    rc_encode_release(b->rc);
    return result;
}

// The input offset of the last cuttable run at or before the block-sorted
// block that holds value `failed_value`, or NO_RUN.
static uint32_t run_to_cut(const Pass& pass, uint64_t failed_value) {
    uint64_t block = failed_value / (BS_HEADER_SIZE + BS_BUF_SIZE);
    size_t known = pass.last_run_in_block.size();
    if (known == 0) return NO_RUN;
    size_t i = block < known ? (size_t)block : known - 1;
    for (;; i--) {
        if (pass.last_run_in_block[i] != NO_RUN) return pass.last_run_in_block[i];
        if (i == 0) return NO_RUN;
    }
}

static CompressResult compress_from(const Source* source, Sink* sink, bool prefer_odd_rescale) {
    CompressResult result = {false, prefer_odd_rescale, 0, NULL};
    Buffers buffers;
    if (!alloc_buffers(&buffers)) {
        result.error = "out of memory";
        return result;
    }
    Pass pass;
    bool done = false;
    for (int rule = 0; rule < 2 && !done && !result.error; rule++) {
        bool odd = rule == 0 ? prefer_odd_rescale : !prefer_odd_rescale;
        std::vector<uint32_t> splits;
        for (int attempt = 0; attempt < MAX_PASSES_PER_RULE; attempt++) {
            PassResult outcome = run_pass(source, sink, &buffers, odd ? 1 : 0, splits, &pass);
            if (outcome == PASS_DONE) {
                done = true;
                result.odd_rescale = odd;
                break;
            }
            if (outcome == PASS_FAILED) {
                result.error = pass.error;
                break;
            }
            uint32_t cut = run_to_cut(pass, pass.failed_value);
            if (cut == NO_RUN) break;
            splits.insert(std::upper_bound(splits.begin(), splits.end(), cut), cut);
        }
    }
    free_buffers(&buffers);
    if (!done) {
        if (!result.error)
            result.error =
                "no decodable form found: the range coder's interval became too narrow under "
                "both rescale rules";
        return result;
    }
    if (!sink->memory && sink->furthest > sink->written && !TruncateHere(sink->file)) {
        result.error = "cannot cut the output after a shorter retry";
        return result;
    }
    result.ok = true;
    result.stored_size = sink->written;
    return result;
}

CompressResult compress_entry(FileHandle in, uint32_t original_size, FileHandle out,
                              bool prefer_odd_rescale) {
    Source source = {in, SetFilePointer64(in, 0, FILE_CURRENT), NULL, original_size};
    Sink sink = {out, SetFilePointer64(out, 0, FILE_CURRENT), NULL, 0, 0};
    if (source.file_start < 0 || sink.file_start < 0) {
        CompressResult failed = {false, prefer_odd_rescale, 0, "cannot position the files"};
        return failed;
    }
    return compress_from(&source, &sink, prefer_odd_rescale);
}

CompressResult compress_buffer(const uint8_t* data, size_t size, bool prefer_odd_rescale,
                               std::vector<uint8_t>* stored) {
    if (size > 0xFFFFFFFFu) {
        CompressResult failed = {false, prefer_odd_rescale, 0, "input of 4 GiB or more"};
        return failed;
    }
    static const uint8_t nothing = 0;
    Source source = {NO_FILE, 0, data ? data : &nothing, (uint32_t)size};
    Sink sink = {NO_FILE, 0, stored, 0, 0};
    return compress_from(&source, &sink, prefer_odd_rescale);
}
