// What the record-store benchmarks share: a clock, and running a script through the sqlite3
// shell (the comparison measured in the same run).
#ifndef KESTREL_BENCH_UTIL_H
#define KESTREL_BENCH_UTIL_H

#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <string>

namespace bench {

inline double now()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Runs script on database db with the sqlite3 shell, the script written to sql_path first.
// Returns the seconds it took, or -1 when the shell failed.
inline double run_sqlite(const std::string &db, const std::string &sql_path,
                         const std::string &script)
{
    FILE *f = fopen(sql_path.c_str(), "w");
    if (!f)
        return -1;
    fputs(script.c_str(), f);
    fclose(f);
    std::string cmd = "sqlite3 '" + db + "' < '" + sql_path + "' > /dev/null";
    double t0 = now();
    int rc = system(cmd.c_str());
    double t = now() - t0;
    if (rc != 0) {
        fprintf(stderr, "sqlite3 failed (%d)\n", rc);
        return -1;
    }
    return t;
}

} // namespace bench

#endif
