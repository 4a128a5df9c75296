#include "figures.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <fstream>

#include "bench_error.h"

namespace orvo_bench {
namespace {

constexpr double kFloorTarget = 0.95;

std::string rate(const Figures& f, const Series& series) {
    if (series.empty()) return "n/a";
    char text[32];
    std::snprintf(text, sizeof text, "%.0f", medianOf(series) * f.operation->unitsPerRun);
    return text;
}

std::string ratio(const Series& a, const Series& b) {
    double value = ratioOf(a, b);
    if (value <= 0) return "n/a";
    char text[16];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

// "met" or "MISSED" for the share `target` of `reference`, appended to `targets`; nothing when
// no target is set or a series is missing.
void judge(std::string& targets, double target, const char* reference, const Series& a, const Series& b) {
    double value = ratioOf(a, b);
    if (target <= 0 || value <= 0) return;
    char text[64];
    std::snprintf(text, sizeof text, "%s>=%g %s %s", targets.empty() ? "" : ", ", target, reference,
                  value >= target ? "met" : "MISSED");
    targets += text;
}

void row(std::ostream& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void row(std::ostream& out, const char* format, ...) {
    char line[320];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    out << line << '\n';
}

// A ratio for the chart: "-" (missing) when a series is.
std::string chartRatio(const Series& a, const Series& b) {
    double value = ratioOf(a, b);
    return value > 0 ? ratio(a, b) : "-";
}

}  // namespace

void printTransportTable(std::ostream& out, const std::vector<Figures>& all) {
    out << "Over TLS on loopback. canned: the bare TLS client against a server answering the same sizes\n"
           "without device work; floor: the bare TLS client sending the same requests to orvo-sim.\n"
           "Ratios: tr/flr transport to floor; or/flr, or/can, or/p11 orvo TLS to floor, canned, p11-kit.\n";
    const char* format = "%-24s %-6s %8s %8s %9s %8s %8s %6s %6s %6s %6s  %s";
    row(out, format, "operation", "unit", "canned", "bare TLS", "transport", "orvo TLS", "p11-kit", "tr/flr", "or/flr",
        "or/can", "or/p11", "targets");
    for (const Figures& f : all) {
        std::string targets;
        judge(targets, kFloorTarget, "floor", f.orvoTls, f.bareTls);
        judge(targets, f.operation->targets.ofCanned, "canned", f.orvoTls, f.canned);
        judge(targets, f.operation->targets.ofRemoting, "p11-kit", f.orvoTls, f.p11kitRemote);
        row(out, format, f.operation->name, f.operation->unit, rate(f, f.canned).c_str(), rate(f, f.bareTls).c_str(),
            rate(f, f.transportAlone).c_str(), rate(f, f.orvoTls).c_str(), rate(f, f.p11kitRemote).c_str(),
            ratio(f.transportAlone, f.bareTls).c_str(), ratio(f.orvoTls, f.bareTls).c_str(),
            ratio(f.orvoTls, f.canned).c_str(), ratio(f.orvoTls, f.p11kitRemote).c_str(), targets.c_str());
    }
}

void printInProcessTable(std::ostream& out, const std::vector<Figures>& all) {
    out << "In-process, no I/O (ratio: to SoftHSM2 called directly)\n";
    const char* format = "%-24s %-6s %9s %9s %6s %9s %5s %12s  %s";
    row(out, format, "operation", "unit", "SoftHSM2", "orvo", "ratio", "engine", "calls", "library/call", "targets");
    for (const Figures& f : all) {
        std::string perCall = "n/a";
        double library = medianOf(f.orvoInProcess), engine = medianOf(f.engineAlone);
        if (library > 0 && engine > 0 && f.deviceCalls > 0) {
            double micros = (1 / library - 1 / engine) * 1e6 / static_cast<double>(f.deviceCalls);
            char text[32];
            std::snprintf(text, sizeof text, "%.3f us", micros);
            perCall = micros > 0 ? text : "in noise";  // the engine's own time varies more
        }
        std::string targets;
        judge(targets, f.operation->targets.ofDirect, "SoftHSM2", f.orvoInProcess, f.softhsmDirect);
        std::string calls = std::to_string(f.deviceCalls);
        row(out, format, f.operation->name, f.operation->unit, rate(f, f.softhsmDirect).c_str(),
            rate(f, f.orvoInProcess).c_str(), ratio(f.orvoInProcess, f.softhsmDirect).c_str(),
            rate(f, f.engineAlone).c_str(), calls.c_str(), perCall.c_str(), targets.c_str());
    }
}

void writeChartData(const std::string& path, const std::vector<Figures>& all) {
    std::ofstream out(path);
    out << "# operation\torvo-tls-rate\tunit\torvo-tls/floor\torvo-tls/canned\torvo-tls/p11-kit"
           "\torvo-in-process/softhsm2\n";
    for (const Figures& f : all) {
        out << '"' << f.operation->name << "\"\t" << rate(f, f.orvoTls) << '\t' << f.operation->unit << '\t'
            << chartRatio(f.orvoTls, f.bareTls) << '\t' << chartRatio(f.orvoTls, f.canned) << '\t'
            << chartRatio(f.orvoTls, f.p11kitRemote) << '\t' << chartRatio(f.orvoInProcess, f.softhsmDirect)
            << '\n';
    }
    if (!out) throw BenchError("cannot write " + path);
}

}  // namespace orvo_bench
