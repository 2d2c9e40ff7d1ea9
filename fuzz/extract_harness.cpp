#include "fuzz/extract_harness.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include <quorvane.h>

namespace {

void Check(bool condition, const char* what, const std::string& path = "") {
    if (condition) return;
    fprintf(stderr, "extract harness: broken invariant: %s %s\n", what, path.c_str());
    abort();
}

// Decoded bytes of one input, beyond which extraction is cancelled: an entry
// may announce up to 4 GiB, and long runs reach that from a few stored bytes.
const uint64_t EXTRACT_LIMIT = 8 << 20;

int Bounded(void*, const qv_progress* progress) { return progress->done > EXTRACT_LIMIT; }

// The names below `folder` (relative, '/'-separated), links not followed.
void Walk(const std::string& folder, const std::string& prefix,
          std::map<std::string, struct stat>* found) {
    DIR* dir = opendir(folder.c_str());
    Check(dir != nullptr, "a folder of the destination can be read:", folder);
    while (struct dirent* child = readdir(dir)) {
        std::string name = child->d_name;
        if (name == "." || name == "..") continue;
        std::string path = folder + "/" + name;
        struct stat info;
        Check(lstat(path.c_str(), &info) == 0, "a listed name exists:", path);
        (*found)[prefix + name] = info;
        if (S_ISDIR(info.st_mode)) Walk(path, prefix + name + "/", found);
    }
    closedir(dir);
}

void RemoveTree(const std::string& path) {
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) return;
    if (S_ISDIR(info.st_mode)) {
        chmod(path.c_str(), 0700);
        std::map<std::string, struct stat> children;
        if (DIR* dir = opendir(path.c_str())) {
            while (struct dirent* child = readdir(dir)) {
                std::string name = child->d_name;
                if (name != "." && name != "..") children[name] = info;
            }
            closedir(dir);
        }
        for (const auto& child : children) RemoveTree(path + "/" + child.first);
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

std::string root;

void RemoveScratch() { RemoveTree(root); }

// The scratch folder of this process: dest/ (with the link dest/up to
// ../outside) and outside/ (with one file). Made once, reset per input,
// removed at exit.
const std::string& Scratch() {
    if (root.empty()) {
        const char* tmp = getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/qv-fuzz-extract-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back(0);
        Check(mkdtemp(name.data()) != nullptr, "a scratch folder can be made");
        root = name.data();
        atexit(RemoveScratch);
        mkdir((root + "/outside").c_str(), 0755);
        FILE* sentinel = fopen((root + "/outside/sentinel").c_str(), "w");
        Check(sentinel != nullptr && fputs("outside", sentinel) >= 0 && fclose(sentinel) == 0,
              "the file outside can be written");
    }
    return root;
}

}  // namespace

void FuzzExtract(const uint8_t* data, size_t size) {
    qv_archive* archive = nullptr;
    qv_error error;
    if (qv_open_memory(data, size, &archive, &error) != QV_OK) return;

    const std::string& root = Scratch();
    std::string dest = root + "/dest";
    RemoveTree(dest);
    Check(mkdir(dest.c_str(), 0755) == 0 && symlink("../outside", (dest + "/up").c_str()) == 0,
          "the destination can be prepared");

    // Where each entry may land: its name and the folders above it.
    std::map<std::string, std::set<uint32_t>> file_sizes;
    std::set<std::string> folders = {"up"};
    for (size_t i = 0; i < qv_entry_count(archive); i++) {
        qv_entry entry;
        entry.struct_size = sizeof entry;
        Check(qv_entry_at(archive, i, &entry) == QV_OK, "every entry is described");
        if (!entry.name_utf8) continue;
        std::string name = entry.name_utf8;
        if (!name.empty() && name.back() == '/') name.pop_back();
        for (size_t slash = name.find('/'); slash != std::string::npos;
             slash = name.find('/', slash + 1))
            folders.insert(name.substr(0, slash));
        if (entry.kind == QV_FILE) {
            file_sizes[name].insert(entry.original_size);
        } else {
            folders.insert(name);
        }
    }

    qv_extract_options options = {};
    options.struct_size = sizeof options;
    options.existing = QV_EXISTING_OVERWRITE;
    options.progress = Bounded;
    int code = qv_extract(archive, dest.c_str(), &options, &error);
    Check(code == QV_OK || code == QV_E_ENTRIES_FAILED || code == QV_E_CANCELLED,
          "extraction answers a verdict");
    qv_close(archive);

    std::map<std::string, struct stat> outside, inside;
    Walk(root, "", &outside);
    for (const auto& found : outside) {
        const std::string& name = found.first;
        Check(name == "dest" || name == "outside" || name == "outside/sentinel" ||
                  name.compare(0, 5, "dest/") == 0,
              "nothing lands outside the destination:", name);
    }
    Check(outside.at("outside/sentinel").st_size == 7, "the file outside is untouched");

    struct stat link;
    char target[64] = {0};
    Check(lstat((dest + "/up").c_str(), &link) == 0 && S_ISLNK(link.st_mode) &&
              readlink((dest + "/up").c_str(), target, sizeof target - 1) == 10 &&
              strcmp(target, "../outside") == 0,
          "the link in the destination is left as it was");
    Walk(dest, "", &inside);
    for (const auto& found : inside) {
        const std::string& name = found.first;
        const struct stat& info = found.second;
        if (S_ISDIR(info.st_mode)) {
            Check(folders.count(name) > 0, "a folder that no entry asks for:", name);
        } else if (name != "up") {
            Check(S_ISREG(info.st_mode), "only files and folders are made:", name);
            Check(file_sizes.count(name) > 0, "a file that no entry asks for:", name);
            // A cancelled run stops inside an entry; that one is never named.
            Check(file_sizes[name].count((uint32_t)info.st_size) > 0,
                  "a file is left only complete:", name);
        }
    }
}
