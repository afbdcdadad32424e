#include "foundation/random.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace {

// Drawn in blocks: a message id for every chunk of a transfer must not cost a system call each.
uint8_t pool[256];
size_t pool_left = 0;
uint64_t repeat_state = 0;  // 0: the system's source

uint64_t splitmix64(uint64_t* s)
{
    uint64_t z = (*s += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

// The kernel's source; /dev/urandom where getrandom is missing. Only when both fail (no such
// kernel is supported) do time and process id stand in, which is still better than no id at all.
void system_fill(uint8_t* buf, size_t n)
{
    size_t got = 0;
    while (got < n) {
        const ssize_t r = getrandom(buf + got, n - got, 0);
        if (r > 0) {
            got += static_cast<size_t>(r);
            continue;
        }
        if (r < 0 && errno == EINTR)
            continue;
        break;
    }
    if (got == n)
        return;
    const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    while (fd >= 0 && got < n) {
        const ssize_t r = read(fd, buf + got, n - got);
        if (r <= 0 && !(r < 0 && errno == EINTR))
            break;
        got += r > 0 ? static_cast<size_t>(r) : 0;
    }
    if (fd >= 0)
        close(fd);
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    uint64_t s = static_cast<uint64_t>(ts.tv_nsec) ^ (static_cast<uint64_t>(ts.tv_sec) << 20) ^
                 (static_cast<uint64_t>(getpid()) << 40);
    for (; got < n; got++)
        buf[got] = static_cast<uint8_t>(splitmix64(&s));
}

}  // namespace

void jx_random_fill(uint8_t* buf, size_t n)
{
    // A child of fork must not hand out the bytes its parent still holds.
    static const int registered = pthread_atfork(nullptr, nullptr, [] { jx_random_repeatable(repeat_state); });
    (void)registered;
    if (repeat_state != 0) {
        for (size_t i = 0; i < n; i++)
            buf[i] = static_cast<uint8_t>(splitmix64(&repeat_state) >> 56);
        return;
    }
    while (n > 0) {
        if (pool_left == 0) {
            system_fill(pool, sizeof pool);
            pool_left = sizeof pool;
        }
        const size_t take = n < pool_left ? n : pool_left;
        std::memcpy(buf, pool + sizeof pool - pool_left, take);
        // Bytes handed out are not kept where a later overread could find them.
        std::memset(pool + sizeof pool - pool_left, 0, take);
        pool_left -= take;
        buf += take;
        n -= take;
    }
}

uint32_t jx_random_below(uint32_t bound)
{
    if (bound == 0)
        return 0;
    // Values at or above the largest multiple of bound are drawn again.
    const uint64_t limit = (uint64_t{1} << 32) - ((uint64_t{1} << 32) % bound);
    for (;;) {
        uint8_t b[4];
        jx_random_fill(b, sizeof b);
        const uint64_t v = (uint64_t{b[0]} << 24) | (uint64_t{b[1]} << 16) | (uint64_t{b[2]} << 8) | b[3];
        if (v < limit)
            return static_cast<uint32_t>(v % bound);
    }
}

void jx_random_repeatable(uint64_t seed)
{
    repeat_state = seed;
    pool_left = 0;
    std::memset(pool, 0, sizeof pool);
}
