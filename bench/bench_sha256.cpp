// SHA-256 throughput of both compression paths against openssl on the same 256 MiB of data.
// Prints MB/s (MB = 10^6 bytes) by CPU time (user + system, of this process or of the openssl
// child) and by wall time, best of interleaved rounds, and the ratio ours/openssl. CPU time is
// the figure to compare: other work on the machine stretches wall time but not CPU time.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "foundation/sha256.hpp"

namespace {

constexpr std::size_t k_size = std::size_t{256} << 20;

struct Timing {
    double cpu = 1e30;
    double wall = 1e30;
};

double self_cpu()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Waited-for children and their waited-for descendants: the shell popen starts and its openssl.
double children_cpu()
{
    rusage ru{};
    getrusage(RUSAGE_CHILDREN, &ru);
    auto sec = [](const timeval& tv) {
        return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
    };
    return sec(ru.ru_utime) + sec(ru.ru_stime);
}

// Times one run of f and keeps the best figures in t.
template <class F>
void time_into(Timing& t, bool in_child, F&& f)
{
    const auto w0 = std::chrono::steady_clock::now();
    const double c0 = in_child ? children_cpu() : self_cpu();
    f();
    const double cpu = (in_child ? children_cpu() : self_cpu()) - c0;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
    t.cpu = std::min(t.cpu, cpu);
    t.wall = std::min(t.wall, wall);
}

double mbps(double secs)
{
    return secs > 0 ? static_cast<double>(k_size) / secs / 1e6 : 0;
}

std::string hex(const uint8_t* d)
{
    char s[2 * SHA256_DIGEST_SIZE + 1];
    for (std::size_t i = 0; i < SHA256_DIGEST_SIZE; ++i)
        std::snprintf(s + 2 * i, 3, "%02x", d[i]);
    return s;
}

// Runs a command that prints a digest first on its output line; returns that digest, "" on failure.
std::string run_digest_command(const std::string& cmd)
{
    std::string out;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char line[512] = {};
        if (std::fgets(line, sizeof line, p) != nullptr)
            out.assign(line, strnlen(line, 64));
        if (pclose(p) != 0)
            out.clear();
    }
    return out;
}

// openssl speed divides by user CPU time; its last line reads "sha256  <1000s of bytes/s>k".
double openssl_speed_mbps()
{
    double v = 0;
    if (FILE* p = popen("openssl speed -evp sha256 -bytes 16384 -seconds 2 2>/dev/null", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, p) != nullptr) {
            double k = 0;
            if (std::sscanf(line, "sha256 %lfk", &k) == 1)
                v = k / 1000.0;
        }
        pclose(p);
    }
    return v;
}

std::string hash_file(const std::string& path, std::vector<uint8_t>& chunk)
{
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return "";
    sha256_ctx ctx;
    sha256_init_ctx(&ctx);
    std::size_t n;
    while ((n = std::fread(chunk.data(), 1, chunk.size(), f)) > 0)
        sha256_process_bytes(chunk.data(), n, &ctx);
    std::fclose(f);
    uint8_t d[SHA256_DIGEST_SIZE];
    return hex(sha256_finish_ctx(&ctx, d));
}

int g_status = 0;

void row(const char* label, const Timing& t, bool digest_ok, const char* ok_note = "")
{
    if (!digest_ok)
        g_status = 1;
    std::printf("  %-42s %8.1f MB/s cpu %8.1f MB/s wall  %s\n", label, mbps(t.cpu), mbps(t.wall),
                digest_ok ? ok_note : "DIGEST MISMATCH");
}

bool write_file(const std::string& path, const std::vector<uint8_t>& data)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    const bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace

