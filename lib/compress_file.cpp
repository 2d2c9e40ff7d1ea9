#include "lib/compress_file.h"

namespace {

struct FilePair {
    FileHandle in;
    int64_t in_start;
    FileHandle out;
    int64_t out_start;
};

// A failed seek has no system number to give: the positions asked for are
// always valid ones.
Status SeekTo(FileHandle file, int64_t position, Cause failure) {
    return SetFilePointer64(file, position, FILE_BEGIN) == position ? STATUS_OK : Failed(failure);
}

// Exactly `size` bytes; an input that ends before cannot be read as stated.
Status ReadExactly(FileHandle file, uint8_t* buffer, uint32_t size) {
    while (size > 0) {
        uint32_t got = 0;
        Status read = ReadBytes(file, buffer, size, &got);
        if (!read.ok()) return read;
        if (got == 0) return Failed(CAUSE_READ_FAILED);
        buffer += got;
        size -= got;
    }
    return STATUS_OK;
}

Status RewindInput(void* context) {
    FilePair* files = (FilePair*)context;
    return SeekTo(files->in, files->in_start, CAUSE_READ_FAILED);
}

Status ReadInput(void* context, uint8_t* buffer, uint32_t size) {
    return ReadExactly(((FilePair*)context)->in, buffer, size);
}

Status SeekOutput(void* context, uint64_t at) {
    FilePair* files = (FilePair*)context;
    return SeekTo(files->out, files->out_start + (int64_t)at, CAUSE_WRITE_FAILED);
}

Status CutOutput(void* context) { return TruncateHere(((FilePair*)context)->out); }

// Reading the output back is part of writing it: a failure is the output's.
Status ReadOutput(void* context, uint8_t* buffer, uint32_t size) {
    FilePair* files = (FilePair*)context;
    uint32_t got = 0;
    Status read = ReadBytes(files->out, buffer, size, &got);
    if (!read.ok()) return Failed(CAUSE_WRITE_FAILED, read.system_error);
    return got == size ? STATUS_OK : Failed(CAUSE_WRITE_FAILED);
}

Status WriteOutput(void* context, const uint8_t* data, uint32_t size) {
    return WriteBytes(((FilePair*)context)->out, data, size);
}

}  // namespace

CompressResult CompressFile(FileHandle in, uint32_t original_size, FileHandle out,
                            const CompressOptions& options) {
    FilePair files = {in, SetFilePointer64(in, 0, FILE_CURRENT), out,
                      SetFilePointer64(out, 0, FILE_CURRENT)};
    if (files.in_start < 0 || files.out_start < 0) {
        CompressResult failed = {
            Failed(files.in_start < 0 ? CAUSE_READ_FAILED : CAUSE_WRITE_FAILED),
            options.prefer_odd_rescale, 0, 0, "cannot position the files"};
        return failed;
    }
    CompressStreams streams = {&files,    RewindInput, ReadInput,  SeekOutput,
                               CutOutput, ReadOutput,  WriteOutput};
    return compress_streams(original_size, streams, options);
}
