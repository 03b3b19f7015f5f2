// A folder of its own for each test, beside the test program, so that tests running in
// parallel never share a settings file or a file set. Paths use the separator of the
// program's own path (a backslash under Windows).
#ifndef KESTREL_TEST_FOLDER_H
#define KESTREL_TEST_FOLDER_H

#include "platform.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

inline char program_separator()
{
    char path[1024];
    if (platform_program_path(path, sizeof path) == 0)
        return '/';
    return std::string(path).find('\\') != std::string::npos ? '\\' : '/';
}

// The running program's folder, with its trailing separator.
inline std::string program_folder()
{
    char path[1024];
    if (platform_program_path(path, sizeof path) == 0)
        return std::string();
    std::string text(path);
    return text.substr(0, text.find_last_of("\\/") + 1);
}

class test_folder {
public:
    // Makes an empty folder named after the running test.
    test_folder()
    {
        const testing::TestInfo *info = testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string("t-") + info->test_suite_name() + "-" + info->name();
        for (char &c : name) {
            if (c == '/' || c == '\\')
                c = '_';
        }
        path_ = program_folder() + name + program_separator();
        std::error_code error;
        std::filesystem::remove_all(path_, error);
        std::filesystem::create_directories(path_, error);
    }
    ~test_folder()
    {
        std::error_code error;
        std::filesystem::remove_all(path_, error);
    }
    test_folder(const test_folder &) = delete;
    test_folder &operator=(const test_folder &) = delete;

    // The folder with its trailing separator.
    const std::string &path() const { return path_; }
    std::string file(const char *name) const { return path_ + name; }

    void write(const char *name, const std::string &bytes) const
    {
        std::FILE *out = std::fopen(file(name).c_str(), "wb");
        ASSERT_NE(out, nullptr) << file(name);
        std::fwrite(bytes.data(), 1, bytes.size(), out);
        std::fclose(out);
    }
    // The file's bytes; "<missing>" when it cannot be read.
    std::string read(const char *name) const
    {
        std::FILE *in = std::fopen(file(name).c_str(), "rb");
        if (!in)
            return "<missing>";
        std::string bytes;
        char chunk[4096];
        std::size_t got;
        while ((got = std::fread(chunk, 1, sizeof chunk, in)) > 0)
            bytes.append(chunk, got);
        std::fclose(in);
        return bytes;
    }
    bool exists(const char *name) const
    {
        std::error_code error;
        return std::filesystem::exists(file(name), error);
    }

private:
    std::string path_;
};

#endif
