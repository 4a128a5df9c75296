#include "orvo-admin/progress.h"

#include "admin/transfer_progress.h"

namespace orvoadmin {
namespace {
constexpr int kWidth = 30;
}

ProgressBar::ProgressBar(const Invocation& inv, std::string label) : inv_(inv), label_(std::move(label)) {
    if (inv_.console.interactive && !inv_.json)
        dravenholt::admin::setTransferProgress([this](uint64_t done, uint64_t total) { show(done, total); });
}

ProgressBar::~ProgressBar() {
    dravenholt::admin::setTransferProgress(nullptr);
    if (drawn_) inv_.console.err << "\n";
}

void ProgressBar::show(uint64_t done, uint64_t total) {
    std::string bar;
    if (total > 0) {
        uint64_t shown = done > total ? total : done;
        int filled = int(shown * kWidth / total);
        bar = "[" + std::string(size_t(filled), '#') + std::string(size_t(kWidth - filled), '.') + "] " +
              std::to_string(shown * 100 / total) + "% ";
    }
    inv_.console.err << "\r" << label_ << " " << bar << done << (total ? " of " + std::to_string(total) : "")
                     << " bytes" << std::flush;
    drawn_ = true;
}

}  // namespace orvoadmin
