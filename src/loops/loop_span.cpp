#include <algorithm>

#include "loops/loop_builders.hpp"

namespace sorvane {

namespace {

class BuffersAsLoop : public LoopSource {
public:
    BuffersAsLoop(const ChannelBuffer& left, const ChannelBuffer& right, std::int32_t channelCount)
        : left_(left), right_(right), channels_(static_cast<std::size_t>(channelCount)) {}
    std::uint64_t frames() const override { return left_.size(); }
    std::size_t channels() const override { return channels_; }
    void fill(std::uint64_t first, std::size_t count, double* out) const override {
        const auto at = static_cast<std::size_t>(first);
        if (channels_ == 1) {
            std::copy(left_.begin() + static_cast<std::ptrdiff_t>(at),
                      left_.begin() + static_cast<std::ptrdiff_t>(at + count), out);
            return;
        }
        for (std::size_t i = 0; i < count; ++i) {
            out[2 * i] = left_[at + i];
            out[2 * i + 1] = right_[at + i];
        }
    }

private:
    const ChannelBuffer& left_;
    const ChannelBuffer& right_;
    std::size_t channels_;
};

class Span : public LoopSource {
public:
    Span(const LoopSource& whole, std::uint64_t start, std::uint64_t end) : whole_(whole), start_(start), end_(end) {}
    std::uint64_t frames() const override { return end_ - start_; }
    std::size_t channels() const override { return whole_.channels(); }
    void fill(std::uint64_t first, std::size_t count, double* out) const override {
        whole_.fill(start_ + first, count, out);
    }

private:
    const LoopSource& whole_;
    std::uint64_t start_;
    std::uint64_t end_;
};

} // namespace

std::unique_ptr<LoopSource> buffersAsLoop(const ChannelBuffer& left, const ChannelBuffer& right,
                                          std::int32_t channelCount) {
    return std::make_unique<BuffersAsLoop>(left, right, channelCount);
}

std::unique_ptr<LoopSource> spanOf(const LoopSource& whole, std::uint64_t start, std::uint64_t end) {
    return std::make_unique<Span>(whole, start, end);
}

} // namespace sorvane
