// A time series of several channels kept in a fixed amount of memory however long it runs. Time
// is cut into at most `buckets` buckets of equal width; each keeps, per channel, the lowest and
// the highest value that fell into it with their times, so a one-sample spike stays visible.
// When a sample falls beyond the last bucket, neighbouring buckets are merged in pairs and the
// width doubles. The monitor's SVG is drawn from it; the benchmark measures its footprint.
#pragma once

#include <cstddef>
#include <vector>

namespace host {

class BoundedSeries {
public:
    struct Point {
        double time;
        double value;
    };

    // `buckets` is made even and at least 2.
    BoundedSeries(size_t channels, size_t buckets);

    // One value per channel at a time (seconds from 0, not decreasing); values that are not
    // finite are left out, and so is a sample at a negative or non-finite time.
    void add(double time, const std::vector<double>& values);

    size_t channels() const { return channels_; }
    size_t samples() const { return samples_; }
    double lastTime() const { return lastTime_; }
    // The points to draw for a channel in time order: per bucket its low and high in the order
    // they came (one point when they are the same sample).
    std::vector<Point> points(size_t channel) const;
    // Lowest and highest value of a channel; false when it has none.
    bool range(size_t channel, double& lo, double& hi) const;
    // Bytes held, which stays the same however many samples are added.
    size_t footprintBytes() const;

private:
    struct Cell {
        double lo;
        double hi;
        double loTime;
        double hiTime;
        bool any;
    };

    Cell& cell(size_t bucket, size_t channel) { return cells_[bucket * channels_ + channel]; }
    const Cell& cell(size_t bucket, size_t channel) const {
        return cells_[bucket * channels_ + channel];
    }
    void mergePairs();

    size_t channels_;
    size_t buckets_;
    double width_;
    size_t samples_ = 0;
    double lastTime_ = 0.0;
    std::vector<Cell> cells_;
};

}  // namespace host
