#include "tools/halvo-record/levels.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace halvo::record {

double toDbfs(double amplitude) {
    return amplitude > 0 ? 20 * std::log10(amplitude) : -std::numeric_limits<double>::infinity();
}

void LevelMeter::add(std::span<const float> samples) {
    for (const float sample : samples) {
        if (!std::isfinite(sample)) {
            continue;
        }
        const double magnitude = std::fabs(static_cast<double>(sample));
        peak_ = std::max(peak_, magnitude);
        sumOfSquares_ += magnitude * magnitude;
        ++count_;
    }
}

Levels LevelMeter::take() {
    Levels levels{peak_, count_ == 0 ? 0 : std::sqrt(sumOfSquares_ / static_cast<double>(count_))};
    *this = LevelMeter();
    return levels;
}

}  // namespace halvo::record
