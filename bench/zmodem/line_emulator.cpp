// line_emulator: a serial line of our own for the benchmarks. Two pseudo-terminal pairs and a
// relay between their masters that lets each byte arrive at the other end at the moment a
// real line would hand it over: one byte-time (10 bits: start, 8 data, stop) after the
// previous byte finished, or after it was written if the line was idle, plus a one-way
// latency. Both directions are independent.
//
//   line_emulator BAUD LATENCY-US [--seconds N] [--trace FILE] [--ber RATE]
//                 [--burst GAP-MS,LENGTH-MS,RATE] [--loss RATE] [--seed N]
//
// Prints "a PATH" and "b PATH", the slave ends (one program opens a, the other b), then runs
// until SIGTERM or SIGINT or N seconds (600 unless given), and prints one line per direction:
//   ab bytes N first F last L late_max_us M late_mean_us A late_over_100us K
// F and L: CLOCK_MONOTONIC seconds at which the first and last byte were due at the far end
// (the line's own times); the lateness figures say how far the relay's writes trailed those
// times. --trace writes every chunk taken in ("R dir read_ns first_due_ns n hex") and every
// write out ("W dir write_ns n"), times in CLOCK_MONOTONIC nanoseconds.
//
// --ber makes the line noisy: each data bit of each byte is flipped with that probability,
// independently, in both directions (start and stop bits are left alone, so a byte never
// goes missing or splits). The flips follow from --seed alone (1 unless given; each direction
// its own stream), so a run can be repeated. The trace shows the bytes as sent and each flip
// ("F dir byte_number bit", bytes counted from 0 in that direction); each direction's line
// at the end adds "flips K", the number of bits flipped.
//
// --burst adds the faults of a line that is good for a while and then bad for a moment (an
// IrDA window, a motor starting beside a cable): good stretches and bad ones alternate, each
// as long as an exponential draw with the mean given (GAP-MS good, LENGTH-MS bad, in the
// line's own time, idle or not), and inside a bad one each data bit is flipped with the
// burst's RATE. --loss drops each byte with that probability, as a receiving UART's overrun
// loses one (the byte still took its time on the line). Both follow from --seed as well, from
// streams of their own, so --ber's flips stay what they were for a seed. The trace adds
// "L dir byte_number" for each byte lost; each direction's line at the end adds "lost K".
//
// The relay keeps a descriptor of each slave open, so an end may be closed and reopened
// without the line going away. Each direction holds up to 64 KiB in flight; beyond that the
// writer is held back through the pseudo-terminal, as a full driver queue would hold it.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

enum { RING_BYTES = 65536 };

struct direction {
    const char *name;
    int src;                           // master the bytes are read from
    int dst;                           // master they are written to
    unsigned char ring[RING_BYTES];
    std::int64_t due[RING_BYTES];      // when each byte is due at the far end
    std::uint64_t head;                // next byte to deliver
    std::uint64_t tail;                // next free slot
    std::int64_t burst_origin;         // start of the current run of back-to-back bytes
    std::int64_t burst_count;          // bytes in that run so far
    std::int64_t line_free;            // when the last byte taken finishes on the line
    int blocked;                       // the far end took less than offered
    std::uint64_t bytes;
    std::int64_t first_due;
    std::int64_t last_due;
    std::int64_t late_max;
    double late_sum;
    std::uint64_t late_over;
    std::uint64_t rng;                 // state of this direction's noise
    std::uint64_t next_flip;           // bit number, counted over all bytes taken in, of the next flip
    std::uint64_t bits_taken;
    std::uint64_t flips;
    std::uint64_t faults_rng;          // state of the bursts' and losses' draws
    std::int64_t bad_from;             // the current or next bad stretch of a bursty line
    std::int64_t bad_until;
    std::uint64_t bytes_taken;
    std::uint64_t lost;
};

static direction ab_line;
static direction ba_line;
static std::int64_t baud;
static std::int64_t latency_ns;
static std::FILE *trace;
static double bit_error_rate;
static double burst_gap_ns;            // mean good stretch (0: no bursts)
static double burst_length_ns;         // mean bad stretch
static double burst_rate;              // bit error rate inside a bad stretch
static double loss_rate;               // probability that a byte is lost
static volatile std::sig_atomic_t stopping;

