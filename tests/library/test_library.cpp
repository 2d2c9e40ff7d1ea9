// libquorvane's C API: opening from a path, a descriptor and memory, names and
// patterns, the reasons of refusals, decoding with cancel, extraction, the
// writer's checks.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <quorvane.h>

#include "tests/writer/pseudo_random.h"

namespace {

namespace fs = std::filesystem;
typedef std::vector<uint8_t> Bytes;

// Text of `size` bytes with long repeats: it decodes in many pieces.
Bytes Text(size_t size) {
    Bytes bytes;
    for (int i = 0; bytes.size() < size; i++) {
        std::string line = "line " + std::to_string(i) + ": " + std::string(i % 13, 'x') + "\n";
        bytes.insert(bytes.end(), line.begin(), line.end());
    }
    bytes.resize(size);
    return bytes;
}

Bytes ReadAll(const fs::path& path) {
    Bytes bytes;
    FILE* file = fopen(path.string().c_str(), "rb");
    if (!file) return bytes;
    int c;
    while ((c = fgetc(file)) != EOF) bytes.push_back((uint8_t)c);
    fclose(file);
    return bytes;
}

const uint64_t SOME_TIME = 133000000000000000ull;  // 2022-06-18

class LibraryTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() /
                  ("qv-library-" +
                   std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(folder_);
        fs::create_directories(folder_);
        big_ = Text(3 << 20);
        small_ = {'h', 'e', 'l', 'l', 'o'};
    }
    void TearDown() override {
        // Extracted read-only files go too (Windows refuses to remove them).
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder_))
            fs::permissions(entry.path(), fs::perms::owner_write, fs::perm_options::add);
        fs::remove_all(folder_);
    }

    // A bare payload: a folder "docs", "docs/日本語.txt" and "big.txt".
    fs::path MakePayload() {
        fs::path path = folder_ / "a.qv";
        qv_create_options options = {};
        options.payload_only = 1;
        qv_writer* writer = nullptr;
        qv_error error;
        EXPECT_EQ(qv_writer_open(path.string().c_str(), &options, &writer, &error), QV_OK);
        EXPECT_EQ(qv_writer_add_folder(writer, "docs", SOME_TIME, &error), QV_OK);
        EXPECT_EQ(
            qv_writer_add_memory(writer, "docs/\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.txt",
                                 small_.data(), small_.size(), SOME_TIME, QV_ATTR_READONLY, &error),
            QV_OK)
            << error.message;
        EXPECT_EQ(
            qv_writer_add_memory(writer, "big.txt", big_.data(), big_.size(), SOME_TIME, 0, &error),
            QV_OK);
        EXPECT_EQ(qv_writer_finish(writer, &error), QV_OK) << error.message;
        qv_writer_free(writer);
        return path;
    }

    fs::path folder_;
    Bytes big_, small_;
};

TEST(Library, VersionErrorsAndTimes) {
    EXPECT_EQ(qv_version(), QV_VERSION_NUMBER);
    EXPECT_STREQ(qv_version_string(), QV_VERSION_STRING);
    for (int code = QV_E_INVALID; code <= QV_E_CHANGED; code++)
        EXPECT_STRNE(qv_strerror(code), qv_strerror(999)) << code;
    EXPECT_STREQ(qv_strerror(QV_E_CANCELLED), "cancelled");

    EXPECT_EQ(qv_unix_to_filetime(0, 0), 116444736000000000ull);
    uint32_t nanoseconds = 0;
    EXPECT_EQ(qv_filetime_to_unix(qv_unix_to_filetime(1234567890, 123456700), &nanoseconds),
              1234567890);
    EXPECT_EQ(nanoseconds, 123456700u);
    // Too late for a FILETIME: the latest one, not a time that wrapped around.
    EXPECT_EQ(qv_unix_to_filetime(INT64_MAX, 0), UINT64_MAX);
    EXPECT_EQ(qv_unix_to_filetime(1844674407370 - 11644473600, 999999900), UINT64_MAX);
    uint64_t parsed = 0;
    EXPECT_EQ(qv_parse_time("1970-01-02T00:00:01Z", &parsed), QV_OK);
    EXPECT_EQ(qv_filetime_to_unix(parsed, nullptr), 86401);
    EXPECT_EQ(qv_parse_time("1970-02-30", &parsed), QV_E_INVALID);
}

