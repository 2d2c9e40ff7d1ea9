// Extraction below a destination held open: folders entered relative to the
// folder above, files written unnamed and named when complete.
#include <map>
#include <set>
#include <string>
#include <vector>

#include "lib/archive.h"
#include "lib/decode_pool.h"
#include "lib/files.h"
#include "lib/text.h"
#include "payload/names.h"
#include "payload/records.h"

namespace {

// The folders of the entry at hand, held open from the destination down, so
// that consecutive entries of one folder reuse what is open.
class FolderChain {
public:
    explicit FolderChain(const OpenFolder& destination) : open_{destination} {}
    ~FolderChain() {
        while (open_.size() > 1) Leave();
    }

    // Enters the folders `names` below the destination, making them as needed.
    Status Enter(const std::vector<std::string>& names, std::string* why) {
        size_t same = 0;
        while (same < names.size() && same < names_.size() && names[same] == names_[same]) same++;
        while (names_.size() > same) Leave();
        for (size_t i = same; i < names.size(); i++) {
            OpenFolder folder;
            Status entered = EnterFolder(open_.back(), names[i], &folder, why);
            if (!entered.ok()) return entered;
            open_.push_back(folder);
            names_.push_back(names[i]);
        }
        return STATUS_OK;
    }

    const OpenFolder& Current() const { return open_.back(); }

private:
    void Leave() {
        CloseFolder(&open_.back());
        open_.pop_back();
        names_.pop_back();
    }

    std::vector<OpenFolder> open_;  // the destination first
    std::vector<std::string> names_;
};

struct FolderTimes {
    std::vector<std::string> names;
    FileStamp stamp;
};

// Two entries whose names become the same name here, as the code page's
// duplicate characters (NEC and IBM extensions) do: the later one is not
// extracted over the earlier one. The index of each such entry, with the
// name of the entry it collides with.
std::map<size_t, std::string> FindCollisions(const qv_archive& archive) {
    std::map<size_t, std::string> collisions;
    std::map<std::string, std::pair<std::string, bool>> seen;  // local path: entry name, folder
    for (size_t index = 0; index < archive.entries.size(); index++) {
        const EntryFields& record = archive.entries[index].record;
        std::string path;
        if (!EntryNameToPath(RecordName(record), &path)) continue;
        bool folder = IsFolderRecord(record);
        auto found = seen.find(path);
        if (found == seen.end()) {
            seen[path] = {RecordName(record), folder};
        } else if (found->second.first != RecordName(record) && !(folder && found->second.second)) {
            collisions[index] = found->second.first;
        }
    }
    return collisions;
}

// The entries to extract: those the caller chose, and the folder entries that
// hold them.
std::vector<bool> ChosenEntries(const qv_archive& archive, const qv_extract_options& options) {
    std::vector<bool> chosen(archive.entries.size(), options.select == nullptr);
    if (!options.select) return chosen;
    std::map<std::vector<std::string>, size_t> folders;
    for (size_t i = 0; i < archive.entries.size(); i++) {
        const EntryFields& record = archive.entries[i].record;
        if (IsFolderRecord(record)) folders[SplitEntryName(RecordName(record))] = i;
    }
    for (size_t i = 0; i < archive.entries.size(); i++) {
        qv_entry entry;
        DescribeEntry(archive, i, &entry);
        if (!options.select(options.context, &entry)) continue;
        chosen[i] = true;
        std::vector<std::string> parts = SplitEntryName(RecordName(archive.entries[i].record));
        while (!parts.empty()) {
            parts.pop_back();
            auto folder = folders.find(parts);
            if (folder != folders.end()) chosen[folder->second] = true;
        }
    }
    return chosen;
}

class Extraction {
public:
    Extraction(qv_archive* archive, const OpenFolder& destination,
               const qv_extract_options& options, const std::vector<bool>& chosen, uint64_t total)
        : archive_(archive),
          folders_(destination),
          options_(options),
          chosen_(chosen),
          progress_(options.progress, options.context, total) {}

