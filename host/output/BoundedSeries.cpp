#include "output/BoundedSeries.h"

#include <cmath>

namespace host {

namespace {

// The first bucket width, in seconds; it doubles as the run grows.
constexpr double kFirstWidth = 0.001;

}  // namespace

BoundedSeries::BoundedSeries(size_t channels, size_t buckets)
    : channels_(channels),
      buckets_(buckets < 2 ? 2 : buckets + buckets % 2),
      width_(kFirstWidth),
      cells_(buckets_ * channels_, Cell{0.0, 0.0, 0.0, 0.0, false}) {}

void BoundedSeries::add(double time, const std::vector<double>& values) {
    if (!std::isfinite(time) || time < 0.0) {
        return;
    }
    while (time / width_ >= static_cast<double>(buckets_)) {
        mergePairs();
    }
    const size_t bucket = static_cast<size_t>(time / width_);
    for (size_t c = 0; c < channels_ && c < values.size(); ++c) {
        const double v = values[c];
        if (!std::isfinite(v)) {
            continue;
        }
        Cell& x = cell(bucket, c);
        if (!x.any || v < x.lo) {
            x.lo = v;
            x.loTime = time;
        }
        if (!x.any || v > x.hi) {
            x.hi = v;
            x.hiTime = time;
        }
        x.any = true;
    }
    ++samples_;
    lastTime_ = time;
}

void BoundedSeries::mergePairs() {
    for (size_t b = 0; b < buckets_; ++b) {
        for (size_t c = 0; c < channels_; ++c) {
            Cell merged{0.0, 0.0, 0.0, 0.0, false};
            if (b < buckets_ / 2) {
                merged = cell(2 * b, c);
                const Cell& second = cell(2 * b + 1, c);
                if (second.any && (!merged.any || second.lo < merged.lo)) {
                    merged.lo = second.lo;
                    merged.loTime = second.loTime;
                }
                if (second.any && (!merged.any || second.hi > merged.hi)) {
                    merged.hi = second.hi;
                    merged.hiTime = second.hiTime;
                }
                merged.any = merged.any || second.any;
            }
            cell(b, c) = merged;
        }
    }
    width_ *= 2.0;
}

std::vector<BoundedSeries::Point> BoundedSeries::points(size_t channel) const {
    std::vector<Point> out;
    for (size_t b = 0; b < buckets_ && channel < channels_; ++b) {
        const Cell& x = cell(b, channel);
        if (!x.any) {
            continue;
        }
        if (x.lo == x.hi) {
            out.push_back({x.loTime, x.lo});
        } else if (x.loTime <= x.hiTime) {
            out.push_back({x.loTime, x.lo});
            out.push_back({x.hiTime, x.hi});
        } else {
            out.push_back({x.hiTime, x.hi});
            out.push_back({x.loTime, x.lo});
        }
    }
    return out;
}

bool BoundedSeries::range(size_t channel, double& lo, double& hi) const {
    bool any = false;
    for (size_t b = 0; b < buckets_ && channel < channels_; ++b) {
        const Cell& x = cell(b, channel);
        if (x.any) {
            lo = any && lo < x.lo ? lo : x.lo;
            hi = any && hi > x.hi ? hi : x.hi;
            any = true;
        }
    }
    return any;
}

size_t BoundedSeries::footprintBytes() const {
    return sizeof(*this) + cells_.capacity() * sizeof(Cell);
}

}  // namespace host