TEST_F(LibraryTest, PathDescriptorAndMemoryGiveTheSameEntriesAndBytes) {
    fs::path path = MakePayload();
    Bytes whole = ReadAll(path);
    FILE* file = fopen(path.string().c_str(), "rb");
    ASSERT_NE(file, nullptr);
    qv_archive* archives[3] = {};
    qv_error error;
    ASSERT_EQ(qv_open_path(path.string().c_str(), &archives[0], &error), QV_OK) << error.message;
    ASSERT_EQ(qv_open_fd(fileno(file), &archives[1], &error), QV_OK) << error.message;
    ASSERT_EQ(qv_open_memory(whole.data(), whole.size(), &archives[2], &error), QV_OK);
    fclose(file);  // the archive keeps a descriptor of its own

    for (qv_archive* archive : archives) {
        ASSERT_EQ(qv_entry_count(archive), 3u);
        qv_entry folder, small, big;
        ASSERT_EQ(qv_entry_at(archive, 0, &folder), QV_OK);
        ASSERT_EQ(qv_entry_at(archive, 1, &small), QV_OK);
        ASSERT_EQ(qv_entry_at(archive, 2, &big), QV_OK);
        EXPECT_EQ(qv_entry_at(archive, 3, &big), QV_E_INVALID);
        EXPECT_EQ(folder.kind, QV_FOLDER);
        EXPECT_STREQ(folder.name_utf8, "docs/");
        EXPECT_EQ(std::string(small.name, small.name_length), "docs\\\x93\xfa\x96\x7b\x8c\xea.txt");
        EXPECT_STREQ(small.name_utf8, "docs/\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.txt");
        EXPECT_EQ(small.attributes, QV_ATTR_READONLY);
        EXPECT_EQ(small.last_write_time, SOME_TIME);
        EXPECT_EQ(big.original_size, big_.size());
        EXPECT_LT(big.stored_size, big.original_size);

        Bytes decoded(big_.size());
        EXPECT_EQ(qv_decode_to_buffer(archive, 2, decoded.data(), decoded.size(), nullptr, nullptr,
                                      &error),
                  QV_OK)
            << error.message;
        EXPECT_EQ(decoded, big_);
        Bytes tiny(small_.size());
        EXPECT_EQ(
            qv_decode_to_buffer(archive, 1, tiny.data(), tiny.size(), nullptr, nullptr, &error),
            QV_OK);
        EXPECT_EQ(tiny, small_);
        EXPECT_EQ(qv_decode_to_buffer(archive, 1, tiny.data(), 4, nullptr, nullptr, &error),
                  QV_E_BUFFER_TOO_SMALL);
        qv_close(archive);
    }
}

TEST_F(LibraryTest, NamesArePathsOfThisSystemAndPatternsChooseEntries) {
    qv_archive* archive = nullptr;
    qv_error error;
    ASSERT_EQ(qv_open_path(MakePayload().string().c_str(), &archive, &error), QV_OK);
    qv_entry folder, small, big;
    ASSERT_EQ(qv_entry_at(archive, 0, &folder), QV_OK);
    ASSERT_EQ(qv_entry_at(archive, 1, &small), QV_OK);
    ASSERT_EQ(qv_entry_at(archive, 2, &big), QV_OK);

    // Too small a buffer still learns the length.
    char buffer[64];
    size_t length = 0;
    EXPECT_EQ(qv_entry_path(&big, buffer, 7, &length), QV_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 7u);
    EXPECT_EQ(qv_entry_path(&big, buffer, 8, &length), QV_OK);
    EXPECT_STREQ(buffer, "big.txt");
    ASSERT_EQ(qv_entry_path(&small, buffer, sizeof buffer, &length), QV_OK);
    std::string path = buffer;
    ASSERT_GT(path.size(), 5u);
    char separator = path[4];
    EXPECT_TRUE(separator == '/' || separator == '\\') << path;
    ASSERT_EQ(qv_entry_shown_name(&folder, buffer, sizeof buffer, nullptr), QV_OK);
    EXPECT_EQ(std::string(buffer), std::string("docs") + separator);

    // A folder above the entry chooses it; '/' and '\' alike, '*' crosses folders.
    EXPECT_EQ(qv_entry_matches(&small, "docs"), 1);
    EXPECT_EQ(qv_entry_matches(&small, "docs/"), 1);
    EXPECT_EQ(qv_entry_matches(&small, ("d?cs\\" + path.substr(5)).c_str()), 1);
    EXPECT_EQ(qv_entry_matches(&small, "*.txt"), 1);
    EXPECT_EQ(qv_entry_matches(&small, "doc"), 0);
    EXPECT_EQ(qv_entry_matches(&big, "docs"), 0);
    EXPECT_EQ(qv_entry_matches(&folder, "docs/big.txt"), 0);

    // A name with no path here is shown with its control bytes escaped.
    qv_entry odd = small;
    odd.name = "..\\x\x01";
    odd.name_length = 5;
    EXPECT_EQ(qv_entry_path(&odd, buffer, sizeof buffer, &length), QV_E_UNSAFE_NAME);
    EXPECT_EQ(qv_entry_shown_name(&odd, buffer, sizeof buffer, &length), QV_OK);
    EXPECT_STREQ(buffer, "..\\x\\x01");
    EXPECT_EQ(qv_entry_matches(&odd, "*"), 0);
    qv_close(archive);
}

