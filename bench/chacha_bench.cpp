// Throughput of the ChaCha generators and of the base-12 digit source.
// Built by hand (not part of the project build):
//   g++ -O3 -std=c++20 -Isrc bench/chacha_bench.cpp -o build/chacha_bench
//   build/chacha_bench [MHz]
// Times are the thread's CPU time (so other load on a shared machine does not
// count), printed as nanoseconds per byte and as cycles per byte at the
// nominal clock given in MHz (default: the "cpu MHz" line of /proc/cpuinfo).
// Where hardware counters work, `perf stat -e cycles` gives core cycles.
#include "cube/chacha.h"
#include "cube/move_digits.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

double cpu_ns() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e9 + ts.tv_nsec;
}

double cpuinfo_mhz() {
    std::FILE* f = std::fopen("/proc/cpuinfo", "r");
    if (!f) return 0;
    char line[256];
    double mhz = 0;
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, "cpu MHz", 7) == 0) {
            if (const char* colon = std::strchr(line, ':')) mhz = std::atof(colon + 1);
            break;
        }
    }
    std::fclose(f);
    return mhz;
}

// Best of five runs, in CPU nanoseconds.
template <class F>
double best_ns(F&& body) {
    double best = 1e300;
    for (int rep = 0; rep < 5; ++rep) {
        const double t0 = cpu_ns();
        body();
        const double t = cpu_ns() - t0;
        if (t < best) best = t;
    }
    return best;
}

volatile std::uint64_t sink;
double g_mhz = 0;

template <int R>
void chacha(const char* name) {
    constexpr std::uint64_t words = 1u << 24;
    tessaroll::ChaCha<R> gen(typename tessaroll::ChaCha<R>::Key{1, 2, 3, 4, 5, 6, 7, 8});
    const double ns = best_ns([&] {
        std::uint32_t acc = 0;
        for (std::uint64_t i = 0; i < words; ++i)
            acc ^= gen.next_u32();
        sink = acc;
    });
    const double per_byte = ns / (words * 4);
    std::printf("%-20s %6.3f ns/byte  %6.2f cycles/byte\n", name, per_byte, per_byte * g_mhz / 1e3);
}

} // namespace

int main(int argc, char** argv) {
    g_mhz = argc > 1 ? std::atof(argv[1]) : cpuinfo_mhz();
    std::printf("clock %.0f MHz\n", g_mhz);
    chacha<8>("ChaCha8 next_u32");
    chacha<12>("ChaCha12 next_u32");
    chacha<20>("ChaCha20 next_u32");
    constexpr std::uint64_t draws = 1u << 26;
    tessaroll::ChaCha<8> gen(tessaroll::ChaCha<8>::Key{8, 7, 6, 5, 4, 3, 2, 1});
    tessaroll::MoveDigits<tessaroll::ChaCha<8>> digits(gen);
    const double ns = best_ns([&] {
        std::uint64_t acc = 0;
        for (std::uint64_t i = 0; i < draws; ++i)
            acc += digits.next();
        sink = acc;
    });
    std::printf("MoveDigits<ChaCha8>  %6.3f ns/draw (%.0f M draws/s per core)\n", ns / draws,
                1e3 * draws / ns);
    return 0;
}
