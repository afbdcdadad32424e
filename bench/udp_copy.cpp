// jx_udp_copy: the reference the transfer benchmark measures Jexley against, a raw UDP copy of a
// file over the same link with no protocol at all.
//   jx_udp_copy send ADDR PORT FILE [BURST]
//                                     sends FILE in datagrams of 1424 bytes (the size of a full
//                                     chunk datagram) as fast as sendto allows, or in bursts of
//                                     BURST datagrams 10 ms apart, as the uploader's passes go
//                                     out; prints "send_us_per_datagram=<mean>" and "datagrams=<n>"
//   jx_udp_copy recv PORT SECONDS     counts what arrives until SECONDS pass with nothing new;
//                                     prints "bytes=<n> seconds=<first to last datagram>"
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr size_t DGRAM = 1424;  // 30-byte header + 24-byte chunk header + 1370 bytes
constexpr size_t DATA = 1370;

double now_s()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

int send_file(const char* addr, int port, const char* path, long burst)
{
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = inet_addr(addr);
    const int fd = open(path, O_RDONLY);
    if (s < 0 || fd < 0)
        return 1;
    std::vector<char> buf(DGRAM, 0);
    long n = 0;
    double spent = 0;
    ssize_t got = 0;
    while ((got = read(fd, buf.data() + (DGRAM - DATA), DATA)) > 0) {
        const double t0 = now_s();
        if (sendto(s, buf.data(), DGRAM - DATA + static_cast<size_t>(got), 0,
                   reinterpret_cast<sockaddr*>(&to), sizeof to) < 0)
            return 1;
        spent += now_s() - t0;
        n++;
        if (burst > 0 && n % burst == 0)
            usleep(10000);
    }
    std::printf("send_us_per_datagram=%.3f datagrams=%ld\n",
                n > 0 ? 1e6 * spent / static_cast<double>(n) : 0.0, n);
    return 0;
}

int receive(int port, int quiet_s)
{
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    const int big = 4 << 20;
    setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(static_cast<uint16_t>(port));
    if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0)
        return 1;
    std::puts("listening");
    std::fflush(stdout);
    char buf[2048];
    long long bytes = 0;
    double first = 0, last = 0;
    for (pollfd p{s, POLLIN, 0}; poll(&p, 1, bytes == 0 ? 60000 : quiet_s * 1000) > 0;) {
        const ssize_t n = recv(s, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        last = now_s();
        if (bytes == 0)
            first = last;
        bytes += n - static_cast<ssize_t>(DGRAM - DATA);
    }
    std::printf("bytes=%lld seconds=%.6f\n", bytes, last - first);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if ((argc == 5 || argc == 6) && std::strcmp(argv[1], "send") == 0)
        return send_file(argv[2], std::atoi(argv[3]), argv[4], argc == 6 ? std::atol(argv[5]) : 0);
    if (argc == 4 && std::strcmp(argv[1], "recv") == 0)
        return receive(std::atoi(argv[2]), std::atoi(argv[3]));
    std::fprintf(stderr, "usage: jx_udp_copy send ADDR PORT FILE [BURST] | recv PORT SECONDS\n");
    return 2;
}