// Records a failure's code and message, or cancels at the n-th report.
struct Counter {
    int calls = 0;
    int cancel_at = 0;
    uint64_t last_done = 0;
};

int CountProgress(void* context, const qv_progress* progress) {
    Counter* counter = (Counter*)context;
    counter->calls++;
    counter->last_done = progress->done;
    return counter->cancel_at != 0 && counter->calls >= counter->cancel_at;
}

int Collect(void* context, const void* data, size_t size) {
    Bytes* bytes = (Bytes*)context;
    bytes->insert(bytes->end(), (const uint8_t*)data, (const uint8_t*)data + size);
    return 0;
}

int RefuseWrite(void*, const void*, size_t) { return 1; }

TEST_F(LibraryTest, DecodingReportsProgressCancelsAndTellsWhatFailed) {
    Bytes whole = ReadAll(MakePayload());
    qv_archive* archive = nullptr;
    qv_error error;
    ASSERT_EQ(qv_open_memory(whole.data(), whole.size(), &archive, &error), QV_OK);

    Bytes collected;
    Counter all;
    ASSERT_EQ(qv_decode(archive, 2, Collect, &collected, CountProgress, &all, &error), QV_OK);
    EXPECT_EQ(collected, big_);
    EXPECT_GE(all.calls, 4);  // the start, three pieces of a MiB, the end
    EXPECT_EQ(all.last_done, big_.size());

    Counter cancel;
    cancel.cancel_at = 2;
    collected.clear();
    EXPECT_EQ(qv_decode(archive, 2, Collect, &collected, CountProgress, &cancel, &error),
              QV_E_CANCELLED);
    EXPECT_EQ(error.code, QV_E_CANCELLED);
    EXPECT_LT(collected.size(), big_.size());

    EXPECT_EQ(qv_decode(archive, 2, RefuseWrite, nullptr, nullptr, nullptr, &error), QV_E_WRITE);
    EXPECT_NE(strstr(error.message, "big.txt"), nullptr) << error.message;
    EXPECT_EQ(qv_decode(archive, 9, Collect, &collected, nullptr, nullptr, &error), QV_E_INVALID);
    qv_close(archive);

    // A stored byte changed: the entry no longer decodes, and the failure says so.
    qv_entry big;
    ASSERT_EQ(qv_open_memory(whole.data(), whole.size(), &archive, &error), QV_OK);
    ASSERT_EQ(qv_entry_at(archive, 2, &big), QV_OK);
    qv_close(archive);
    whole[whole.size() - big.stored_size / 2] ^= 0x55;
    ASSERT_EQ(qv_open_memory(whole.data(), whole.size(), &archive, &error), QV_OK);
    EXPECT_EQ(qv_decode(archive, 2, Collect, &collected, nullptr, nullptr, &error), QV_E_DAMAGED);
    qv_close(archive);
}

