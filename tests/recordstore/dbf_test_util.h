// Helpers of the record-store tests: a fresh folder per test under the system's temporary
// folder, whole-file reads, a fixture that closes whatever a failed test left open, so that
// the library's process-wide slot table starts empty in every test, and the file-set checker
// run as a test step.
#ifndef DBF_TEST_UTIL_H
#define DBF_TEST_UTIL_H

#include <gtest/gtest.h>

#include <stdint.h>
#include <stdlib.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "dbf_check.h"
#include "dbf_dump.h"
#include "dbf_tree.h"
#include "zkw_dbf.h"

namespace dbf_test {

using bytes = std::vector<uint8_t>;

inline bytes read_all(const std::string &path)
{
    bytes out;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return out;
    uint8_t buf[8192];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.insert(out.end(), buf, buf + n);
    fclose(f);
    return out;
}

inline void write_all(const std::string &path, const bytes &content)
{
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    size_t written = content.empty() ? 0 : fwrite(content.data(), 1, content.size(), f);
    fclose(f);
    ASSERT_EQ(written, content.size()) << path;
}

inline bool exists(const std::string &path) { return std::filesystem::exists(path); }

inline long long size_of(const std::string &path)
{
    std::error_code ec;
    auto n = std::filesystem::file_size(path, ec);
    return ec ? -1 : (long long)n;
}

// Closes every record file still open in the library (and so every index file).
inline void close_all()
{
    for (int h = HANDLE_BASE; h < HANDLE_BASE + SLOT_COUNT; h++)
        if (slot_table[h - HANDLE_BASE].file && slot_table[h - HANDLE_BASE].kind == KIND_RECORD_FILE)
            close_DBF(h);
}

inline int open_slots()
{
    int n = 0;
    for (int s = 0; s < SLOT_COUNT; s++)
        n += slot_table[s].file != nullptr;
    return n;
}

class StoreTest : public ::testing::Test {
protected:
    std::filesystem::path dir;

    void SetUp() override
    {
        static int serial = 0;
        const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string("kestrel-rs-") + info->name() + "-" +
                           std::to_string((long long)std::filesystem::file_time_type::clock::now()
                                              .time_since_epoch()
                                              .count() %
                                          1000000007LL) +
                           "-" + std::to_string(serial++);
        for (char &c : name)
            if (c == '/')
                c = '_';
        dir = std::filesystem::temp_directory_path() / name;
        std::filesystem::create_directories(dir);
        close_all();
        ASSERT_EQ(open_slots(), 0);
    }

    void TearDown() override
    {
        close_all();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    // Path of a base name inside the test's folder.
    std::string base(const char *name = "set") const { return (dir / name).string(); }
    std::string file(const char *name, int n) const { return base(name) + ".db" + std::to_string(n); }
};

// The checker's messages, one a line.
inline std::string report_text(const check_report &r)
{
    std::string s;
    for (int i = 0; i < r.fault_count; i++)
        s += std::string(r.messages[i]) + "\n";
    return s;
}

// The node listing of index n of the set `base` (the dumper's), at most 64 KB of it.
inline std::string node_dump(const std::string &base, int n)
{
    const size_t limit = 65536;
    std::string path = base + ".nodes.txt";
    FILE *f = fopen(path.c_str(), "w+b");
    if (!f)
        return "(no node dump: " + path + " cannot be written)\n";
    dump_nodes(base.c_str(), n, f);
    rewind(f);
    std::string out;
    char buf[4096];
    size_t got;
    while (out.size() < limit && (got = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, got);
    fclose(f);
    remove(path.c_str());
    if (out.size() > limit) {
        out.resize(limit);
        out += "\n(node dump cut at 64 KB)\n";
    }
    return out;
}

// Runs the file-set checker on the set `base` and, when it finds any fault, fails the test
// (a fatal failure) with `when`, the faults, and the node dump of every index a fault names.
// *report keeps what the checker learnt, for the caller's summaries.
inline void expect_sound_set(const std::string &base, const std::string &when,
                             check_report *report)
{
    check_report_init(report, 20);
    if (check_file_set(base.c_str(), report) == 0)
        return;
    std::string text = "checker after " + when + ":\n" + report_text(*report);
    bool dumped[DBF_MAX_INDEX + 1] = {};
    for (int i = 0; i < report->fault_count; i++) {
        int n = 0;
        if (sscanf(report->messages[i], "index %d", &n) == 1 && n >= 1 && n <= DBF_MAX_INDEX &&
            !dumped[n]) {
            dumped[n] = true;
            text += "nodes of index " + std::to_string(n) + ":\n" + node_dump(base, n);
        }
    }
    FAIL() << text;
}

inline void expect_sound_set(const std::string &base, const std::string &when)
{
    check_report report;
    expect_sound_set(base, when, &report);
}

// The seed of a randomized run: KESTREL_SEED when it is set, else a fresh one.
inline unsigned seed_of_run()
{
    const char *env = getenv("KESTREL_SEED");
    if (env && *env)
        return (unsigned)strtoul(env, nullptr, 10);
    return std::random_device{}();
}

// One index of the plain in-memory models the randomized tests compare the library with:
// record numbers by rank, equal keys in insertion order, and the cursor as a rank.
struct model_index {
    bool open = false;
    int offset = 0, length = 0;
    std::vector<int32_t> order;
    int32_t cursor = 0;
};

// Compares the key of record r with key, as the library does (unsigned bytes).
inline int model_compare(const std::vector<bytes> &records, const model_index &ix, int32_t r,
                         const uint8_t *key)
{
    return memcmp(records[r].data() + ix.offset, key, ix.length);
}

// The rank a new record with this key gets: after every equal key.
inline int32_t model_upper(const std::vector<bytes> &records, const model_index &ix,
                           const uint8_t *key)
{
    auto after = [&](int, int32_t r) { return model_compare(records, ix, r, key) > 0; };
    return (int32_t)(std::upper_bound(ix.order.begin(), ix.order.end(), 0, after) -
                     ix.order.begin());
}

// The rank of the first record whose key is not below key.
inline int32_t model_lower(const std::vector<bytes> &records, const model_index &ix,
                           const uint8_t *key)
{
    auto before = [&](int32_t r, int) { return model_compare(records, ix, r, key) < 0; };
    return (int32_t)(std::lower_bound(ix.order.begin(), ix.order.end(), 0, before) -
                     ix.order.begin());
}

}  // namespace dbf_test

#endif
