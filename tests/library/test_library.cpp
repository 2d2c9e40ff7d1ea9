// libquorvane's C API: opening from a path, a descriptor and memory, names and
// patterns, the reasons of refusals, decoding with cancel, extraction, the
// writer's checks.
#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
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

    // A writer of a bare payload at `path`; NULL (and a failure) when it
    // cannot be opened.
    qv_writer* OpenPayloadWriter(const fs::path& path) {
        qv_create_options options = {};
        options.struct_size = sizeof options;
        options.payload_only = 1;
        qv_writer* writer = nullptr;
        qv_error error;
        EXPECT_EQ(qv_writer_open(path.string().c_str(), &options, &writer, &error), QV_OK)
            << error.message;
        return writer;
    }

    // A bare payload: a folder "docs", "docs/日本語.txt" and "big.txt".
    fs::path MakePayload() {
        fs::path path = folder_ / "a.qv";
        qv_writer* writer = OpenPayloadWriter(path);
        qv_error error;
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

// An archive read through callbacks from bytes in memory, which fail every
// read once `fail_reads` is set.
struct CallbackFile {
    const Bytes* bytes;
    uint64_t position = 0;
    int fail_reads = 0;  // the answer of a failed read
    int reads = 0;
};

int CallbackRead(void* context, void* buffer, size_t size, size_t* got) {
    CallbackFile* file = (CallbackFile*)context;
    file->reads++;
    if (file->fail_reads) return file->fail_reads;
    // Short reads, as from a pipe or a socket: the library must ask again.
    size_t left = file->position < file->bytes->size() ? file->bytes->size() - file->position : 0;
    *got = std::min({size, left, (size_t)1000});
    memcpy(buffer, file->bytes->data() + file->position, *got);
    file->position += *got;
    return 0;
}

int CallbackSeek(void* context, int64_t offset, int whence, uint64_t* position) {
    CallbackFile* file = (CallbackFile*)context;
    int64_t base = whence == 0   ? 0
                   : whence == 1 ? (int64_t)file->position
                                 : (int64_t)file->bytes->size();
    if (base + offset < 0) return -1;
    *position = file->position = (uint64_t)(base + offset);
    return 0;
}

int CallbackSize(void* context, uint64_t* size) {
    *size = ((CallbackFile*)context)->bytes->size();
    return 0;
}

qv_io_callbacks CallbacksOf(CallbackFile* file) {
    qv_io_callbacks io = {sizeof io, CallbackRead, CallbackSeek, CallbackSize, file};
    return io;
}

TEST_F(LibraryTest, PathDescriptorMemoryAndCallbacksGiveTheSameEntriesAndBytes) {
    fs::path path = MakePayload();
    Bytes whole = ReadAll(path);
    FILE* file = fopen(path.string().c_str(), "rb");
    ASSERT_NE(file, nullptr);
    qv_archive* archives[4] = {};
    qv_error error;
    ASSERT_EQ(qv_open_path(path.string().c_str(), &archives[0], &error), QV_OK) << error.message;
    ASSERT_EQ(qv_open_fd(fileno(file), &archives[1], &error), QV_OK) << error.message;
    ASSERT_EQ(qv_open_memory(whole.data(), whole.size(), &archives[2], &error), QV_OK);
    CallbackFile through = {&whole};
    qv_io_callbacks io = CallbacksOf(&through);
    ASSERT_EQ(qv_open_callbacks(&io, &archives[3], &error), QV_OK) << error.message;
    fclose(file);  // the archive keeps a descriptor of its own

    for (qv_archive* archive : archives) {
        ASSERT_EQ(qv_entry_count(archive), 3u);
        size_t index = 99;
        EXPECT_EQ(qv_find_entry(archive, "big.txt", &index), QV_OK);
        EXPECT_EQ(index, 2u);
        EXPECT_EQ(qv_find_entry(archive, "docs\\\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.txt", &index),
                  QV_OK);
        EXPECT_EQ(index, 1u);
        EXPECT_EQ(qv_find_entry(archive, "docs", &index), QV_OK);
        EXPECT_EQ(index, 0u);
        EXPECT_EQ(qv_find_entry(archive, "docs/", &index), QV_OK);
        EXPECT_EQ(qv_find_entry(archive, "docs/big.txt", &index), QV_E_NOT_FOUND);
        EXPECT_EQ(qv_find_entry(archive, "BIG.TXT", &index), QV_E_NOT_FOUND);
        qv_entry folder, small, big;
        folder.struct_size = sizeof folder;
        small.struct_size = sizeof small;
        big.struct_size = sizeof big;
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

    // A failed read names the reason the callback gave, when opening and when decoding.
    through.fail_reads = 5;
    EXPECT_EQ(qv_open_callbacks(&io, &archives[3], &error), QV_E_READ);
    EXPECT_EQ(error.system_error, 5);
    through.fail_reads = 0;
    ASSERT_EQ(qv_open_callbacks(&io, &archives[3], &error), QV_OK);
    through.fail_reads = 7;
    Bytes decoded(big_.size());
    EXPECT_EQ(qv_decode_to_buffer(archives[3], 2, decoded.data(), decoded.size(), nullptr, nullptr,
                                  &error),
              QV_E_READ);
    EXPECT_EQ(error.system_error, 7);
    qv_close(archives[3]);
    io.struct_size = 0;
    EXPECT_EQ(qv_open_callbacks(&io, &archives[3], &error), QV_E_INVALID);
}

TEST_F(LibraryTest, NamesArePathsOfThisSystemAndPatternsChooseEntries) {
    qv_archive* archive = nullptr;
    qv_error error;
    ASSERT_EQ(qv_open_path(MakePayload().string().c_str(), &archive, &error), QV_OK);
    qv_entry folder, small, big;
    folder.struct_size = sizeof folder;
    small.struct_size = sizeof small;
    big.struct_size = sizeof big;
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
    big.struct_size = sizeof big;
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
    EXPECT_EQ(error.system_error, QV_TEST_NOT_READABLE);
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
    options.struct_size = sizeof options;
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
    options.struct_size = sizeof options;
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
    qv_writer* writer = OpenPayloadWriter(path);
    ASSERT_NE(writer, nullptr);
    qv_error error;
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
            extract.struct_size = sizeof extract;
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
    options.struct_size = sizeof options;
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
    entry.struct_size = sizeof entry;
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
    EXPECT_NE(strstr(error.message, "struct_size"), nullptr) << error.message;
    options.struct_size = sizeof options;
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
    qv_writer* writer = OpenPayloadWriter(path);
    ASSERT_NE(writer, nullptr);
    qv_error error;
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
        qv_writer* writer = OpenPayloadWriter(output);
        ASSERT_NE(writer, nullptr);
        qv_error error;
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

TEST_F(LibraryTest, EntryAtFillsOnlyWhatTheCallerKnowsOf) {
    Bytes whole = ReadAll(MakePayload());
    qv_archive* archive = nullptr;
    qv_error error;
    ASSERT_EQ(qv_open_memory(whole.data(), whole.size(), &archive, &error), QV_OK);
    qv_entry entry;
    memset(&entry, 0xAB, sizeof entry);
    entry.struct_size = 0;
    EXPECT_EQ(qv_entry_at(archive, 2, &entry), QV_E_INVALID);
    // A caller built when the struct ended after `name`.
    entry.struct_size = offsetof(qv_entry, name_length);
    ASSERT_EQ(qv_entry_at(archive, 2, &entry), QV_OK);
    EXPECT_EQ(entry.index, 2u);
    EXPECT_EQ(entry.struct_size, offsetof(qv_entry, name_length));
    EXPECT_EQ(entry.original_size, 0xABABABABu);  // left alone
    qv_close(archive);
}

// Reads entry `index` in steps of the sizes given, in turn, until the end or
// a failure; answers the status that ended it.
int ReadInSteps(qv_archive* archive, size_t index, const std::vector<size_t>& steps, Bytes* read) {
    qv_reader* reader = nullptr;
    qv_error error;
    int code = qv_reader_open(archive, index, &reader, &error);
    if (code != QV_OK) return code;
    read->clear();
    for (size_t turn = 0;; turn++) {
        size_t step = steps[turn % steps.size()];
        size_t at = read->size(), got = 0;
        read->resize(at + step);
        code = qv_reader_read(reader, read->data() + at, step, &got, &error);
        read->resize(at + got);
        if (code != QV_OK || got == 0) break;
    }
    // A reader that has failed keeps failing, and one at its end stays there.
    size_t got = 1;
    uint8_t byte;
    EXPECT_EQ(qv_reader_read(reader, &byte, 1, &got, &error), code);
    EXPECT_EQ(got, 0u);
    qv_reader_close(reader);
    return code;
}

TEST_F(LibraryTest, PullReaderGivesWhatDecodingGivesInAnySteps) {
    Bytes narrow = PseudoRandomBytes(20420, 0x20000);  // needs the narrow-interval rule
    Bytes zeros(5 << 20, 0);  // many run-length blocks from few stored bytes
    fs::path path = folder_ / "r.qv";
    qv_writer* writer = OpenPayloadWriter(path);
    ASSERT_NE(writer, nullptr);
    qv_error error;
    ASSERT_EQ(qv_writer_add_folder(writer, "f", 0, &error), QV_OK);
    ASSERT_EQ(qv_writer_add_memory(writer, "n", narrow.data(), narrow.size(), 0, 0, &error), QV_OK);
    ASSERT_EQ(qv_writer_add_memory(writer, "z", zeros.data(), zeros.size(), 0, 0, &error), QV_OK);
    ASSERT_EQ(qv_writer_add_memory(writer, "big", big_.data(), big_.size(), 0, 0, &error), QV_OK);
    ASSERT_EQ(qv_writer_finish(writer, &error), QV_OK) << error.message;
    qv_writer_free(writer);

    qv_archive* archive = nullptr;
    ASSERT_EQ(qv_open_path(path.string().c_str(), &archive, &error), QV_OK);
    const Bytes* contents[] = {nullptr, &narrow, &zeros, &big_};
    const std::vector<std::vector<size_t>> steps = {{1, 7, 4093}, {65537}, {3 << 20}};
    for (size_t index = 0; index < 4; index++) {
        Bytes expected = contents[index] ? *contents[index] : Bytes();
        for (const std::vector<size_t>& step : steps) {
            if (step[0] == 1 && expected.size() > (1u << 20)) continue;  // slow, and no new path
            Bytes read;
            EXPECT_EQ(ReadInSteps(archive, index, step, &read), QV_OK) << index;
            EXPECT_TRUE(read == expected) << index << " in steps of " << step[0];
        }
    }
    // What decoding tells of an entry, the reader tells too.
    qv_entry entry;
    entry.struct_size = sizeof entry;
    ASSERT_EQ(qv_entry_at(archive, 1, &entry), QV_OK);
    EXPECT_EQ(entry.narrow_interval, 1);

    // Other calls on the archive between two reads leave the reader's place alone.
    qv_reader* reader = nullptr;
    ASSERT_EQ(qv_reader_open(archive, 3, &reader, &error), QV_OK);
    Bytes part(1000), other(narrow.size());
    size_t got = 0, total = 0;
    ASSERT_EQ(qv_reader_read(reader, part.data(), part.size(), &got, &error), QV_OK);
    ASSERT_EQ(qv_decode_to_buffer(archive, 1, other.data(), other.size(), nullptr, nullptr, &error),
              QV_OK);
    do {
        ASSERT_TRUE(std::equal(part.begin(), part.begin() + got, big_.begin() + total));
        total += got;
    } while (qv_reader_read(reader, part.data(), part.size(), &got, &error) == QV_OK && got > 0);
    EXPECT_EQ(total, big_.size());
    qv_reader_close(reader);
    ASSERT_EQ(qv_entry_at(archive, 3, &entry), QV_OK);
    qv_close(archive);

    // A changed stored byte of the last entry: the reader fails as decoding
    // does, and never ends as if the entry were sound.
    Bytes whole = ReadAll(path);
    whole[whole.size() - entry.stored_size / 2] ^= 0x55;
    ASSERT_EQ(qv_open_memory(whole.data(), whole.size(), &archive, &error), QV_OK);
    Bytes decoded(big_.size()), read;
    EXPECT_EQ(
        qv_decode_to_buffer(archive, 3, decoded.data(), decoded.size(), nullptr, nullptr, &error),
        QV_E_DAMAGED);
    EXPECT_EQ(ReadInSteps(archive, 3, {4093}, &read), QV_E_DAMAGED);
    EXPECT_EQ(ReadInSteps(archive, 3, {big_.size()}, &read), QV_E_DAMAGED);
    qv_close(archive);
}

int CollectWrites(void* context, const void* data, size_t size) {
    return Collect(context, data, size);
}

int FailWrites(void*, const void*, size_t) { return 28; }

TEST_F(LibraryTest, WriterGoesToAPathADescriptorOrAFunctionAlike) {
    fs::path tree = folder_ / "tree";
    fs::create_directories(tree / "sub");
    FILE* file = fopen((tree / "sub" / "a.txt").string().c_str(), "wb");
    ASSERT_NE(file, nullptr);
    fwrite(big_.data(), 1, big_.size(), file);
    fclose(file);
    file = fopen((folder_ / "lone.txt").string().c_str(), "wb");
    ASSERT_NE(file, nullptr);
    fwrite(small_.data(), 1, small_.size(), file);
    fclose(file);

    qv_create_options options = {};
    options.struct_size = sizeof options;
    options.payload_only = 1;
    options.fixed_time = 1;
    options.time = SOME_TIME;
    // The same entries into each output; the bytes from memory are the
    // caller's only during the call.
    auto add = [&](qv_writer* writer) {
        qv_error error;
        EXPECT_EQ(qv_writer_add_path_as(writer, tree.string().c_str(), "top\\renamed", &error),
                  QV_OK)
            << error.message;
        EXPECT_EQ(qv_writer_add_path_as(writer, (folder_ / "lone.txt").string().c_str(),
                                        "top/other.txt", &error),
                  QV_OK);
        EXPECT_EQ(qv_writer_add_path_as(writer, (folder_ / "lone.txt").string().c_str(),
                                        "top/renamed/sub", &error),
                  QV_E_INVALID);  // a second entry of that name
        Bytes temporary = small_;
        EXPECT_EQ(qv_writer_add_memory(writer, "mem.txt", temporary.data(), temporary.size(),
                                       SOME_TIME, 0, &error),
                  QV_OK);
        std::fill(temporary.begin(), temporary.end(), 0);
    };
    qv_writer* writer = nullptr;
    qv_error error;
    fs::path path = folder_ / "p.qv";
    ASSERT_EQ(qv_writer_open(path.string().c_str(), &options, &writer, &error), QV_OK);
    add(writer);
    ASSERT_EQ(qv_writer_finish(writer, &error), QV_OK) << error.message;
    qv_writer_free(writer);
    Bytes by_path = ReadAll(path);

    // A descriptor, from where it stands.
    fs::path by_fd_path = folder_ / "fd.qv";
    file = fopen(by_fd_path.string().c_str(), "wb");
    ASSERT_NE(file, nullptr);
    fputs("head", file);
    fflush(file);
    ASSERT_EQ(qv_writer_open_fd(fileno(file), &options, &writer, &error), QV_OK);
    add(writer);
    ASSERT_EQ(qv_writer_finish(writer, &error), QV_OK) << error.message;
    qv_writer_free(writer);
    fclose(file);
    Bytes by_fd = ReadAll(by_fd_path);
    ASSERT_GT(by_fd.size(), 4u);
    EXPECT_TRUE(Bytes(by_fd.begin() + 4, by_fd.end()) == by_path);

    Bytes by_function;
    qv_output_callbacks output = {sizeof output, CollectWrites, &by_function};
    ASSERT_EQ(qv_writer_open_callbacks(&output, &options, &writer, &error), QV_OK);
    add(writer);
    ASSERT_EQ(qv_writer_finish(writer, &error), QV_OK) << error.message;
    qv_writer_free(writer);
    EXPECT_TRUE(by_function == by_path);

    qv_archive* archive = nullptr;
    ASSERT_EQ(qv_open_memory(by_path.data(), by_path.size(), &archive, &error), QV_OK);
    size_t index = 0;
    Bytes decoded(big_.size());
    ASSERT_EQ(qv_find_entry(archive, "top/renamed/sub/a.txt", &index), QV_OK);
    EXPECT_EQ(qv_decode_to_buffer(archive, index, decoded.data(), decoded.size(), nullptr, nullptr,
                                  &error),
              QV_OK);
    EXPECT_TRUE(decoded == big_);
    ASSERT_EQ(qv_find_entry(archive, "mem.txt", &index), QV_OK);
    decoded.resize(small_.size());
    EXPECT_EQ(qv_decode_to_buffer(archive, index, decoded.data(), decoded.size(), nullptr, nullptr,
                                  &error),
              QV_OK);
    EXPECT_TRUE(decoded == small_);
    EXPECT_EQ(qv_find_entry(archive, "top/other.txt", &index), QV_OK);
    qv_close(archive);

    // Failures name the system's reason; the work file goes in every case.
    fs::path work = folder_ / "work";
    fs::create_directories(work);
    // Put back as the temporary folder it was, whether it came from these or not.
    std::string old_tmpdir = fs::temp_directory_path().string();
    std::string old_tmp = getenv("TMP") ? getenv("TMP") : old_tmpdir;
    static std::string tmpdir, tmp;  // putenv keeps the strings
    tmpdir = "TMPDIR=" + work.string();
    tmp = "TMP=" + work.string();
    putenv(&tmpdir[0]);
    putenv(&tmp[0]);
    output.write = FailWrites;
    ASSERT_EQ(qv_writer_open_callbacks(&output, &options, &writer, &error), QV_OK);
    add(writer);
    EXPECT_EQ(qv_writer_finish(writer, &error), QV_E_WRITE);
    EXPECT_EQ(error.system_error, 28);
    qv_writer_free(writer);
    EXPECT_TRUE(fs::is_empty(work));
    tmpdir = "TMPDIR=" + old_tmpdir;
    tmp = "TMP=" + old_tmp;
    putenv(&tmpdir[0]);
    putenv(&tmp[0]);
    FILE* full = fopen("/dev/full", "wb");
    if (full) {  // a device that is always full, where the system has one
        ASSERT_EQ(qv_writer_open_fd(fileno(full), &options, &writer, &error), QV_OK);
        add(writer);
        EXPECT_EQ(qv_writer_finish(writer, &error), QV_E_WRITE);
        EXPECT_EQ(error.system_error, QV_TEST_DISK_FULL) << error.message;
        qv_writer_free(writer);
        fclose(full);
    }
    // An output below a file, which no folder can be made in: refused when
    // the writer opens or when it finishes, with the system's number.
    std::string below_a_file = (folder_ / "lone.txt" / "w.qv").string();
    int code = qv_writer_open(below_a_file.c_str(), &options, &writer, &error);
    if (code == QV_OK) {
        code = qv_writer_finish(writer, &error);
        qv_writer_free(writer);
    }
    EXPECT_NE(code, QV_OK);
    EXPECT_EQ(error.system_error, QV_TEST_NOT_A_FOLDER) << error.message;
}

TEST_F(LibraryTest, WriterWithoutAStubTakesTheDefaultOne) {
    fs::path path = folder_ / "s.exe";
    qv_writer* writer = nullptr;
    qv_error error;
    int code = qv_writer_open(path.string().c_str(), nullptr, &writer, &error);
    if (!QV_TEST_BUILT_IN_STUB) {
        // Nor is one installed beside this test program.
        EXPECT_EQ(code, QV_E_NOT_FOUND);
        EXPECT_NE(strstr(error.message, "stub"), nullptr) << error.message;
        return;
    }
    ASSERT_EQ(code, QV_OK) << error.message;
    ASSERT_EQ(qv_writer_add_memory(writer, "a", "x", 1, 0, 0, &error), QV_OK);
    ASSERT_EQ(qv_writer_finish(writer, &error), QV_OK) << error.message;
    qv_archive* archive = nullptr;
    ASSERT_EQ(qv_open_path(path.string().c_str(), &archive, &error), QV_OK);
    EXPECT_GT(qv_payload_start(archive), 0u);
    EXPECT_EQ(qv_entry_count(archive), 1u);
    qv_close(archive);
    Bytes made = ReadAll(path);
    EXPECT_EQ(made[0], 'M');
    EXPECT_EQ(made[1], 'Z');
    qv_writer_free(writer);
}

}  // namespace