TEST_F(LibraryTest, RefusalsNameTheEntryAndTheReason) {
    Bytes whole = ReadAll(MakePayload());
    qv_archive* archive = nullptr;
    qv_error error;

    Bytes cut(whole.begin(), whole.end() - 1);
    EXPECT_EQ(qv_open_memory(cut.data(), cut.size(), &archive, &error), QV_E_REFUSED);
    EXPECT_EQ(archive, nullptr);
    EXPECT_NE(strstr(error.message, "entry 3"), nullptr) << error.message;
    EXPECT_NE(strstr(error.message, "past the end"), nullptr) << error.message;

    // "docs" becomes ".." in place: a name that would leave the destination.
    Bytes hostile = whole;
    memcpy(&hostile[1], "..\\.", 4);
    EXPECT_EQ(qv_open_memory(hostile.data(), hostile.size(), &archive, &error), QV_E_REFUSED);
    EXPECT_NE(strstr(error.message, "entry 1"), nullptr) << error.message;
    EXPECT_NE(strstr(error.message, "outside the destination"), nullptr) << error.message;

    EXPECT_EQ(qv_open_path(folder_.string().c_str(), &archive, &error), QV_E_OPEN);
    EXPECT_NE(strstr(error.message, "qv-library-"), nullptr) << error.message;
    EXPECT_EQ(qv_open_path((folder_ / "missing.qv").string().c_str(), &archive, &error), QV_E_OPEN);

    // A file that cannot be read is no damaged archive.
    FILE* write_only = fopen(MakePayload().string().c_str(), "ab");
    ASSERT_NE(write_only, nullptr);
    EXPECT_EQ(qv_open_fd(fileno(write_only), &archive, &error), QV_E_READ) << error.message;
    fclose(write_only);
}

TEST_F(LibraryTest, CancelledExtractionLeavesNoPartialFile) {
    qv_archive* archive = nullptr;
    qv_error error;
    ASSERT_EQ(qv_open_path(MakePayload().string().c_str(), &archive, &error), QV_OK);
    fs::path out = folder_ / "out";

    Counter cancel;
    cancel.cancel_at = 5;  // inside big.txt: its start is the fourth report
    qv_extract_options options = {};
    options.progress = CountProgress;
    options.context = &cancel;
    EXPECT_EQ(qv_extract(archive, out.string().c_str(), &options, &error), QV_E_CANCELLED);
    std::vector<std::string> left;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(out))
        left.push_back(entry.path().filename().string());
    EXPECT_EQ(left.size(), 2u);  // docs and the small file; nothing of big.txt
    EXPECT_FALSE(fs::exists(out / "big.txt"));

    // Only what a pattern chooses, with the folder that holds it.
    fs::path chosen = folder_ / "chosen";
    options = {};
    options.select = [](void*, const qv_entry* entry) { return entry->name_length > 10 ? 1 : 0; };
    ASSERT_EQ(qv_extract(archive, chosen.string().c_str(), &options, &error), QV_OK);
    EXPECT_TRUE(fs::is_directory(chosen / "docs"));
    EXPECT_FALSE(fs::exists(chosen / "big.txt"));
    qv_close(archive);
}

// What a test run tells its callbacks, in the order it tells it; it cancels
// at the n-th progress report.
struct Told {
    std::string said;
    Counter progress;
};

int ToldProgress(void* context, const qv_progress* progress) {
    Told* told = (Told*)context;
    told->said += "p" + std::to_string(progress->entry) + " ";
    return CountProgress(&told->progress, progress);
}

void ToldTested(void* context, const qv_entry* entry) {
    ((Told*)context)->said += "ok " + std::string(entry->name_utf8) + "\n";
}

void ToldReport(void* context, const qv_entry*, int code, const char* message) {
    ((Told*)context)->said += std::to_string(code) + " " + message + "\n";
}

