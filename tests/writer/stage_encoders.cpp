#include "tests/writer/stage_encoders.h"

#include "codec/BlockSorting_writer.h"
#include "codec/RunLength_writer.h"

namespace {

Status append_to_vector(void* context, const uint8_t* data, uint32_t size) {
    std::vector<uint8_t>* stream = (std::vector<uint8_t>*)context;
    stream->insert(stream->end(), data, data + size);
    return STATUS_OK;
}

}  // namespace

Status coding012_encode_buffer(const uint8_t* data, uint32_t size, int fNewType,
                               std::vector<uint8_t>* stream, uint32_t* widened_steps) {
    stream->clear();
    if (widened_steps) *widened_steps = 0;
    RangeEncoder* rc = new RangeEncoder;
    Status result = rc_encode_start(rc, fNewType, append_to_vector, stream);
    if (!result.ok()) {
        rc_encode_release(rc);
        delete rc;
        return result;
    }
    uint32_t coded = 0;
    result = rc_encode_bytes(rc, data, size, &coded);
    if (result.ok()) result = rc_encode_finish(rc);
    if (widened_steps) *widened_steps = rc->widened_steps;
    rc_encode_release(rc);
    delete rc;
    return result;
}

bool blocksort_encode_buffer(const uint8_t* data, size_t size, std::vector<uint8_t>* stream) {
    stream->clear();
    BlockSortWork work;
    if (!blocksort_work_init(&work).ok()) return false;
    bool ok = true;
    for (size_t offset = 0; offset < size && ok; offset += BS_BUF_SIZE) {
        uint32_t n = (uint32_t)(size - offset < BS_BUF_SIZE ? size - offset : BS_BUF_SIZE);
        size_t at = stream->size();
        stream->resize(at + BS_HEADER_SIZE + n);
        ok = blocksort_encode2(data + offset, n, stream->data() + at, &work) >= 0;
    }
    blocksort_work_free(&work);
    return ok;
}

void rle_encode_buffer(const uint8_t* data, size_t size, std::vector<uint8_t>* stream) {
    stream->clear();
    std::vector<uint8_t> block(RLE_HEADER_SIZE + RLE_CODED_MAX);
    for (size_t offset = 0; offset < size; offset += RLE_BUF_SIZE) {
        uint32_t n = (uint32_t)(size - offset < RLE_BUF_SIZE ? size - offset : RLE_BUF_SIZE);
        uint32_t coded = rle_encode2(data + offset, block.data() + RLE_HEADER_SIZE, n);
        rle_put_header(block.data(), coded);
        stream->insert(stream->end(), block.begin(), block.begin() + RLE_HEADER_SIZE + coded);
    }
}
