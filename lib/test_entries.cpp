// qv_test and qv_decode_selected: the chosen entries decoded side by side,
// their results handed to the caller in archive order.
#include <string>
#include <vector>

#include "lib/archive.h"
#include "lib/decode_pool.h"
#include "lib/text.h"

namespace {

struct WriteCallback {
    qv_write_fn write;
    void* context;
};

Status ToWriteCallback(void* context, const uint8_t* data, uint32_t size) {
    WriteCallback* callback = (WriteCallback*)context;
    // The callback's own failed call left its reason behind.
    ClearFileError();
    if (callback->write(callback->context, data, size) == 0) return STATUS_OK;
    return Failed(CAUSE_WRITE_FAILED, LastFileError());
}

Status Discard(void*, const uint8_t*, uint32_t) { return STATUS_OK; }

}  // namespace

Status TestArchive(qv_archive* archive, const qv_test_options* given, qv_write_fn write,
                   void* write_context, std::string* why) {
    qv_test_options options;
    if (!TakeOptions(given, &options)) {
        *why = "the options' struct_size is not set";
        return Failed(CAUSE_INVALID);
    }
    std::vector<size_t> chosen;
    uint64_t total = 0;
    for (size_t i = 0; i < archive->entries.size(); i++) {
        const EntryFields& record = archive->entries[i].record;
        if (write && IsFolderRecord(record)) continue;
        qv_entry entry;
        DescribeEntry(*archive, i, &entry);
        if (options.select && !options.select(options.context, &entry)) continue;
        chosen.push_back(i);
        total += record.originalSize;
    }

    ProgressReport progress(options.progress, options.context, total);
    WriteCallback callback = {write, write_context};
    size_t failures = 0;
    {
        DecodePool pool(archive, chosen, options.threads);
        for (size_t index : chosen) {
            const EntryFields& record = archive->entries[index].record;
            if (!progress.Begin(index, record.originalSize,
                                ListedName(RecordName(record), IsFolderRecord(record))))
                break;
            std::string problem;
            Status status =
                write ? pool.Decode(index, ToWriteCallback, &callback, &progress, &problem)
                      : pool.Decode(index, Discard, nullptr, &progress, &problem);
            if (status.cause == CAUSE_CANCELLED || !progress.End()) break;
            qv_entry entry;
            DescribeEntry(*archive, index, &entry);
            if (!status.ok()) {
                failures++;
                if (options.report) {
                    std::string message = EntryNameForMessages(*archive, index) + ": " + problem;
                    options.report(options.context, &entry, StatusCode(status.cause),
                                   message.c_str());
                }
            } else if (options.tested) {
                options.tested(options.context, &entry);
            }
        }
    }
    if (progress.Cancelled()) {
        *why = "cancelled";
        return Failed(CAUSE_CANCELLED);
    }
    if (failures) {
        *why = std::to_string(failures) + " of " + std::to_string(chosen.size()) +
               (chosen.size() == 1 ? " entry" : " entries") + " failed";
        return Failed(CAUSE_ENTRIES_FAILED);
    }
    return STATUS_OK;
}