TEST_F(LibraryTest, SeveralThreadsTestAndCancelAsOneDoes) {
    // Forty small files around a large one, whose stage 1 runs beside.
    fs::path path = folder_ / "m.qv";
    qv_create_options create = {};
    create.payload_only = 1;
    qv_writer* writer = nullptr;
    qv_error error;
    ASSERT_EQ(qv_writer_open(path.string().c_str(), &create, &writer, &error), QV_OK);
    std::vector<Bytes> files;
    for (size_t i = 0; i < 40; i++) files.push_back(Text(i * 997 % 20000));
    for (size_t i = 0; i < files.size(); i++) {
        std::string name = "f" + std::to_string(100 + i);
        ASSERT_EQ(qv_writer_add_memory(writer, name.c_str(), files[i].data(), files[i].size(),
                                       SOME_TIME, 0, &error),
                  QV_OK);
        if (i == 20) {
            ASSERT_EQ(qv_writer_add_memory(writer, "f120big", big_.data(), big_.size(), SOME_TIME,
                                           0, &error),
                      QV_OK);
        }
    }
    ASSERT_EQ(qv_writer_finish(writer, &error), QV_OK) << error.message;
    qv_writer_free(writer);
    qv_archive* archive = nullptr;
    ASSERT_EQ(qv_open_path(path.string().c_str(), &archive, &error), QV_OK);

    // Cancelled early, inside the large file, late, and not at all.
    for (int cancel_at : {7, 66, 110, 0}) {
        std::string said_by_one, listed_by_one;
        for (unsigned threads : {1u, 4u}) {
            SCOPED_TRACE(std::to_string(cancel_at) + " " + std::to_string(threads));
            Told told;
            told.progress.cancel_at = cancel_at;
            qv_test_options options = {};
            options.struct_size = sizeof options;
            options.threads = threads;
            options.progress = ToldProgress;
            options.tested = ToldTested;
            options.report = ToldReport;
            options.context = &told;
            EXPECT_EQ(qv_test(archive, &options, &error), cancel_at ? QV_E_CANCELLED : QV_OK);

            Bytes collected;
            Told told_bytes;
            told_bytes.progress.cancel_at = cancel_at;
            options.context = &told_bytes;
            EXPECT_EQ(qv_decode_selected(archive, &options, Collect, &collected, &error),
                      cancel_at ? QV_E_CANCELLED : QV_OK);
            EXPECT_EQ(told_bytes.said, told.said);

            fs::path out = folder_ / ("out" + std::to_string(threads));
            fs::remove_all(out);
            Counter cancel;
            cancel.cancel_at = cancel_at;
            qv_extract_options extract = {};
            extract.threads = threads;
            extract.progress = CountProgress;
            extract.context = &cancel;
            EXPECT_EQ(qv_extract(archive, out.string().c_str(), &extract, &error),
                      cancel_at ? QV_E_CANCELLED : QV_OK);
            std::string listed;
            for (const fs::directory_entry& entry : fs::directory_iterator(out))
                listed += entry.path().filename().string() + " ";
            if (threads == 1) {
                said_by_one = told.said;
                listed_by_one = listed;
                Bytes expected;
                for (size_t i = 0; i < files.size(); i++) {
                    expected.insert(expected.end(), files[i].begin(), files[i].end());
                    if (i == 20) expected.insert(expected.end(), big_.begin(), big_.end());
                }
                if (cancel_at == 0) {
                    EXPECT_TRUE(collected == expected);
                }
            } else {
                EXPECT_EQ(told.said, said_by_one);
                EXPECT_EQ(listed, listed_by_one);
            }
        }
    }
    qv_close(archive);
}

void RememberWritten(void* context, const char*, const qv_entry* entry) {
    *(int*)context = entry->narrow_interval;
}

TEST_F(LibraryTest, NarrowIntervalRuleIsKnownToTheWriterAndOnceDecoded) {
    // Bytes whose stream needs the rule under both rescale rules.
    Bytes narrow = PseudoRandomBytes(20420, 0x20000);
    fs::path path = folder_ / "n.qv";
    int written = -2;
    qv_create_options options = {};
    options.payload_only = 1;
    options.written = RememberWritten;
    options.context = &written;
    qv_writer* writer = nullptr;
    qv_error error;
    ASSERT_EQ(qv_writer_open(path.string().c_str(), &options, &writer, &error), QV_OK);
    ASSERT_EQ(qv_writer_add_memory(writer, "n.bin", narrow.data(), narrow.size(), 0, 0, &error),
              QV_OK);
    ASSERT_EQ(qv_writer_finish(writer, &error), QV_OK) << error.message;
    qv_writer_free(writer);
    EXPECT_EQ(written, 1);

    qv_archive* archive = nullptr;
    ASSERT_EQ(qv_open_path(path.string().c_str(), &archive, &error), QV_OK);
    qv_entry entry;
    ASSERT_EQ(qv_entry_at(archive, 0, &entry), QV_OK);
    EXPECT_EQ(entry.narrow_interval, -1);  // not known before decoding
    Bytes decoded(narrow.size());
    ASSERT_EQ(
        qv_decode_to_buffer(archive, 0, decoded.data(), decoded.size(), nullptr, nullptr, &error),
        QV_OK);
    EXPECT_EQ(decoded, narrow);
    ASSERT_EQ(qv_entry_at(archive, 0, &entry), QV_OK);
    EXPECT_EQ(entry.narrow_interval, 1);
    EXPECT_GT(entry.narrow_interval_steps, 0u);
    qv_close(archive);
}

