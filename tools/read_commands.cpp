// list, test and extract: everything that reads an archive.
#include <stdio.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include "payload/names.h"
#include "payload/records.h"
#include "payload/validation.h"
#include "tools/commands.h"
#include "tools/decode.h"
#include "tools/files.h"
#include "tools/progress.h"
#include "tools/text.h"

namespace {

std::string RecordName(const EntryRecord& record) {
    return std::string(record.name, record.nameLength);
}

bool IsFolder(const EntryRecord& record) { return EndYen(record.name, record.nameLength); }

StoredEntry StoredOf(const EntryRecord& record) {
    StoredEntry entry = {record.storedSize, record.originalSize,
                         (record.attributeWord & ODD_RESCALE) != 0};
    return entry;
}

// Says which record made the validation refuse the payload, and why.
std::string DiagnosePayload(FileHandle file, uint32_t start) {
    uint64_t size = GetFileSize64(file);
    if (size < start) return "the file ends before its payload begins";
    SetFilePointer64(file, start, FILE_BEGIN);
    for (int index = 1;; index++) {
        int64_t at = SetFilePointer64(file, 0, FILE_CURRENT);
        EntryRecord record;
        int read = ReadEntryRecord(file, &record);
        std::string where =
            "entry " + std::to_string(index) + " (at byte " + std::to_string(at) + ")";
        if (read == 0) return "a name there is refused by this system";
        if (read < 0) {
            uint8_t first = 1;
            uint32_t got = 0;
            SetFilePointer64(file, at, FILE_BEGIN);
            ReadBytes(file, &first, 1, &got);
            return where +
                   (first == 0 ? ": name of length 0" : ": cut short by the end of the file");
        }
        std::string name = RecordName(record);
        std::string shown = where + " \"" + PrintableName(name) + "\"";
        for (const std::string& component : SplitEntryName(name)) {
            if (!IsSafeNameComponent(component.data(), component.size())) {
                return shown + ": the name part \"" + PrintableName(component) +
                       "\" could lead outside the destination or is not a valid file name";
            }
        }
        if (!IsFolder(record) && SplitEntryName(name).empty()) return shown + ": empty name";
        int64_t stored_at = SetFilePointer64(file, 0, FILE_CURRENT);
        if ((uint64_t)stored_at + record.storedSize > size) {
            return shown + ": its stored bytes run past the end of the file";
        }
        if (IsFolder(record) && (record.originalSize != 0 || record.storedSize != 0)) {
            return shown + ": a folder entry that carries data";
        }
        if (!IsFolder(record) && record.originalSize == 0 && record.storedSize != 0) {
            return shown + ": an empty file that carries stored bytes";
        }
        SetFilePointer64(file, record.storedSize, FILE_CURRENT);
    }
}

// The archive, opened and validated: an executable with a payload behind its
// sections, or a bare payload.
struct Archive {
    FileHandle file = NO_FILE;
    uint32_t start = 0;
    uint64_t total_original = 0;
    ~Archive() { CloseFile(file); }
};

bool OpenArchive(const std::string& path, Archive* archive) {
    std::string why;
    archive->file = OpenArchiveFile(path, &why);
    if (archive->file == NO_FILE) {
        fprintf(stderr, "quorvane: %s\n", why.c_str());
        return false;
    }
    // Anything that is not a PE executable is taken as a bare payload.
    archive->start = GetEXESize(path.c_str());
    if (!ZevCheckArchive(archive->file, archive->start)) {
        fprintf(stderr, "quorvane: %s is damaged or unsafe, nothing was done: %s\n", path.c_str(),
                DiagnosePayload(archive->file, archive->start).c_str());
        return false;
    }
    SetFilePointer64(archive->file, archive->start, FILE_BEGIN);
    EntryRecord record;
    while (ReadEntryRecord(archive->file, &record) == 1) {
        archive->total_original += record.originalSize;
        SetFilePointer64(archive->file, record.storedSize, FILE_CURRENT);
    }
    SetFilePointer64(archive->file, archive->start, FILE_BEGIN);
    return true;
}

void SkipStored(FileHandle file, const EntryRecord& record) {
    SetFilePointer64(file, record.storedSize, FILE_CURRENT);
}

std::string AttributeLetters(uint16_t attributes) {
    std::string letters;
    letters += (attributes & 0x10) ? 'D' : '-';
    letters += (attributes & 0x20) ? 'A' : '-';
    letters += (attributes & 0x01) ? 'R' : '-';
    letters += (attributes & 0x02) ? 'H' : '-';
    letters += (attributes & 0x04) ? 'S' : '-';
    return letters;
}

std::string FormatTime(uint64_t filetime) {
    std::string text = LocalTimeText(filetime);
    return text.empty() ? "(time out of range) " : text;
}

std::string Ratio(uint64_t stored, uint64_t original) {
    if (original == 0) return "   -  ";
    char text[16];
    snprintf(text, sizeof text, "%5.1f%%", 100.0 * (double)stored / (double)original);
    return text;
}

}  // namespace

