#include "fixture_remote.h"

#include <chrono>
#include <cmath>

#include <nlohmann/json.hpp>

#include "host/common/text.h"

namespace plumbra::webtest {

namespace {
double db(double power)
{
    return power > 1e-12 ? 10.0 * std::log10(power) : -120.0;
}
}  // namespace

FixtureRemote::FixtureRemote()
    : momentary_(NAN)
    , inputLevel_(NAN)
    , outputPeak_(NAN)
{
    for (int i = 0; i < kNumControls; ++i) {
        applied_[static_cast<size_t>(i)].store(kControlSpecs[i].init);
        accepted_.push_back(kControlSpecs[i].init);
    }
}

FixtureRemote::~FixtureRemote()
{
    stop();
}

void FixtureRemote::start(std::FILE* record)
{
    running_ = true;
    thread_ = std::thread([this, record] {
        std::vector<float> out;
        using Clock = std::chrono::steady_clock;
        const auto period = std::chrono::nanoseconds(1000000000LL * kBlock / kRate);
        auto next = Clock::now();
        while (running_) {
            const auto begin = Clock::now();
            processBlock(record ? &out : nullptr);
            if (record) std::fwrite(out.data(), sizeof(float), out.size(), record);
            const auto us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - begin).count();
            blockTimes_[static_cast<size_t>(std::min<long long>(us, kTimeBuckets - 1))].fetch_add(
                1, std::memory_order_relaxed);
            next += period;
            const auto now = Clock::now();
            if (now > next + std::chrono::milliseconds(50)) {
                xruns_++;  // fell behind: start afresh from now
                next = now;
            }
            std::this_thread::sleep_until(next);
        }
    });
}

void FixtureRemote::stop()
{
    running_ = false;
    if (thread_.joinable()) thread_.join();
}

std::vector<float> FixtureRemote::step()
{
    std::vector<float> out;
    processBlock(&out);
    return out;
}

void FixtureRemote::processBlock(std::vector<float>* out)
{
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (lock.owns_lock() && !pending_.empty()) {
        for (const auto& [i, v] : pending_) {
            engine_.set(kControlSpecs[i].label, host::shortestText(v));
            applied_[static_cast<size_t>(i)].store(v);
        }
        pending_.clear();
        writesApplied_ = writesAccepted_;
    }
    if (lock.owns_lock()) lock.unlock();

    // Programme: noise and a 220 Hz tone under a slow swell, the same every run.
    float in[kBlock], zero[kBlock] = {}, left[kBlock], right[kBlock];
    for (int n = 0; n < kBlock; ++n, ++sample_) {
        noise_ = noise_ * 1664525u + 1013904223u;
        const double u = static_cast<double>(noise_ >> 8) / 8388608.0 - 1.0;
        const double t = static_cast<double>(sample_) / kRate;
        const double swell = 0.55 + 0.45 * std::sin(2.0 * M_PI * 0.7 * t);
        in[n] = static_cast<float>(swell * (0.4 * u + 0.2 * std::sin(2.0 * M_PI * 220.0 * t)));
    }
    float* inputs[2] = {in, zero};
    float* outputs[2] = {left, right};
    engine_.process(inputs, outputs, kBlock);
    board_.publish(engine_.meters());

    // Running levels over about 400 ms.
    const double a = std::exp(-static_cast<double>(kBlock) / (0.4 * kRate));
    double inSum = 0, outSum = 0, peak = 0;
    for (int n = 0; n < kBlock; ++n) {
        inSum += static_cast<double>(in[n]) * in[n];
        outSum += 0.5 * (static_cast<double>(left[n]) * left[n] + static_cast<double>(right[n]) * right[n]);
        peak = std::max(peak, static_cast<double>(std::max(std::fabs(left[n]), std::fabs(right[n]))));
    }
    inSquares_ = a * inSquares_ + (1 - a) * inSum / kBlock;
    outSquares_ = a * outSquares_ + (1 - a) * outSum / kBlock;
    inputLevel_ = db(inSquares_);
    momentary_ = db(outSquares_) - 0.691 + 3.0;  // unweighted stand-in for the momentary loudness
    outputPeak_ = 20.0 * std::log10(std::max(peak, 1e-6));
    blocks_++;
    if (out) {
        out->resize(2 * kBlock);
        for (int n = 0; n < kBlock; ++n) {
            (*out)[static_cast<size_t>(2 * n)] = left[n];
            (*out)[static_cast<size_t>(2 * n + 1)] = right[n];
        }
    }
}

FixtureRemote::BlockTimes FixtureRemote::takeBlockTimes()
{
    std::vector<uint32_t> counts(kTimeBuckets);
    uint64_t total = 0;
    for (int i = 0; i < kTimeBuckets; ++i)
        total += counts[static_cast<size_t>(i)] = blockTimes_[static_cast<size_t>(i)].exchange(0);
    BlockTimes t{0, 0, 0, total};
    uint64_t seen = 0;
    for (int i = 0; i < kTimeBuckets; ++i) {
        const uint32_t c = counts[static_cast<size_t>(i)];
        if (!c) continue;
        if (seen < total / 2 && seen + c >= total / 2) t.p50 = i;
        if (static_cast<double>(seen) < 0.999 * static_cast<double>(total) &&
            static_cast<double>(seen + c) >= 0.999 * static_cast<double>(total))
            t.p999 = i;
        seen += c;
        t.max = i;
    }
    return t;
}

host::remote::LiveStatus FixtureRemote::status() const
{
    host::remote::LiveStatus s;
    {
        std::lock_guard lock(mutex_);
        s.preset = preset_;
    }
    s.audio = "test fixture (no device)";
    s.uptimeSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    s.xruns = xruns_.load();
    s.rate = kRate;
    s.period = kBlock;
    s.latency = engine_.latency();
    std::lock_guard lock(mutex_);
    s.writesAccepted = writesAccepted_;
    s.writesApplied = writesApplied_;
    return s;
}

host::remote::LoudnessReading FixtureRemote::loudness() const
{
    return {momentary_.load(), momentary_.load(), NAN, outputPeak_.load(), inputLevel_.load()};
}

std::vector<float> FixtureRemote::controls() const
{
    std::lock_guard lock(mutex_);
    return accepted_;
}

std::vector<float> FixtureRemote::appliedControls() const
{
    std::vector<float> v;
    for (const auto& c : applied_) v.push_back(c.load());
    return v;
}

bool FixtureRemote::applyControls(const std::vector<std::pair<int, float>>& values, const std::string& preset)
{
    std::lock_guard lock(mutex_);
    pending_.insert(pending_.end(), values.begin(), values.end());
    for (const auto& [i, v] : values) accepted_[static_cast<size_t>(i)] = v;
    if (!preset.empty()) preset_ = preset;
    ++writesAccepted_;
    return true;
}

std::vector<host::remote::EventRecord> FixtureRemote::eventsSince(uint64_t since) const
{
    std::lock_guard lock(mutex_);
    std::vector<host::remote::EventRecord> out;
    for (const auto& e : events_)
        if (e.seq > since) out.push_back(e);
    return out;
}

void FixtureRemote::logEvent(const std::string& type, const nlohmann::ordered_json& detail)
{
    nlohmann::ordered_json e = {{"event", type}};
    if (detail.is_object()) e.update(detail);
    std::lock_guard lock(mutex_);
    events_.push_back({nextSeq_++, std::move(e)});
    if (events_.size() > 1000) events_.pop_front();
}

}  // namespace plumbra::webtest