static std::int64_t monotonic_ns()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (std::int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

static void on_signal(int)
{
    stopping = 1;
}

static std::uint64_t splitmix(std::uint64_t *state)
{
    // splitmix64: a full-period generator that needs no library and repeats on every platform
    std::uint64_t z = (*state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// A uniform draw in (0, 1).
static double uniform(std::uint64_t *state)
{
    return ((double)(splitmix(state) >> 11) + 0.5) / 9007199254740992.0;
}

// Bits from one flip to the next: geometric with the bit error rate, so that one draw serves
// a whole run of clean bits.
static std::uint64_t flip_gap(direction *d)
{
    double u = uniform(&d->rng);
    double gap = std::floor(std::log(u) / std::log1p(-bit_error_rate));
    return gap > 1e18 ? (std::uint64_t)1e18 : (std::uint64_t)gap + 1;
}

static void seed_noise(direction *d, std::uint64_t seed)
{
    d->rng = seed;
    d->next_flip = bit_error_rate > 0 ? flip_gap(d) : UINT64_MAX;
    d->faults_rng = seed ^ 0x5DEECE66DULL;
    d->bad_from = d->bad_until = -1;
}

static std::int64_t exponential_ns(direction *d, double mean_ns)
{
    return (std::int64_t)(-std::log(uniform(&d->faults_rng)) * mean_ns);
}

// Whether a byte that is on the line at time t falls into a bad stretch; the stretches are
// drawn as the line's time reaches them, the first from the first byte on.
static int in_burst(direction *d, std::int64_t t)
{
    if (d->bad_until < 0)
        d->bad_until = t;
    while (t >= d->bad_until) {
        d->bad_from = d->bad_until + exponential_ns(d, burst_gap_ns);
        d->bad_until = d->bad_from + exponential_ns(d, burst_length_ns);
    }
    return t >= d->bad_from;
}

// The bursts' flips and the losses of the n bytes at ring position at (noise already added):
// lost bytes are dropped from the ring, the rest close up. Returns the bytes kept.
static std::size_t add_faults(direction *d, std::size_t at, std::size_t n)
{
    std::size_t kept = 0;
    for (std::size_t i = 0; i < n; i++, d->bytes_taken++) {
        unsigned char b = d->ring[at + i];
        if (burst_gap_ns > 0 && in_burst(d, d->due[at + i] - latency_ns)) {
            for (int bit = 0; bit < 8; bit++) {
                if (uniform(&d->faults_rng) < burst_rate) {
                    b ^= (unsigned char)(1u << bit);
                    d->flips++;
                }
            }
        }
        if (loss_rate > 0 && uniform(&d->faults_rng) < loss_rate) {
            d->lost++;
            if (trace)
                std::fprintf(trace, "L %s %llu\n", d->name, (unsigned long long)d->bytes_taken);
            continue;
        }
        d->ring[at + kept] = b;
        d->due[at + kept] = d->due[at + i];
        kept++;
    }
    return kept;
}

// Flips the data bits of bytes[0..n) whose turn has come.
static void add_noise(direction *d, unsigned char *bytes, std::size_t n)
{
    std::uint64_t end = d->bits_taken + 8 * (std::uint64_t)n;
    while (d->next_flip <= end) {
        std::uint64_t bit = d->next_flip - 1 - d->bits_taken;
        bytes[bit / 8] ^= (unsigned char)(1u << (bit % 8));
        d->flips++;
        if (trace)
            std::fprintf(trace, "F %s %llu %u\n", d->name,
                         (unsigned long long)((d->next_flip - 1) / 8), (unsigned)(bit % 8));
        d->next_flip += flip_gap(d);
    }
    d->bits_taken = end;
}

// When byte number count of a run that started at origin finishes: exact in integers, so a
// long run does not drift.
static std::int64_t finish_time(std::int64_t origin, std::int64_t count)
{
    return origin + count * 10000000000LL / baud;
}

// Takes in what src has, up to the free room of the ring; each byte is stamped with its time.
static void take_in(direction *d, std::int64_t now)
{
    std::uint64_t room = RING_BYTES - (d->tail - d->head);
    std::size_t at = (std::size_t)(d->tail % RING_BYTES);
    std::size_t span = RING_BYTES - at;
    if (span > room)
        span = (std::size_t)room;
    if (span == 0)
        return;
    ssize_t n = read(d->src, d->ring + at, span);
    if (n <= 0)
        return;
    if (now >= d->line_free) { // an idle line: the first byte starts now
        d->burst_origin = now;
        d->burst_count = 0;
    }
    for (ssize_t i = 0; i < n; i++) {
        d->burst_count++;
        d->due[at + (std::size_t)i] = finish_time(d->burst_origin, d->burst_count) + latency_ns;
    }
    d->line_free = finish_time(d->burst_origin, d->burst_count);
    if (trace) {
        std::fprintf(trace, "R %s %lld %lld %zd ", d->name, (long long)now,
                     (long long)d->due[at], n);
        for (ssize_t i = 0; i < n; i++)
            std::fprintf(trace, "%02x", d->ring[at + (std::size_t)i]);
        std::fputc('\n', trace);
    }
    add_noise(d, d->ring + at, (std::size_t)n);
    d->tail += add_faults(d, at, (std::size_t)n);
}

// Writes every byte whose time has come (up to the ring's end, then again from its start).
static void deliver(direction *d, std::int64_t now)
{
    while (d->head < d->tail) {
        std::size_t at = (std::size_t)(d->head % RING_BYTES);
        std::size_t n = 0;
        std::size_t span = RING_BYTES - at;
        if (span > d->tail - d->head)
            span = (std::size_t)(d->tail - d->head);
        while (n < span && d->due[at + n] <= now)
            n++;
        if (n == 0)
            return;
        ssize_t w = write(d->dst, d->ring + at, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            d->blocked = 1;
            return;
        }
        std::int64_t done = monotonic_ns();
        for (ssize_t i = 0; i < w; i++) {
            std::int64_t due = d->due[at + (std::size_t)i];
            std::int64_t late = done - due;
            if (d->bytes == 0)
                d->first_due = due;
            d->last_due = due;
            d->bytes++;
            if (late > d->late_max)
                d->late_max = late;
            d->late_sum += (double)late;
            if (late > 100000)
                d->late_over++;
        }
        if (trace)
            std::fprintf(trace, "W %s %lld %zd\n", d->name, (long long)done, w);
        d->head += (std::uint64_t)w;
        d->blocked = (std::size_t)w < n;
        if (d->blocked)
            return;
    }
}

// The earliest due time among bytes not yet written, or -1.
static std::int64_t next_due(const direction *d)
{
    if (d->head == d->tail || d->blocked)
        return -1;
    return d->due[d->head % RING_BYTES];
}

static int open_end(int *master, int *slave, char *path, std::size_t path_size)
{
    if (openpty(master, slave, nullptr, nullptr, nullptr) != 0)
        return 0;
    struct termios tio;
    if (tcgetattr(*slave, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(*slave, TCSANOW, &tio);
    }
    int flags = fcntl(*master, F_GETFL);
    fcntl(*master, F_SETFL, flags | O_NONBLOCK);
    fcntl(*master, F_SETFD, FD_CLOEXEC);
    fcntl(*slave, F_SETFD, FD_CLOEXEC);
    return ttyname_r(*slave, path, path_size) == 0;
}

static void report(const direction *d)
{
    double mean = d->bytes ? d->late_sum / (double)d->bytes / 1000.0 : 0.0;
    std::printf("%s bytes %llu first %.9f last %.9f late_max_us %.1f late_mean_us %.1f "
                "late_over_100us %llu flips %llu lost %llu\n",
                d->name, (unsigned long long)d->bytes, (double)d->first_due / 1e9,
                (double)d->last_due / 1e9, (double)d->late_max / 1000.0, mean,
                (unsigned long long)d->late_over, (unsigned long long)d->flips,
                (unsigned long long)d->lost);
}

static int usage()
{
    std::fprintf(stderr, "usage: line_emulator BAUD LATENCY-US [--seconds N] [--trace FILE] "
                         "[--ber RATE] [--burst GAP-MS,LENGTH-MS,RATE] [--loss RATE] "
                         "[--seed N]\n");
    return 2;
}

// Relays both directions between the masters, each byte due at its time on the line, until
// the end time or a stop. waiting: the signal mask under which a stop is let through.
static void relay(int master_a, int master_b, std::int64_t end, const sigset_t *waiting)
{
    while (!stopping) {
        std::int64_t now = monotonic_ns();
        if (now >= end)
            break;
        deliver(&ab_line, now);
        deliver(&ba_line, now);
        std::int64_t wake = end;
        std::int64_t due_ab = next_due(&ab_line);
        std::int64_t due_ba = next_due(&ba_line);
        if (due_ab >= 0 && due_ab < wake)
            wake = due_ab;
        if (due_ba >= 0 && due_ba < wake)
            wake = due_ba;
        std::int64_t wait = wake - monotonic_ns();
        if (wait < 0)
            wait = 0;
        if (wait > 1000000000)
            wait = 1000000000;
        struct timespec timeout = {(time_t)(wait / 1000000000), (long)(wait % 1000000000)};
        // Each master: readable for its outgoing direction while the ring has room, writable
        // for its incoming direction while the far end holds bytes back.
        struct pollfd fds[2];
        fds[0].fd = master_a;
        fds[0].events = (short)((ab_line.tail - ab_line.head < RING_BYTES ? POLLIN : 0) |
                                (ba_line.blocked ? POLLOUT : 0));
        fds[1].fd = master_b;
        fds[1].events = (short)((ba_line.tail - ba_line.head < RING_BYTES ? POLLIN : 0) |
                                (ab_line.blocked ? POLLOUT : 0));
        int ready = ppoll(fds, 2, &timeout, waiting);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            std::perror("line_emulator: ppoll");
            break;
        }
        now = monotonic_ns();
        if (fds[0].revents & POLLIN)
            take_in(&ab_line, now);
        if (fds[1].revents & POLLIN)
            take_in(&ba_line, now);
        if (fds[0].revents & POLLOUT)
            ba_line.blocked = 0;
        if (fds[1].revents & POLLOUT)
            ab_line.blocked = 0;
    }

}

// The command line into the line's globals and the run's own settings. 1, or 0 on bad usage.
static int parse_options(int argc, char **argv, double *seconds, const char **trace_path,
                         std::uint64_t *seed)
{
    if (argc < 3)
        return 0;
    baud = std::atoll(argv[1]);
    latency_ns = std::atoll(argv[2]) * 1000;
    for (int i = 3; i < argc; i++) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc)
            *seconds = std::atof(argv[++i]);
        else if (std::strcmp(argv[i], "--trace") == 0 && i + 1 < argc)
            *trace_path = argv[++i];
        else if (std::strcmp(argv[i], "--ber") == 0 && i + 1 < argc)
            bit_error_rate = std::atof(argv[++i]);
        else if (std::strcmp(argv[i], "--burst") == 0 && i + 1 < argc) {
            double gap_ms = 0, length_ms = 0;
            if (std::sscanf(argv[++i], "%lf,%lf,%lf", &gap_ms, &length_ms, &burst_rate) != 3 ||
                !(gap_ms > 0) || !(length_ms > 0) || !(burst_rate >= 0) || burst_rate > 1)
                return 0;
            burst_gap_ns = gap_ms * 1e6;
            burst_length_ns = length_ms * 1e6;
        } else if (std::strcmp(argv[i], "--loss") == 0 && i + 1 < argc)
            loss_rate = std::atof(argv[++i]);
        else if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc)
            *seed = std::strtoull(argv[++i], nullptr, 10);
        else
            return 0;
    }
    return baud > 0 && latency_ns >= 0 && *seconds > 0 && bit_error_rate >= 0 &&
           bit_error_rate < 1 && loss_rate >= 0 && loss_rate < 1;
}

