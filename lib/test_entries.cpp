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

int TestArchive(qv_archive* archive, const qv_test_options* given, qv_write_fn write,
                void* write_context, qv_error* error) {
    qv_test_options options;
    if (!TakeOptions(given, &options))
        return SetError(error, QV_E_INVALID, "the options' struct_size is not set");
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
            std::string why;
            int code = write ? pool.Decode(index, ToWriteCallback, &callback, &progress, &why)
                             : pool.Decode(index, Discard, nullptr, &progress, &why);
            if (code == QV_E_CANCELLED || !progress.End()) break;
            qv_entry entry;
            DescribeEntry(*archive, index, &entry);
            if (code != QV_OK) {
                failures++;
                if (options.report) {
                    std::string message = EntryNameForMessages(*archive, index) + ": " + why;
                    options.report(options.context, &entry, code, message.c_str());
                }
            } else if (options.tested) {
                options.tested(options.context, &entry);
            }
        }
    }
    if (progress.Cancelled()) return SetError(error, QV_E_CANCELLED, "cancelled");
    if (failures) {
        return SetError(error, QV_E_ENTRIES_FAILED,
                        std::to_string(failures) + " of " + std::to_string(chosen.size()) +
                            (chosen.size() == 1 ? " entry" : " entries") + " failed");
    }
    return QV_OK;
}