    // OK, ENTRIES_FAILED or CANCELLED.
    Status Run() {
        collisions_ = FindCollisions(*archive_);
        // Files are decoded ahead, several at once; folders, times and names
        // stay on this thread, in archive order.
        std::vector<size_t> planned;
        for (size_t i = 0; i < archive_->entries.size(); i++) {
            if (chosen_[i] && !IsFolderRecord(archive_->entries[i].record) &&
                collisions_.count(i) == 0)
                planned.push_back(i);
        }
        DecodePool pool(archive_, planned, options_.threads);
        pool_ = &pool;
        for (index_ = 0; index_ < archive_->entries.size() && !progress_.Cancelled(); index_++) {
            if (!chosen_[index_]) continue;
            if (Entry(archive_->entries[index_].record)) {
                Extracted();
            } else if (!progress_.Cancelled()) {
                failures_++;
            }
        }
        pool_ = nullptr;
        if (progress_.Cancelled()) return Failed(CAUSE_CANCELLED);
        ApplyFolderTimes();
        return failures_ ? Failed(CAUSE_ENTRIES_FAILED) : STATUS_OK;
    }

    int Failures() const { return failures_; }

private:
    // Reports the entry's failure to the caller; false.
    bool Fail(Cause cause, const std::string& name, const std::string& why) {
        if (options_.report) {
            qv_entry entry;
            DescribeEntry(*archive_, index_, &entry);
            options_.report(options_.context, &entry, StatusCode(cause),
                            (name + ": " + why).c_str());
        }
        return false;
    }

    void Extracted() {
        if (!options_.extracted) return;
        qv_entry entry;
        DescribeEntry(*archive_, index_, &entry);
        options_.extracted(options_.context, &entry);
    }

    // False when the entry failed (reported) or the run was cancelled.
    bool Entry(const EntryFields& record) {
        std::string shown = ListedName(RecordName(record), IsFolderRecord(record));
        std::vector<std::string> names;
        if (!EntryNameToComponents(RecordName(record), &names) || names.empty()) {
            return Fail(CAUSE_UNSAFE_NAME, shown,
                        "the name cannot be converted to a name of this system");
        }
        auto collision = collisions_.find(index_);
        if (collision != collisions_.end()) {
            // They look alike: the stored bytes tell them apart.
            return Fail(CAUSE_UNSAFE_NAME,
                        shown + " (stored as " + EscapedBytes(RecordName(record), false) + ")",
                        "not extracted: it collides with the earlier entry " +
                            ListedName(collision->second, false) + " (stored as " +
                            EscapedBytes(collision->second, false) +
                            "); both become the same name here");
        }
        std::string why;
        if (IsFolderRecord(record)) {
            Status entered = folders_.Enter(names, &why);
            if (!entered.ok()) return Fail(entered.cause, shown, why);
            if (record.creationTime != 0) {
                FileStamp stamp = {record.creationTime, record.lastAccessTime, record.lastWriteTime,
                                   false};
                folder_times_.push_back({names, stamp});
            }
            return true;
        }
        std::string name = names.back();
        names.pop_back();
        Status entered = folders_.Enter(names, &why);
        if (!entered.ok()) return Fail(entered.cause, shown, why);
        return File(record, shown, name);
    }

    // What becomes of an existing file: a qv_answer, or -1 when the entry is
    // to be left out without counting as a failure. `*name` is the new name
    // after QV_ANSWER_RENAME.
    int Existing(const OpenFolder& folder, std::string* name) {
        switch (options_.existing) {
            case QV_EXISTING_OVERWRITE:
                return QV_ANSWER_REPLACE;
            case QV_EXISTING_SKIP:
                return -1;
            case QV_EXISTING_ASK:
                break;
            default:
                return QV_ANSWER_KEEP;
        }
        std::string target = JoinPath(folder.path, *name);
        if (!options_.ask_existing) {
            if (!options_.ask_replace) return QV_ANSWER_KEEP;
            return options_.ask_replace(options_.context, target.c_str()) ? QV_ANSWER_REPLACE
                                                                          : QV_ANSWER_KEEP;
        }
        for (;;) {
            char answer[256] = {};
            int choice =
                options_.ask_existing(options_.context, target.c_str(), answer, sizeof answer);
            if (choice != QV_ANSWER_RENAME)
                return choice == QV_ANSWER_REPLACE ? choice : QV_ANSWER_KEEP;
            answer[sizeof answer - 1] = '\0';
            std::string cp932;
            if (LocalNameToCp932(answer, &cp932) &&
                IsSafeNameComponent(cp932.data(), cp932.size())) {
                *name = answer;
                return QV_ANSWER_RENAME;
            }
        }
    }

