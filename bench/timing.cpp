#include "timing.h"

#include <algorithm>
#include <chrono>
#include <exception>

namespace orvo_bench {
namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Runs per second over about `seconds`: batches between clock reads, sized so that reading
// the clock costs nothing measurable.
double rateOf(const std::function<void()>& run, double seconds) {
    Clock::time_point start = Clock::now();
    run();
    double once = std::max(secondsSince(start), 1e-9);
    long batch = std::clamp(static_cast<long>(1e-4 / once), 1L, 1000L);
    long runs = 0;
    start = Clock::now();
    double elapsed = 0;
    do {
        for (long i = 0; i < batch; ++i) run();
        runs += batch;
        elapsed = secondsSince(start);
    } while (elapsed < seconds);
    return static_cast<double>(runs) / elapsed;
}

void runOnce(Contender& c, double seconds) {
    if (!c.failure.empty()) return;
    try {
        c.rates.push_back(rateOf(c.run, seconds));
    } catch (const std::exception& e) {
        c.failure = e.what();
        c.rates.clear();
    }
}

}  // namespace

void measure(std::vector<Contender>& contenders, int rounds, double seconds) {
    for (int round = 0; round < rounds; ++round) {
        if (round % 2 == 0)
            for (Contender& c : contenders) runOnce(c, seconds);
        else
            for (auto c = contenders.rbegin(); c != contenders.rend(); ++c) runOnce(*c, seconds);
    }
}

double medianOf(const Series& series) {
    if (series.empty()) return 0;
    Series sorted = series;
    std::sort(sorted.begin(), sorted.end());
    size_t n = sorted.size();
    return n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
}

double ratioOf(const Series& a, const Series& b) {
    if (a.empty() || a.size() != b.size()) return 0;
    Series ratios;
    for (size_t i = 0; i < a.size(); ++i) ratios.push_back(b[i] > 0 ? a[i] / b[i] : 0);
    return medianOf(ratios);
}

}  // namespace orvo_bench