int main()
{
    std::vector<uint8_t> data(k_size);
    uint64_t x = 0x9E3779B97F4A7C15ULL;
    for (std::size_t i = 0; i < k_size; i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        std::memcpy(&data[i], &x, 8);
    }

    std::string path = (std::filesystem::temp_directory_path() / "jx_bench_sha256_XXXXXX").string();
    const int fd = mkstemp(path.data());
    if (fd < 0) {
        std::printf("bench_sha256: cannot create a temporary file\n");
        return 1;
    }
    close(fd);
    if (!write_file(path, data)) {
        std::printf("bench_sha256: cannot write the temporary file\n");
        std::remove(path.c_str());
        return 1;
    }

    sha256_force_portable(false);
    const bool has_ni = sha256_uses_ni();
    constexpr int rounds = 5;
    std::printf("bench_sha256: %zu bytes (256 MiB), best of %d interleaved rounds, MB = 10^6 bytes, SHA "
                "extensions %s\n",
                k_size, rounds, has_ni ? "present" : "absent");

    uint8_t d[SHA256_DIGEST_SIZE];
    sha256_buffer(data.data(), k_size, d);
    const std::string ours_digest = hex(d);
    const std::string quoted = "'" + path + "'";
    std::vector<uint8_t> chunk(1 << 20);

    // Ours and openssl take turns so that load from elsewhere on the machine hits both alike.
    Timing mem, pieces, file, ossl;
    bool mem_ok = true, pieces_ok = true, file_ok = true, ossl_ran = true, ossl_ok = true;
    for (int r = 0; r < rounds; ++r) {
        time_into(mem, false, [&] { sha256_buffer(data.data(), k_size, d); });
        mem_ok = mem_ok && hex(d) == ours_digest;
        // The way the program feeds a file: 64-byte pieces, one block per call.
        time_into(pieces, false, [&] {
            sha256_ctx ctx;
            sha256_init_ctx(&ctx);
            for (std::size_t i = 0; i < k_size; i += 64)
                sha256_process_bytes(&data[i], 64, &ctx);
            sha256_finish_ctx(&ctx, d);
        });
        pieces_ok = pieces_ok && hex(d) == ours_digest;
        std::string fdig;
        time_into(file, false, [&] { fdig = hash_file(path, chunk); });
        file_ok = file_ok && fdig == ours_digest;
        std::string od;
        time_into(ossl, true, [&] { od = run_digest_command("openssl dgst -sha256 -r " + quoted); });
        ossl_ran = ossl_ran && od.size() == 64;
        ossl_ok = ossl_ok && od == ours_digest;
    }

    const char* path_name = has_ni ? "SHA extensions" : "portable";
    char label[96];
    std::snprintf(label, sizeof label, "ours, %s, one call", path_name);
    row(label, mem, mem_ok);
    std::snprintf(label, sizeof label, "ours, %s, 64-byte pieces", path_name);
    row(label, pieces, pieces_ok);
    if (has_ni) {
        sha256_force_portable(true);
        Timing portable;
        bool ok = true;
        for (int r = 0; r < 2; ++r) {
            time_into(portable, false, [&] { sha256_buffer(data.data(), k_size, d); });
            ok = ok && hex(d) == ours_digest;
        }
        row("ours, portable, one call (best of 2)", portable, ok);
        sha256_force_portable(false);
    }
    row("ours, file in page cache, 1 MiB reads", file, file_ok);
    if (ossl_ran)
        row("openssl dgst -sha256, file in page cache", ossl, ossl_ok, "digest matches");
    Timing sum;
    std::string sdig;
    time_into(sum, true, [&] { sdig = run_digest_command("sha256sum " + quoted); });
    if (sdig.size() == 64)
        row("sha256sum, file in page cache (one run)", sum, sdig == ours_digest, "digest matches");
    std::remove(path.c_str());

    if (ossl_ran && ossl_ok) {
        std::printf("  ratio ours/openssl dgst, ours in memory:     %5.2f cpu %5.2f wall  (target >= 0.90)\n",
                    ossl.cpu / mem.cpu, ossl.wall / mem.wall);
        std::printf("  ratio ours/openssl dgst, both from the file: %5.2f cpu %5.2f wall\n",
                    ossl.cpu / file.cpu, ossl.wall / file.wall);
    } else {
        std::printf("  openssl dgst -sha256 did not run; no ratio\n");
    }
    // openssl dgst also pays for its small reads; openssl speed times the compression alone.
    const double speed = openssl_speed_mbps();
    if (speed > 0) {
        std::printf("  %-42s %8.1f MB/s cpu (user time)\n", "openssl speed -evp sha256, 16 KiB blocks",
                    speed);
        std::printf("  ratio ours/openssl speed, both in memory:    %5.2f cpu\n", mbps(mem.cpu) / speed);
    }
    return g_status;
}