int main(int argc, char **argv)
{
    double seconds = 600;
    const char *trace_path = nullptr;
    std::uint64_t seed = 1;
    if (!parse_options(argc, argv, &seconds, &trace_path, &seed))
        return usage();
    if (trace_path) {
        trace = std::fopen(trace_path, "w");
        if (!trace)
            return usage();
        static char trace_buffer[1 << 16];
        std::setvbuf(trace, trace_buffer, _IOFBF, sizeof trace_buffer);
    }
#ifdef __linux__
    // Timers fire when asked rather than up to 50 us later.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif

    // SIGTERM and SIGINT are let through only while the relay waits, so a stop is never lost
    // between a test of the flag and the wait.
    sigset_t blocked, waiting;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    sigprocmask(SIG_BLOCK, &blocked, &waiting);
    sigdelset(&waiting, SIGTERM);
    sigdelset(&waiting, SIGINT);
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = on_signal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    int master_a, slave_a, master_b, slave_b;
    char path_a[256], path_b[256];
    if (!open_end(&master_a, &slave_a, path_a, sizeof path_a) ||
        !open_end(&master_b, &slave_b, path_b, sizeof path_b)) {
        std::perror("line_emulator: openpty");
        return 1;
    }
    ab_line.name = "ab";
    ab_line.src = master_a;
    ab_line.dst = master_b;
    ba_line.name = "ba";
    ba_line.src = master_b;
    ba_line.dst = master_a;
    seed_noise(&ab_line, seed * 2);
    seed_noise(&ba_line, seed * 2 + 1);
    std::printf("a %s\nb %s\n", path_a, path_b);
    std::fflush(stdout);

    relay(master_a, master_b, monotonic_ns() + (std::int64_t)(seconds * 1e9), &waiting);

    // Times are printed on the clock of time.monotonic() and of clock_gettime alike.
    report(&ab_line);
    report(&ba_line);
    std::fflush(stdout);
    if (trace)
        std::fclose(trace);
    close(master_a);
    close(master_b);
    close(slave_a);
    close(slave_b);
    return 0;
}