int CommandList(const std::string& path) {
    Archive archive;
    if (!OpenArchive(path, &archive)) return EXIT_REFUSED;
    printf("Kind    Original      Stored  Ratio  Last write           Attr   Name\n");
    uint64_t files = 0, folders = 0, original = 0, stored = 0;
    EntryRecord record;
    while (ReadEntryRecord(archive.file, &record) == 1) {
        bool folder = IsFolder(record);
        std::string name = ListedName(RecordName(record), folder);
        printf("%-6s %10u  %10u %s  %s  %s  %s\n", folder ? "folder" : "file", record.originalSize,
               record.storedSize, Ratio(record.storedSize, record.originalSize).c_str(),
               FormatTime(record.lastWriteTime).c_str(),
               AttributeLetters(record.attributeWord & ATTRIBUTE_MASK).c_str(), name.c_str());
        (folder ? folders : files)++;
        original += record.originalSize;
        stored += record.storedSize;
        SkipStored(archive.file, record);
    }
    printf("%llu files, %llu folders, %llu bytes stored in %llu (%s)\n", (unsigned long long)files,
           (unsigned long long)folders, (unsigned long long)original, (unsigned long long)stored,
           Ratio(stored, original).c_str());
    return EXIT_SUCCESS_ALL;
}

int CommandTest(const std::string& path, bool verbose) {
    Archive archive;
    if (!OpenArchive(path, &archive)) return EXIT_REFUSED;
    Progress progress(archive.total_original);
    int damaged = 0, entries = 0;
    EntryRecord record;
    while (ReadEntryRecord(archive.file, &record) == 1) {
        entries++;
        std::string shown = PrintableName(RecordName(record));
        std::string name;
        if (!EntryNameToPath(RecordName(record), &name)) {
            progress.Clear();
            fprintf(stderr, "quorvane: %s: the name cannot be converted to UTF-8\n", shown.c_str());
            damaged++;
        }
        if (IsFolder(record) || record.originalSize == 0) {
            SkipStored(archive.file, record);
            continue;
        }
        progress.Begin(shown, record.originalSize);
        // Nothing is written: the decoded bytes are only counted.
        std::string why;
        uint32_t widened_steps = 0;
        DecodeResult result =
            DecodeEntry(archive.file, StoredOf(record), NO_FILE, &progress, &why, &widened_steps);
        progress.End();
        if (result != DECODE_OK) {
            progress.Clear();
            fprintf(stderr, "quorvane: %s: %s: %s\n", shown.c_str(),
                    result == DECODE_DAMAGED ? "damaged" : "cannot be tested", why.c_str());
            damaged++;
        } else if (verbose && widened_steps > 0) {
            progress.Clear();
            printf("%s: uses the narrow-interval rule (%u %s)\n", shown.c_str(), widened_steps,
                   widened_steps == 1 ? "step" : "steps");
        }
    }
    progress.Clear();
    if (damaged) {
        fprintf(stderr, "quorvane: %s: %d of %d entries failed\n", path.c_str(), damaged, entries);
        return EXIT_ENTRY_FAILED;
    }
    printf("%s: %d %s, all sound\n", path.c_str(), entries, entries == 1 ? "entry" : "entries");
    return EXIT_SUCCESS_ALL;
}

