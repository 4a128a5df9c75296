// A progress bar on the console's error stream for the storage transfers, while a person
// watches; nothing otherwise.
#pragma once

#include <cstdint>
#include <string>

#include "orvo-admin/report.h"

namespace orvoadmin {

class ProgressBar {
public:
    // Reports of the library's transfers on this thread go to the bar until it is destroyed.
    ProgressBar(const Invocation& inv, std::string label);
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    void show(uint64_t done, uint64_t total);

private:
    const Invocation& inv_;
    std::string label_;
    bool drawn_ = false;
};

}  // namespace orvoadmin
