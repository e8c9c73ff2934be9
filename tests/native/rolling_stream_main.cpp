// Test driver for the one-row-per-call rolling driver (kernels/rolling.hpp).
//
//   rolling_stream STAT W N BEGIN END IN OUT STATE_IN STATE_OUT
//
// Feeds rows [BEGIN, END) of IN (rows of N doubles) one at a time, starting from the state
// in STATE_IN ("-" for the initial state, BEGIN must then be 0), writes their outputs to OUT
// and the state after row END - 1 to STATE_OUT. A state file holds, in this order:
// sum[N], sq[N] (long double), invalid[N] (int64), ring_sum[W*N], ring_sq[W*N]
// (long double), ring_invalid[W*N] (int64), each in native memory layout.
#include "fast_paths/kernels/rolling.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace rk = ee::kernels::rolling;

template <typename T> static bool io(std::FILE *f, std::vector<T> &v, bool write) {
    if (v.empty()) return true;
    return write ? std::fwrite(v.data(), sizeof(T), v.size(), f) == v.size()
                 : std::fread(v.data(), sizeof(T), v.size(), f) == v.size();
}

int main(int argc, char **argv) {
    if (argc != 10) return 2;
    const int stat = std::atoi(argv[1]);
    const long long w = std::atoll(argv[2]), n = std::atoll(argv[3]);
    const long long begin = std::atoll(argv[4]), end = std::atoll(argv[5]);
    std::vector<rk::acc_t> sum(n, 0.0L), sq(n, 0.0L), ring_sum(w * n, 0.0L), ring_sq(w * n, 0.0L);
    std::vector<std::int64_t> inv(n, 0), ring_inv(w * n, 0);
    if (std::strcmp(argv[8], "-") != 0) {
        std::FILE *f = std::fopen(argv[8], "rb");
        if (!f || !io(f, sum, false) || !io(f, sq, false) || !io(f, inv, false) ||
            !io(f, ring_sum, false) || !io(f, ring_sq, false) || !io(f, ring_inv, false))
            return 3;
        std::fclose(f);
    }
    std::vector<double> rows((end - begin) * n), out((end - begin) * n);
    std::FILE *f = std::fopen(argv[6], "rb");
    if (!f || std::fseek(f, (long) (begin * n * sizeof(double)), SEEK_SET) != 0 ||
        !io(f, rows, false))
        return 4;
    std::fclose(f);
    const bool squares = stat != 0;
    for (long long t = begin; t < end; ++t)
        rk::stream_step((rk::Stat) stat, rows.data() + (t - begin) * n,
                        out.data() + (t - begin) * n, n, t, w, sum.data(),
                        squares ? sq.data() : nullptr, inv.data(), ring_sum.data(),
                        squares ? ring_sq.data() : nullptr, ring_inv.data());
    f = std::fopen(argv[7], "wb");
    if (!f || !io(f, out, true)) return 5;
    std::fclose(f);
    f = std::fopen(argv[9], "wb");
    if (!f || !io(f, sum, true) || !io(f, sq, true) || !io(f, inv, true) ||
        !io(f, ring_sum, true) || !io(f, ring_sq, true) || !io(f, ring_inv, true))
        return 6;
    std::fclose(f);
    return 0;
}
