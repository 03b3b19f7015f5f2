// Lookup conversion against the record store's own bulk load of the same records, beside
// SQLite's .import of the same file into a table whose two indexes exist before the import.
//
// Lookup files of 40-character lines (CR LF) are generated with random or ascending keys:
// key 1 is characters 1 to 13, key 2 characters 14 to 23. Each file is converted with one
// and with two keys. The bulk load creates the same file set and appends the same records
// with add_member, with no reading or cutting of lines; the ratio conversion / bulk load is
// what the conversion's own work costs (target: at most 1.1).
//
// Usage: convert_bench [lines ...]   (default: 100000 1000000)
// Run from a folder with room for the files (about 100 bytes per line); sqlite3 is optional.
#include "lookup_convert.h"
#include "message_box.h"
#include "progress.h"
#include "settings.h"
#include "zkw_dbf.h"

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

// The bench draws nothing and shows nothing.
char status_text[256];
void show_progress(int, int) {}
void progress_phase(progress_unit, long) {}
void message_box(message_owner, const char *, const char *, unsigned) {}

namespace {

const int LINE_LENGTH = 40;
const char FOLDER[] = "convert-bench-data/";

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Processor time of this process (user and system), which other processes on a busy machine
// disturb far less than the wall clock.
double cpu_seconds()
{
    return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

struct timing {
    double wall;
    double cpu;
};

// Writes the lookup file and returns its records (the lines without CR LF).
std::vector<char> generate(const std::string &path, long lines, bool sorted)
{
    std::vector<char> records(static_cast<std::size_t>(lines) * LINE_LENGTH);
    std::mt19937_64 random(12345);
    std::FILE *out = std::fopen(path.c_str(), "wb");
    if (!out) {
        std::perror(path.c_str());
        std::exit(1);
    }
    char line[96]; // room for any number the format can print; the keys stay within 23 digits
    for (long i = 0; i < lines; i++) {
        unsigned long long key1 = sorted ? static_cast<unsigned long long>(i) * 7
                                         : random() % 10000000000000ULL;
        unsigned long long key2 = sorted ? static_cast<unsigned long long>(i)
                                         : random() % 10000000000ULL;
        std::snprintf(line, sizeof line, "%013llu%010lluITEM %-12ld\r\n", key1, key2, i % 1000000);
        std::memcpy(&records[static_cast<std::size_t>(i) * LINE_LENGTH], line, LINE_LENGTH);
        std::fwrite(line, 1, LINE_LENGTH + 2, out);
    }
    std::fclose(out);
    return records;
}

void configure(int keys)
{
    settings.line_length = LINE_LENGTH;
    settings.key1_offset = 1;
    settings.key1_length = 13;
    settings.key2_offset = keys == 2 ? 14 : 0;
    settings.key2_length = keys == 2 ? 10 : 0;
}

timing time_conversion(const std::string &lookup, int keys)
{
    configure(keys);
    lookup_handle = platform_open_read(lookup.c_str());
    auto start = std::chrono::steady_clock::now();
    double cpu_start = cpu_seconds();
    int ok = convert_lookup();
    timing took = {seconds_since(start), cpu_seconds() - cpu_start};
    platform_close(lookup_handle);
    if (!ok) {
        std::fprintf(stderr, "conversion failed\n");
        std::exit(1);
    }
    remove_DBF(temp_base);
    return took;
}

timing time_bulk_load(const std::vector<char> &records, long lines, int keys)
{
    const std::string base = std::string(FOLDER) + "bulk";
    remove_DBF(base.c_str());
    auto start = std::chrono::steady_clock::now();
    double cpu_start = cpu_seconds();
    int handle = create_DBF(base.c_str(), LINE_LENGTH);
    create_index(handle, 1, 0, 13);
    if (keys == 2)
        create_index(handle, 2, 13, 10);
    close_DBF(handle);
    handle = open_DBF(base.c_str());
    for (long i = 0; i < lines; i++)
        add_member(handle, &records[static_cast<std::size_t>(i) * LINE_LENGTH]);
    int count = member_in_DBF(handle);
    close_DBF(handle);
    timing took = {seconds_since(start), cpu_seconds() - cpu_start};
    if (count != lines) {
        std::fprintf(stderr, "bulk load made %d records of %ld\n", count, lines);
        std::exit(1);
    }
    remove_DBF(base.c_str());
    return took;
}

// -1 when sqlite3 is not there.
double time_sqlite_import(const std::string &lookup)
{
    const std::string db = std::string(FOLDER) + "import.sqlite";
    std::remove(db.c_str());
    const std::string script = std::string(FOLDER) + "import.sql";
    std::FILE *out = std::fopen(script.c_str(), "w");
    std::fprintf(out,
                 "CREATE TABLE lookup(line TEXT);\n"
                 "CREATE INDEX key1 ON lookup(substr(line, 1, 13));\n"
                 "CREATE INDEX key2 ON lookup(substr(line, 14, 10));\n"
                 ".mode list\n"
                 ".separator \"\\t\" \"\\n\"\n" // .import takes the CR off each line
                 ".import %s lookup\n",
                 lookup.c_str());
    std::fclose(out);
    const std::string command = "sqlite3 " + db + " < " + script + " > /dev/null 2>&1";
    auto start = std::chrono::steady_clock::now();
    int status = std::system(command.c_str());
    double took = seconds_since(start);
    std::remove(db.c_str());
    std::remove(script.c_str());
    return status == 0 ? took : -1.0;
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<long> sizes;
    for (int i = 1; i < argc; i++)
        sizes.push_back(std::atol(argv[i]));
    if (sizes.empty())
        sizes = {100000, 1000000};

    std::system((std::string("mkdir -p ") + FOLDER).c_str());
    if (!load_settings_for((std::string(FOLDER) + "kestrel").c_str()))
        return 1;

    std::printf("%-9s %-6s %-4s %11s %11s %7s %5s %9s %11s\n", "lines", "order", "keys",
                "convert/s", "bulk/s", "ratio", "", "cpu ratio", "sqlite/s");
    for (long lines : sizes) {
        for (int sorted = 0; sorted <= 1; sorted++) {
            const std::string lookup = std::string(FOLDER) + "lookup.txt";
            std::vector<char> records = generate(lookup, lines, sorted != 0);
            double sqlite = time_sqlite_import(lookup);
            for (int keys = 1; keys <= 2; keys++) {
                // Best of a few runs (three for the small files, where one run is short and
                // noisy), each pair in turn in either order: the one that goes first shares the
                // machine with the write-back of the lookup file just generated.
                const int runs = lines <= 200000 ? 3 : 2;
                timing convert = {1e30, 1e30}, bulk = {1e30, 1e30};
                for (int run = 0; run < runs; run++) {
                    timing b = run % 2 ? time_bulk_load(records, lines, keys) : timing{1e30, 1e30};
                    timing c = time_conversion(lookup, keys);
                    if (run % 2 == 0)
                        b = time_bulk_load(records, lines, keys);
                    convert = c.wall < convert.wall ? c : convert;
                    bulk = b.wall < bulk.wall ? b : bulk;
                }
                const double ratio = convert.wall / bulk.wall;
                const double count = static_cast<double>(lines);
                std::printf("%-9ld %-6s %-4d %11.0f %11.0f %7.3f %5s %9.3f %11.0f\n", lines,
                            sorted ? "sorted" : "random", keys, count / convert.wall,
                            count / bulk.wall, ratio, ratio <= 1.1 ? "ok" : "OVER",
                            convert.cpu / bulk.cpu, sqlite > 0 ? count / sqlite : 0.0);
                std::fflush(stdout);
            }
            std::remove(lookup.c_str());
        }
    }
    return 0;
}
