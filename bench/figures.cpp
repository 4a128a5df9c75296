#include "figures.h"

#include <cstdarg>
#include <cstdio>

namespace orvo_bench {
namespace {

constexpr double kFloorTarget = 0.95;
constexpr double kSoftHsmTarget = 0.5;

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

bool isRandom32(const Figures& f) { return f.operation == &kOperations[0]; }
bool isAttributes(const Figures& f) { return f.operation == &kOperations[2]; }

std::string verdict(bool met) { return met ? "met" : "MISSED"; }

void row(std::ostream& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void row(std::ostream& out, const char* format, ...) {
    char line[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    out << line << '\n';
}

}  // namespace

void printTransportTable(std::ostream& out, const std::vector<Figures>& all) {
    out << "Over TLS on loopback against orvo-sim (ratio: to the bare TLS floor)\n";
    row(out, "%-24s %-6s %9s %9s %6s %9s %6s %9s %6s  %s", "operation", "unit", "bare TLS", "transport", "ratio",
        "orvo TLS", "ratio", "p11-kit", "ratio", "targets");
    for (const Figures& f : all) {
        std::string targets;
        double toFloor = ratioOf(f.orvoTls, f.bareTls);
        if (toFloor > 0) targets = ">=0.95 of floor " + verdict(toFloor >= kFloorTarget);
        double toRemoting = ratioOf(f.orvoTls, f.p11kitRemote);
        if ((isRandom32(f) || isAttributes(f)) && toRemoting > 0)
            targets += ", >= p11-kit " + verdict(toRemoting >= 1);
        row(out, "%-24s %-6s %9s %9s %6s %9s %6s %9s %6s  %s", f.operation->name, f.operation->unit,
            rate(f, f.bareTls).c_str(), rate(f, f.transportAlone).c_str(), ratio(f.transportAlone, f.bareTls).c_str(),
            rate(f, f.orvoTls).c_str(), ratio(f.orvoTls, f.bareTls).c_str(), rate(f, f.p11kitRemote).c_str(),
            ratio(f.p11kitRemote, f.bareTls).c_str(), targets.c_str());
    }
}

void printInProcessTable(std::ostream& out, const std::vector<Figures>& all) {
    out << "In-process, no I/O (ratio: to SoftHSM2 called directly)\n";
    row(out, "%-24s %-6s %9s %9s %6s %9s %5s %12s  %s", "operation", "unit", "SoftHSM2", "orvo", "ratio", "engine",
        "calls", "library/call", "targets");
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
        double toSoftHsm = ratioOf(f.orvoInProcess, f.softhsmDirect);
        if (isRandom32(f) && toSoftHsm > 0) targets = ">=0.5 of SoftHSM2 " + verdict(toSoftHsm >= kSoftHsmTarget);
        row(out, "%-24s %-6s %9s %9s %6s %9s %5zu %12s  %s", f.operation->name, f.operation->unit,
            rate(f, f.softhsmDirect).c_str(), rate(f, f.orvoInProcess).c_str(),
            ratio(f.orvoInProcess, f.softhsmDirect).c_str(), rate(f, f.engineAlone).c_str(), f.deviceCalls,
            perCall.c_str(), targets.c_str());
    }
}

}  // namespace orvo_bench
