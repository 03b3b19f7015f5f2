// The serial port's buffering over the POSIX port, against a pseudo-terminal: what reaches the
// line when.
// Written bytes wait for a read, a flush or a close, or until 1024 are held; after a read the
// first 16 go at once, so that the line starts as soon as the sender resumes.
#include "serial_port.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

namespace {

struct posix_port : ::testing::Test {
    int master = -1;
    int slave = -1;

    void SetUp() override
    {
        char path[256];
        ASSERT_EQ(openpty(&master, &slave, path, nullptr, nullptr), 0);
        setenv("KESTREL_COM1", path, 1);
        ASSERT_EQ(open_com_port(0, 0), 1);
    }

    void TearDown() override
    {
        close_port();
        close(slave);
        close(master);
    }

    // What the line has carried so far (waits briefly for it).
    int line_bytes(unsigned char *into, int room)
    {
        struct pollfd p = {master, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            return 0;
        ssize_t n = read(master, into, (std::size_t)room);
        return n > 0 ? (int)n : 0;
    }

    void write_run(int first, int count)
    {
        for (int i = 0; i < count; i++)
            send_raw_byte(first + i);
    }

    void read_one(unsigned char value)
    {
        ASSERT_EQ(write(master, &value, 1), 1);
        EXPECT_EQ(receive_byte(), value);
    }
};

TEST_F(posix_port, holds_written_bytes_until_a_flush_before_any_read)
{
    unsigned char got[2048];
    write_run(0, 100);
    EXPECT_EQ(line_bytes(got, sizeof got), 0);
    flush_port();
    ASSERT_EQ(line_bytes(got, sizeof got), 100);
    EXPECT_EQ(got[0], 0);
    EXPECT_EQ(got[99], 99);
}

TEST_F(posix_port, after_a_read_the_first_sixteen_bytes_go_at_once_then_whole_buffers)
{
    unsigned char got[2048];
    read_one(0x42);
    write_run(1, 15);
    EXPECT_EQ(line_bytes(got, sizeof got), 0);
    write_run(16, 1);
    ASSERT_EQ(line_bytes(got, sizeof got), 16);
    for (int i = 0; i < 16; i++)
        EXPECT_EQ(got[i], i + 1);
    // The rest waits for a full buffer again.
    write_run(17, 1023);
    EXPECT_EQ(line_bytes(got, sizeof got), 0);
    write_run(1040, 1);
    int total = 0;
    while (total < 1024) {
        int n = line_bytes(got + total, (int)sizeof got - total);
        ASSERT_GT(n, 0);
        total += n;
    }
    EXPECT_EQ(total, 1024);
    EXPECT_EQ(got[0], 17);
    EXPECT_EQ(got[1023], (unsigned char)1040);
}

TEST_F(posix_port, a_read_hands_over_what_is_held_and_starts_a_new_run)
{
    unsigned char got[64];
    read_one(1);
    write_run(0, 20); // 16 go at once, 4 are held
    ASSERT_EQ(line_bytes(got, sizeof got), 16);
    read_one(2); // the held 4 go before the read
    ASSERT_EQ(line_bytes(got, sizeof got), 4);
    EXPECT_EQ(got[0], 16);
    write_run(0, 16);
    EXPECT_EQ(line_bytes(got, sizeof got), 16);
}

} // namespace