    bool File(const EntryFields& record, const std::string& shown, const std::string& entry_name) {
        const OpenFolder& folder = folders_.Current();
        std::string name = entry_name;
        bool replace = false;
        for (;;) {
            PathKind existing = KindIn(folder, name);
            if (existing == PATH_MISSING) break;
            if (existing == PATH_FOLDER)
                return Fail(CAUSE_EXISTS, shown, "a folder stands where the file goes");
            int answer = Existing(folder, &name);
            if (answer == -1) return true;
            if (answer == QV_ANSWER_KEEP)
                return Fail(CAUSE_EXISTS, JoinPath(folder.path, name),
                            "exists and was not replaced");
            if (answer == QV_ANSWER_REPLACE) {
                replace = true;
                break;
            }
        }

        if (!progress_.Begin(index_, record.originalSize, shown)) return false;
        std::string why;
        PendingFile pending;
        Status status = StartFile(folder, &pending, &why);
        if (!status.ok()) return Fail(status.cause, shown, why);
        Output output = {pending.file};
        status = pool_->Decode(index_, WriteDecoded, &output, &progress_, &why);
        if (status.ok() && !progress_.End()) status = Failed(CAUSE_CANCELLED);

        if (status.ok()) {
            FileStamp stamp = {record.creationTime, record.lastAccessTime, record.lastWriteTime,
                               (record.attributeWord & ATTRIBUTE_READONLY) != 0};
            status = FinishFileAs(folder, &pending, name, stamp, replace, &why);
            if (status.ok()) return true;
            return Fail(status.cause, shown, "not extracted: " + why);
        }
        AbandonFile(folder, &pending);
        if (status.cause == CAUSE_CANCELLED) return false;
        progress_.End();
        if (status.cause == CAUSE_WRITE_FAILED)
            why = "cannot write into " + folder.path + ": " + why;
        return Fail(
            status.cause, shown,
            (status.cause == CAUSE_DAMAGED ? "damaged, not extracted: " : "not extracted: ") + why);
    }

    struct Output {
        FileHandle file;
    };
    static Status WriteDecoded(void* context, const uint8_t* data, uint32_t size) {
        return WriteBytes(((Output*)context)->file, data, size);
    }

    // Folder times last, once nothing is written into the folders any more;
    // inner folders before the folders that hold them.
    void ApplyFolderTimes() {
        for (auto it = folder_times_.rbegin(); it != folder_times_.rend(); ++it) {
            std::string why;
            if (folders_.Enter(it->names, &why).ok()) SetFolderTimes(folders_.Current(), it->stamp);
        }
    }

    qv_archive* archive_;
    FolderChain folders_;
    const qv_extract_options& options_;
    const std::vector<bool>& chosen_;
    ProgressReport progress_;
    std::vector<FolderTimes> folder_times_;
    std::map<size_t, std::string> collisions_;
    DecodePool* pool_ = nullptr;  // while Run goes over the entries
    size_t index_ = 0;
    int failures_ = 0;
};

}  // namespace

Status ExtractArchive(qv_archive* archive, const char* destination_path,
                      const qv_extract_options* given, std::string* why) {
    qv_extract_options options;
    if (!TakeOptions(given, &options)) {
        *why = "the options' struct_size is not set";
        return Failed(CAUSE_INVALID);
    }
    if (!destination_path || !*destination_path) {
        *why = "no destination given";
        return Failed(CAUSE_INVALID);
    }
    std::vector<bool> chosen = ChosenEntries(*archive, options);
    uint64_t total = 0;
    for (size_t i = 0; i < archive->entries.size(); i++)
        if (chosen[i]) total += archive->entries[i].record.originalSize;

    std::string destination = WithoutTrailingSeparators(destination_path);
    OpenFolder root;
    Status status = OpenDestination(destination, &root, why);
    if (!status.ok()) return status;
    int failures;
    {
        Extraction extraction(archive, root, options, chosen, total);
        status = extraction.Run();
        failures = extraction.Failures();
    }
    CloseFolder(&root);
    if (status.cause == CAUSE_CANCELLED) *why = "the extraction was cancelled";
    if (status.cause == CAUSE_ENTRIES_FAILED)
        *why = std::to_string(failures) + (failures == 1 ? " entry" : " entries") +
               " could not be extracted";
    return status;
}