namespace {

// The default destination: the archive's path with its extension cut off.
bool DefaultDestination(const std::string& archive, std::string* destination) {
    size_t name_start = LastComponentStart(archive);
    size_t dot = archive.find_last_of('.');
    if (dot == std::string::npos || dot <= name_start) return false;
    *destination = archive.substr(0, dot);
    return true;
}

// Asks on the terminal whether an existing file may be replaced.
bool AskToReplace(const std::string& path) {
    fprintf(stderr, "quorvane: %s exists. Replace it? [y/N] ", path.c_str());
    fflush(stderr);
    char answer[64];
    if (!fgets(answer, sizeof answer, stdin)) return false;
    return answer[0] == 'y' || answer[0] == 'Y';
}

// The folders of the entry at hand, held open from the destination down, so
// that consecutive entries of one folder reuse what is open.
class FolderChain {
public:
    explicit FolderChain(const OpenFolder& destination) : open_{destination} {}
    ~FolderChain() {
        while (open_.size() > 1) Leave();
    }

    // Enters the folders `names` below the destination, making them as needed.
    bool Enter(const std::vector<std::string>& names, std::string* why) {
        size_t same = 0;
        while (same < names.size() && same < names_.size() && names[same] == names_[same]) same++;
        while (names_.size() > same) Leave();
        for (size_t i = same; i < names.size(); i++) {
            OpenFolder folder;
            if (!EnterFolder(open_.back(), names[i], &folder, why)) return false;
            open_.push_back(folder);
            names_.push_back(names[i]);
        }
        return true;
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
std::map<int, std::string> FindCollisions(const Archive& archive) {
    std::map<int, std::string> collisions;
    std::map<std::string, std::pair<std::string, bool>> seen;  // local path: entry name, folder
    SetFilePointer64(archive.file, archive.start, FILE_BEGIN);
    EntryRecord record;
    for (int index = 0; ReadEntryRecord(archive.file, &record) == 1; index++) {
        SetFilePointer64(archive.file, record.storedSize, FILE_CURRENT);
        std::string path;
        if (!EntryNameToPath(RecordName(record), &path)) continue;
        bool folder = IsFolder(record);
        auto found = seen.find(path);
        if (found == seen.end()) {
            seen[path] = {RecordName(record), folder};
        } else if (found->second.first != RecordName(record) && !(folder && found->second.second)) {
            collisions[index] = found->second.first;
        }
    }
    SetFilePointer64(archive.file, archive.start, FILE_BEGIN);
    return collisions;
}

class Extraction {
public:
    Extraction(Archive* archive, const OpenFolder& destination, const ExtractOptions& options)
        : archive_(archive),
          folders_(destination),
          options_(options),
          progress_(archive->total_original) {}

    int Run() {
        collisions_ = FindCollisions(*archive_);
        EntryRecord record;
        for (index_ = 0; ReadEntryRecord(archive_->file, &record) == 1; index_++) {
            if (!Entry(record)) failures_++;
        }
        ApplyFolderTimes();
        progress_.Clear();
        if (failures_) {
            fprintf(stderr, "quorvane: %d %s could not be extracted\n", failures_,
                    failures_ == 1 ? "entry" : "entries");
            return EXIT_ENTRY_FAILED;
        }
        return EXIT_SUCCESS_ALL;
    }

private:
    bool Fail(const std::string& name, const std::string& why) {
        progress_.Clear();
        fprintf(stderr, "quorvane: %s: %s\n", name.c_str(), why.c_str());
        return false;
    }

    bool Entry(const EntryRecord& record) {
        std::string shown = PrintableName(RecordName(record));
        std::vector<std::string> names;
        if (!EntryNameToComponents(RecordName(record), &names) || names.empty()) {
            SkipStored(archive_->file, record);
            return Fail(shown, "the name cannot be converted to a name of this system");
        }
        auto collision = collisions_.find(index_);
        if (collision != collisions_.end()) {
            // They look alike: the stored bytes tell them apart.
            SkipStored(archive_->file, record);
            return Fail(shown + " (stored as " + EscapedBytes(RecordName(record), false) + ")",
                        "not extracted: it collides with the earlier entry " +
                            PrintableName(collision->second) + " (stored as " +
                            EscapedBytes(collision->second, false) +
                            "); both become the same name here");
        }
        std::string why;
        if (IsFolder(record)) {
            SkipStored(archive_->file, record);
            if (!folders_.Enter(names, &why)) return Fail(shown, why);
            if (record.creationTime != 0) {
                FileStamp stamp = {record.creationTime, record.lastAccessTime, record.lastWriteTime,
                                   false};
                folder_times_.push_back({names, stamp});
            }
            return true;
        }
        std::string name = names.back();
        names.pop_back();
        if (!folders_.Enter(names, &why)) {
            SkipStored(archive_->file, record);
            return Fail(shown, why);
        }
        return File(record, shown, name);
    }

    // Whether an existing file may be replaced; *skip when the entry is to be
    // left alone without counting as a failure.
    bool MayReplace(const std::string& target, bool* skip) {
        *skip = false;
        if (options_.existing == EXISTING_OVERWRITE) return true;
        if (options_.existing == EXISTING_SKIP) {
            *skip = true;
            return false;
        }
        if (!InputIsInteractive()) return false;
        progress_.Clear();
        if (AskToReplace(target)) return true;
        *skip = true;  // the user's choice, not a failure
        return false;
    }

    bool File(const EntryRecord& record, const std::string& shown, const std::string& name) {
        const OpenFolder& folder = folders_.Current();
        std::string target = JoinPath(folder.path, name);
        PathKind existing = KindIn(folder, name);
        bool replace = false;
        if (existing == PATH_FOLDER) {
            SkipStored(archive_->file, record);
            return Fail(shown, "a folder stands where the file goes");
        }
        if (existing == PATH_OTHER) {
            bool skip = false;
            replace = MayReplace(target, &skip);
            if (!replace) {
                SkipStored(archive_->file, record);
                if (skip) return true;
                return Fail(target,
                            "exists and was not replaced (use --overwrite or --skip-existing)");
            }
        }

        progress_.Begin(shown, record.originalSize);
        std::string why;
        PendingFile pending;
        if (!StartFile(folder, &pending, &why)) {
            SkipStored(archive_->file, record);
            return Fail(shown, why);
        }
        DecodeResult result = DECODE_OK;
        if (record.originalSize != 0) {
            result = DecodeEntry(archive_->file, StoredOf(record), pending.file, &progress_, &why);
        } else {
            SkipStored(archive_->file, record);
        }
        progress_.End();

        if (result == DECODE_OK) {
            FileStamp stamp = {record.creationTime, record.lastAccessTime, record.lastWriteTime,
                               (record.attributeWord & ATTRIBUTE_READONLY) != 0};
            if (FinishFileAs(folder, &pending, name, stamp, replace, &why)) return true;
            return Fail(shown, "not extracted: " + why);
        }
        AbandonFile(folder, &pending);
        if (result == DECODE_WRITE_FAILED) why = "cannot write into " + folder.path + ": " + why;
        return Fail(
            shown,
            (result == DECODE_DAMAGED ? "damaged, not extracted: " : "not extracted: ") + why);
    }

    // Folder times last, once nothing is written into the folders any more;
    // inner folders before the folders that hold them.
    void ApplyFolderTimes() {
        for (auto it = folder_times_.rbegin(); it != folder_times_.rend(); ++it) {
            std::string why;
            if (folders_.Enter(it->names, &why)) SetFolderTimes(folders_.Current(), it->stamp);
        }
    }

    Archive* archive_;
    FolderChain folders_;
    ExtractOptions options_;
    Progress progress_;
    std::vector<FolderTimes> folder_times_;
    std::map<int, std::string> collisions_;
    int index_ = 0;
    int failures_ = 0;
};

}  // namespace

int CommandExtract(const std::string& path, const ExtractOptions& options) {
    std::string destination = options.destination;
    if (destination.empty() && !DefaultDestination(path, &destination)) {
        fprintf(stderr,
                "quorvane: %s has no extension to cut off for the destination; give -d DIR\n",
                path.c_str());
        return EXIT_USAGE;
    }
    destination = WithoutTrailingSeparators(destination);

    Archive archive;
    if (!OpenArchive(path, &archive)) return EXIT_REFUSED;
    std::string why;
    OpenFolder root;
    if (!OpenDestination(destination, &root, &why)) {
        fprintf(stderr, "quorvane: %s\n", why.c_str());
        return EXIT_REFUSED;
    }
    RemovePartialFileOnInterrupt();
    int code;
    {
        Extraction extraction(&archive, root, options);
        code = extraction.Run();
    }
    CloseFolder(&root);
    return code;
}
