// Rates measured in rounds: each contender runs for a fixed time per round, and the contenders
// of one operation take turns round by round, in reverse order every other round, so that a slow
// spell of the machine hits them alike. Figures are medians over the rounds; a ratio is the
// median of the per-round ratios, each from two runs close together in time.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace orvo_bench {

// Runs per second, one figure per round; empty when not measured.
using Series = std::vector<double>;

struct Contender {
    std::string name;
    std::function<void()> run;  // one operation; throws BenchError on failure
    Series rates;
    std::string failure;        // set when a run threw; the contender then sits out
};

// Runs `rounds` rounds of about `seconds` per contender each. A contender that fails keeps an
// empty series.
void measure(std::vector<Contender>& contenders, int rounds, double seconds);

// Median of the series; 0 when empty.
double medianOf(const Series& series);
// Median over the rounds of a[i] / b[i]; 0 when either is empty.
double ratioOf(const Series& a, const Series& b);

}  // namespace orvo_bench
