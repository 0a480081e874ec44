// md5_memory_digest against OpenSSL's MD5 on buffers in memory.
//
//   md5_memory_bench [ROUNDS]
//
// Both run in this one process, in alternating turns (the order flips every
// round), on the same buffer. Per size it prints each side's best throughput,
// the ratio of those bests and the median of the per-round ratios; a ratio
// above 1 means the library is faster. Cycles per byte come from a clock
// measured on a chain of dependent additions, since hardware counters are
// often out of reach.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/md5.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "digest/md5.h"

namespace {

using Clock = std::chrono::steady_clock;

#if defined(__GNUC__)
#define BENCH_PIN(v) __asm__ volatile("" : "+r"(v))
#else
#define BENCH_PIN(v) static_cast<void>(v)
#endif

volatile unsigned g_sink;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Core cycles per second: each addition waits one cycle for the one before.
// One short sample per call; the caller keeps the fastest, taken between the
// timed turns so that a busy spell on a shared machine does not skew it.
double core_hz_sample() {
    constexpr std::uint64_t kIterations = 1'000'000;
    std::uint64_t x = 0;
    const auto start = Clock::now();
    for (std::uint64_t i = 0; i < kIterations; ++i) {
        x += 1; BENCH_PIN(x); x += 1; BENCH_PIN(x); x += 1; BENCH_PIN(x);
        x += 1; BENCH_PIN(x); x += 1; BENCH_PIN(x); x += 1; BENCH_PIN(x);
        x += 1; BENCH_PIN(x); x += 1; BENCH_PIN(x);
    }
    const double t = seconds_since(start);
    g_sink = static_cast<unsigned>(x);
    return 8.0 * static_cast<double>(kIterations) / t;
}

double time_library(const unsigned char* data, std::uint32_t len, int calls) {
    Md5Digest digest{};
    unsigned acc = 0;
    const auto start = Clock::now();
    for (int i = 0; i < calls; ++i) {
        md5_memory_digest(data, len, &digest);
        acc += digest.bytes[0];
    }
    const double t = seconds_since(start);
    g_sink = acc;
    return t;
}

double time_openssl(const unsigned char* data, std::uint32_t len, int calls) {
    unsigned char digest[MD5_DIGEST_LENGTH] = {};
    unsigned acc = 0;
    const auto start = Clock::now();
    for (int i = 0; i < calls; ++i) {
        MD5(data, len, digest);
        acc += digest[0];
    }
    const double t = seconds_since(start);
    g_sink = acc;
    return t;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void run_size(std::uint32_t len, int rounds) {
    std::vector<unsigned char> data(len);
    std::mt19937 gen(len);
    for (auto& byte : data) {
        byte = static_cast<unsigned char>(gen());
    }
    // Short turns (about 1.5 ms) so that many of them run undisturbed on a shared
    // machine, and a turn of each side first to warm caches.
    const int calls = static_cast<int>(std::max<std::uint64_t>(1, (1ULL << 20) / len));
    time_library(data.data(), len, calls);
    time_openssl(data.data(), len, calls);

    double best_lib = 1e30;
    double best_ssl = 1e30;
    std::vector<double> ratios;
    double hz = 0;
    for (int r = 0; r < rounds; ++r) {
        hz = std::max(hz, core_hz_sample());
        double t_lib = 0;
        double t_ssl = 0;
        if (r % 2 == 0) {
            t_lib = time_library(data.data(), len, calls);
            t_ssl = time_openssl(data.data(), len, calls);
        } else {
            t_ssl = time_openssl(data.data(), len, calls);
            t_lib = time_library(data.data(), len, calls);
        }
        best_lib = std::min(best_lib, t_lib);
        best_ssl = std::min(best_ssl, t_ssl);
        ratios.push_back(t_ssl / t_lib);
    }
    const double bytes = static_cast<double>(len) * calls;
    std::printf("%6u B  clock %.2f GHz | library %7.1f MB/s %5.2f c/B | OpenSSL %7.1f MB/s %5.2f c/B | "
                "ratio best %.3fx median %.3fx\n",
                len, hz / 1e9, bytes / best_lib / 1e6, hz * best_lib / bytes, bytes / best_ssl / 1e6,
                hz * best_ssl / bytes, best_ssl / best_lib, median(ratios));
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 201;
    std::printf("%d rounds; clock from a dependent-add chain; ratio = library throughput / "
                "OpenSSL throughput\n",
                rounds);
    for (const std::uint32_t len : {16384U, 1024U}) {
        run_size(len, rounds);
    }
    return 0;
}