TEST_F(LibraryTest, WriterRefusesWhatAnArchiveCannotHold) {
    fs::path path = folder_ / "w.qv";
    qv_writer* writer = nullptr;
    qv_error error;
    qv_create_options options = {};
    EXPECT_EQ(qv_writer_open(path.string().c_str(), &options, &writer, &error), QV_E_INVALID);
    EXPECT_NE(strstr(error.message, "stub"), nullptr) << error.message;

    options.payload_only = 1;
    ASSERT_EQ(qv_writer_open(path.string().c_str(), &options, &writer, &error), QV_OK);
    const char emoji[] = "\xF0\x9F\x98\x80.txt";  // no code page 932 form
    EXPECT_EQ(qv_writer_add_memory(writer, emoji, "x", 1, 0, 0, &error), QV_E_CANNOT_STORE);
    EXPECT_EQ(qv_writer_add_memory(writer, "a/../b", "x", 1, 0, 0, &error), QV_E_CANNOT_STORE);
    EXPECT_EQ(qv_writer_add_memory(writer, "same", "x", 1, 0, 0, &error), QV_OK);
    EXPECT_EQ(qv_writer_add_folder(writer, "same", 0, &error), QV_E_INVALID);
    EXPECT_EQ(qv_writer_add_path(writer, (folder_ / "missing").string().c_str(), &error),
              QV_E_OPEN);

    // Names that are one file on Windows; both are named.
    ASSERT_EQ(qv_writer_add_memory(writer, "dup.txt", "x", 1, 0, 0, &error), QV_OK);
    for (const char* twin : {"DUP.TXT", "Dup.Txt"}) {
        EXPECT_EQ(qv_writer_add_memory(writer, twin, "x", 1, 0, 0, &error), QV_E_UNSAFE_NAME);
        EXPECT_NE(strstr(error.message, "dup.txt and "), nullptr) << error.message;
        EXPECT_NE(strstr(error.message, twin), nullptr) << error.message;
    }
    // A file where a folder must be, and the reverse.
    ASSERT_EQ(qv_writer_add_memory(writer, "dir/f", "x", 1, 0, 0, &error), QV_OK);
    EXPECT_EQ(qv_writer_add_memory(writer, "DIR", "x", 1, 0, 0, &error), QV_E_INVALID);
    EXPECT_NE(strstr(error.message, "dir/f"), nullptr) << error.message;
    EXPECT_EQ(qv_writer_add_memory(writer, "same/g", "x", 1, 0, 0, &error), QV_E_INVALID);
    EXPECT_EQ(qv_writer_add_folder(writer, "Dir", 0, &error), QV_OK);
    // A file's name with a separator at its end; attributes of another kind.
    EXPECT_EQ(qv_writer_add_memory(writer, "x/", "x", 1, 0, 0, &error), QV_E_INVALID);
    EXPECT_EQ(qv_writer_add_memory(writer, "d.txt", "x", 1, 0, QV_ATTR_DIRECTORY, &error),
              QV_E_INVALID);
    EXPECT_EQ(qv_writer_add_memory(writer, "l.txt", "x", 1, 0, 0x400, &error), QV_E_INVALID);
    EXPECT_EQ(qv_writer_add_memory(writer, "r.txt", "x", 1, 0, 0x2000, &error), QV_E_INVALID);
    EXPECT_EQ(
        qv_writer_add_memory(writer, "h.txt", "x", 1, 0, QV_ATTR_HIDDEN | QV_ATTR_READONLY, &error),
        QV_OK);
    qv_writer_free(writer);  // unfinished: nothing is written
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 0);
}

