#include "lib/compress_file.h"

namespace {

struct FilePair {
    FileHandle in;
    int64_t in_start;
    FileHandle out;
    int64_t out_start;
    uint32_t out_failure;  // the system's reason when `out` refused
};

bool SeekTo(FileHandle file, int64_t position) {
    return SetFilePointer64(file, position, FILE_BEGIN) == position;
}

bool ReadExactly(FileHandle file, uint8_t* buffer, uint32_t size) {
    while (size > 0) {
        uint32_t got = 0;
        if (!ReadBytes(file, buffer, size, &got) || got == 0) return false;
        buffer += got;
        size -= got;
    }
    return true;
}

// Keeps the system's reason of a failed call on the output.
bool OnOutput(FilePair* files, bool done) {
    if (!done) files->out_failure = LastFileError();
    return done;
}

bool RewindInput(void* context) {
    FilePair* files = (FilePair*)context;
    return SeekTo(files->in, files->in_start);
}

bool ReadInput(void* context, uint8_t* buffer, uint32_t size) {
    return ReadExactly(((FilePair*)context)->in, buffer, size);
}

bool SeekOutput(void* context, uint64_t at) {
    FilePair* files = (FilePair*)context;
    return OnOutput(files, SeekTo(files->out, files->out_start + (int64_t)at));
}

bool CutOutput(void* context) {
    FilePair* files = (FilePair*)context;
    return OnOutput(files, TruncateHere(files->out));
}

bool ReadOutput(void* context, uint8_t* buffer, uint32_t size) {
    FilePair* files = (FilePair*)context;
    uint32_t got = 0;
    return OnOutput(files, ReadBytes(files->out, buffer, size, &got) && got == size);
}

bool WriteOutput(void* context, const uint8_t* data, uint32_t size) {
    FilePair* files = (FilePair*)context;
    return OnOutput(files, WriteBytes(files->out, data, size));
}

}  // namespace

CompressResult CompressFile(FileHandle in, uint32_t original_size, FileHandle out,
                            const CompressOptions& options) {
    FilePair files = {in, SetFilePointer64(in, 0, FILE_CURRENT), out,
                      SetFilePointer64(out, 0, FILE_CURRENT), 0};
    if (files.in_start < 0 || files.out_start < 0) {
        CompressResult failed = {files.in_start < 0 ? CAUSE_READ_FAILED : CAUSE_WRITE_FAILED,
                                 options.prefer_odd_rescale,
                                 0,
                                 0,
                                 "cannot position the files",
                                 0};
        return failed;
    }
    CompressStreams streams = {&files,    RewindInput, ReadInput,  SeekOutput,
                               CutOutput, ReadOutput,  WriteOutput};
    CompressResult result = compress_streams(original_size, streams, options);
    if (result.cause != CAUSE_OK) result.system_error = files.out_failure;
    return result;
}
