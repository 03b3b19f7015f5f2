// The platform's file calls as the settings and the conversion use them, run against the real
// calls of each build (POSIX natively, Windows under Wine).
#include "platform.h"

#include "test_folder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

TEST(platform_file_test, write_then_read_back_with_size_and_rewind)
{
    test_folder folder;
    std::string path = folder.file("data.bin");
    platform_file out = platform_create_write(path.c_str());
    ASSERT_NE(out, PLATFORM_FILE_INVALID);
    const char bytes[] = "ab\0\r\n\xFF" "cd";
    EXPECT_EQ(platform_write(out, bytes, 8), 8);
    platform_close(out);

    platform_file in = platform_open_read(path.c_str());
    ASSERT_NE(in, PLATFORM_FILE_INVALID);
    EXPECT_EQ(platform_file_size(in), 8u);
    char got[16];
    EXPECT_EQ(platform_read(in, got, 5), 5);
    EXPECT_EQ(platform_read(in, got + 5, 16), 3);
    EXPECT_EQ(std::memcmp(got, bytes, 8), 0);
    EXPECT_EQ(platform_read(in, got, 16), 0);
    platform_rewind(in);
    EXPECT_EQ(platform_read(in, got, 2), 2);
    EXPECT_EQ(got[1], 'b');
    platform_close(in);
}

TEST(platform_file_test, create_replaces_an_existing_file)
{
    test_folder folder;
    folder.write("f.txt", "a longer earlier content");
    platform_file out = platform_create_write(folder.file("f.txt").c_str());
    ASSERT_NE(out, PLATFORM_FILE_INVALID);
    platform_write(out, "new", 3);
    platform_close(out);
    EXPECT_EQ(folder.read("f.txt"), "new");
}

TEST(platform_file_test, missing_files_and_folders_do_not_open_for_reading)
{
    test_folder folder;
    EXPECT_EQ(platform_open_read(folder.file("missing.txt").c_str()), PLATFORM_FILE_INVALID);
    // The lookup path of an empty file name names the folder itself.
    EXPECT_EQ(platform_open_read(folder.path().c_str()), PLATFORM_FILE_INVALID);
    EXPECT_EQ(platform_create_write(folder.file("no/such/f.txt").c_str()),
              PLATFORM_FILE_INVALID);
    // Nor does anything that is not a regular file, and a FIFO without a writer is refused
    // at once instead of blocking the open (the alarm ends a test that would hang).
#ifdef _WIN32
    EXPECT_EQ(platform_open_read("NUL"), PLATFORM_FILE_INVALID);
#else
    std::string fifo = folder.file("fifo.txt");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    alarm(10);
    EXPECT_EQ(platform_open_read(fifo.c_str()), PLATFORM_FILE_INVALID);
    EXPECT_EQ(platform_open_read("/dev/null"), PLATFORM_FILE_INVALID);
    alarm(0);
#endif
}

TEST(platform_program_test, path_names_this_program_and_refuses_a_short_buffer)
{
    char path[1024];
    int length = platform_program_path(path, sizeof path);
    ASSERT_GT(length, 0);
    EXPECT_EQ(static_cast<std::size_t>(length), std::strlen(path));
    EXPECT_NE(std::string(path).find("platform_test"), std::string::npos) << path;

    char small[8];
    EXPECT_EQ(platform_program_path(small, sizeof small), 0);
    EXPECT_EQ(platform_program_path(path, length), 0);
    EXPECT_EQ(platform_program_path(path, length + 1), length);
}

} // namespace