TEST_F(LibraryTest, StoredTimeOfZeroLeavesTheSystemsTime) {
    fs::path path = folder_ / "z.qv";
    qv_create_options options = {};
    options.payload_only = 1;
    qv_writer* writer = nullptr;
    qv_error error;
    ASSERT_EQ(qv_writer_open(path.string().c_str(), &options, &writer, &error), QV_OK);
    ASSERT_EQ(qv_writer_add_folder(writer, "d", 0, &error), QV_OK);
    ASSERT_EQ(qv_writer_add_memory(writer, "d/f", "x", 1, 0, 0, &error), QV_OK);
    ASSERT_EQ(qv_writer_finish(writer, &error), QV_OK) << error.message;
    qv_writer_free(writer);

    fs::file_time_type before = fs::file_time_type::clock::now() - std::chrono::minutes(1);
    qv_archive* archive = nullptr;
    ASSERT_EQ(qv_open_path(path.string().c_str(), &archive, &error), QV_OK);
    ASSERT_EQ(qv_extract(archive, (folder_ / "out").string().c_str(), nullptr, &error), QV_OK);
    qv_close(archive);
    EXPECT_GT(fs::last_write_time(folder_ / "out" / "d"), before);
    EXPECT_GT(fs::last_write_time(folder_ / "out" / "d" / "f"), before);
}

// Between the listing and the reading, names in the folder are swapped for
// something else; the writer reads only the files and folders it listed.
TEST_F(LibraryTest, WriterRefusesWhatWasSwappedInAfterTheListing) {
    fs::path in = folder_ / "in", secret = folder_ / "secret.txt";
    std::ofstream(secret.string()) << "secret";  // as long as "listed"
    enum Swap { OTHER_FILE, LINK_TO_SECRET, OTHER_FOLDER, FOLDER_FOR_LINK };
    for (Swap swap : {OTHER_FILE, LINK_TO_SECRET, OTHER_FOLDER, FOLDER_FOR_LINK}) {
        SCOPED_TRACE(swap);
        fs::remove_all(in);
        fs::create_directories(in / "sub");
        std::ofstream((in / "sub" / "z.txt").string()) << "listed";
        std::ofstream((in / "z.txt").string()) << "listed";

        fs::path output = folder_ / "s.qv";
        qv_create_options options = {};
        options.payload_only = 1;
        qv_writer* writer = nullptr;
        qv_error error;
        ASSERT_EQ(qv_writer_open(output.string().c_str(), &options, &writer, &error), QV_OK);
        ASSERT_EQ(qv_writer_add_path(writer, in.string().c_str(), &error), QV_OK) << error.message;
        // What is swapped in has the size and time of what was listed.
        fs::file_time_type listed_time = fs::last_write_time(in / "z.txt");
        std::string swapped = "z.txt";
        std::error_code no_link;  // links may need a privilege this system does not give
        if (swap == OTHER_FILE) {
            std::ofstream((in / "other").string()) << "listed";
            fs::last_write_time(in / "other", listed_time);
            fs::rename(in / "other", in / "z.txt");
        } else if (swap == LINK_TO_SECRET) {
            fs::last_write_time(secret, listed_time);
            fs::remove(in / "z.txt");
            fs::create_symlink(secret, in / "z.txt", no_link);
        } else {
            swapped = "sub";
            fs::rename(in / "sub", folder_ / "moved");
            if (swap == OTHER_FOLDER) {
                fs::create_directories(in / "sub");
                std::ofstream((in / "sub" / "z.txt").string()) << "listed";
                fs::last_write_time(in / "sub" / "z.txt", listed_time);
            } else {
                fs::create_directory_symlink(folder_ / "moved", in / "sub", no_link);
            }
        }
        if (!no_link) {
            EXPECT_EQ(qv_writer_finish(writer, &error), QV_E_CHANGED);
            EXPECT_NE(strstr(error.message, swapped.c_str()), nullptr) << error.message;
        }
        qv_writer_free(writer);
        fs::remove_all(in);
        fs::remove_all(folder_ / "moved");
    }
    // Nothing of the output is left, finished or not.
    EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 1);
}

}  // namespace
