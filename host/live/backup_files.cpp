// Backup files: decoded by libsndfile on a thread of their own, resampled by
// libsoxr where a file's rate is not the engine's, and handed to the audio
// thread through a single-producer single-consumer ring of a few seconds.
#include "host/live/backup_files.h"

#include <sndfile.h>
#include <soxr.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <thread>

namespace plumbra::host::live {

namespace {

namespace fs = std::filesystem;

constexpr double kRingSeconds = 4.0;    // decoded ahead, at most
constexpr int64_t kChunkFrames = 4096;  // frames decoded per step
constexpr auto kFullWait = std::chrono::milliseconds(10);
constexpr auto kNothingPlayableWait = std::chrono::milliseconds(500);
constexpr std::size_t kMaxProblems = 64;  // kept for takeProblems()

// Stereo frames from one producer to one consumer. Each side owns its index;
// the other only reads it, so neither ever waits.
class StereoRing {
public:
    explicit StereoRing(std::size_t minFrames)
    {
        std::size_t n = 1;
        while (n < minFrames) n <<= 1;
        left_.assign(n, 0.0f);
        right_.assign(n, 0.0f);
        mask_ = n - 1;
    }

    std::size_t capacity() const { return mask_ + 1; }

    // Producer: room for this many frames.
    std::size_t space() const
    {
        return capacity() -
               static_cast<std::size_t>(write_.load(std::memory_order_relaxed) - read_.load(std::memory_order_acquire));
    }

    // Producer: appends up to `frames` interleaved stereo frames; returns how many.
    std::size_t push(const float* interleaved, std::size_t frames)
    {
        const uint64_t w = write_.load(std::memory_order_relaxed);
        const std::size_t n = std::min(frames, space());
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t at = static_cast<std::size_t>(w + i) & mask_;
            left_[at] = interleaved[2 * i];
            right_[at] = interleaved[2 * i + 1];
        }
        write_.store(w + n, std::memory_order_release);
        return n;
    }

    // Consumer: takes up to `frames` frames; returns how many.
    std::size_t pop(float* left, float* right, std::size_t frames) noexcept
    {
        const uint64_t r = read_.load(std::memory_order_relaxed);
        const std::size_t avail = static_cast<std::size_t>(write_.load(std::memory_order_acquire) - r);
        const std::size_t n = std::min(frames, avail);
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t at = static_cast<std::size_t>(r + i) & mask_;
            left[i] = left_[at];
            right[i] = right_[at];
        }
        read_.store(r + n, std::memory_order_release);
        return n;
    }

private:
    std::vector<float> left_, right_;
    std::size_t mask_ = 0;
    alignas(64) std::atomic<uint64_t> write_{0};
    alignas(64) std::atomic<uint64_t> read_{0};
};

struct SndFile {
    SNDFILE* f = nullptr;
    SF_INFO info{};
    explicit SndFile(const std::string& path) { f = sf_open(path.c_str(), SFM_READ, &info); }
    ~SndFile()
    {
        if (f) sf_close(f);
    }
    SndFile(const SndFile&) = delete;
    SndFile& operator=(const SndFile&) = delete;
    // Why it did not open, or why it cannot be played; empty when it can.
    std::string problem() const
    {
        if (!f) return sf_strerror(nullptr);
        if (info.channels < 1 || info.samplerate < 1) return "no audio channels";
        return {};
    }
};

class Player final : public BackupFiles {
public:
    Player(std::vector<std::string> files, std::deque<std::string> problems, int rate)
        : files_(std::move(files))
        , rate_(rate)
        , ring_(static_cast<std::size_t>(kRingSeconds * rate))
        , problems_(std::move(problems))
    {
        if (!problems_.empty()) last_ = problems_.back();
    }
    ~Player() override { stop(); }

    void start() override
    {
        if (thread_.joinable()) return;
        {
            std::lock_guard lock(wakeMutex_);
            quit_ = false;
        }
        thread_ = std::thread([this] { decode(); });
    }

    void stop() override
    {
        {
            std::lock_guard lock(wakeMutex_);
            quit_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable()) thread_.join();
    }

    int read(float* left, float* right, int frames) noexcept override
    {
        if (frames <= 0) return 0;
        const std::size_t n = ring_.pop(left, right, static_cast<std::size_t>(frames));
        for (std::size_t i = n; i < static_cast<std::size_t>(frames); ++i) left[i] = right[i] = 0.0f;
        return static_cast<int>(n);
    }

    std::vector<std::string> takeProblems() override
    {
        std::lock_guard lock(problemMutex_);
        std::vector<std::string> out(problems_.begin(), problems_.end());
        problems_.clear();
        return out;
    }

    std::string lastProblem() const override
    {
        std::lock_guard lock(problemMutex_);
        return last_;
    }

private:
    void note(std::string problem)
    {
        std::lock_guard lock(problemMutex_);
        if (problems_.size() >= kMaxProblems) problems_.pop_front();
        last_ = problem;
        problems_.push_back(std::move(problem));
    }

    // Sleeps up to `d`; false when stopping.
    bool pause(std::chrono::milliseconds d)
    {
        std::unique_lock lock(wakeMutex_);
        return !wake_.wait_for(lock, d, [this] { return quit_; });
    }

    bool stopping()
    {
        std::lock_guard lock(wakeMutex_);
        return quit_;
    }

    // Pushes interleaved stereo frames, waiting while the ring is full; false when stopping.
    bool deliver(const float* frames, std::size_t count)
    {
        while (count > 0) {
            const std::size_t n = ring_.push(frames, count);
            frames += 2 * n;
            count -= n;
            if (count > 0 && !pause(kFullWait)) return false;
        }
        return true;
    }

    // Plays one file into the ring: the frames delivered, or -1 when stopping.
    int64_t play(const std::string& path)
    {
        SndFile file(path);
        if (const std::string why = file.problem(); !why.empty()) {
            note(fs::path(path).filename().string() + ": " + why);
            return 0;
        }
        const int channels = file.info.channels;
        std::vector<float> raw(static_cast<std::size_t>(kChunkFrames * channels));
        std::vector<float> stereo(static_cast<std::size_t>(kChunkFrames * 2));

        soxr_t resampler = nullptr;
        std::vector<float> resampled;
        if (file.info.samplerate != rate_) {
            const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
            const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
            soxr_error_t error = nullptr;
            resampler = soxr_create(file.info.samplerate, rate_, 2, &error, &io, &quality, nullptr);
            if (!resampler) {
                note(fs::path(path).filename().string() + ": cannot resample from " +
                     std::to_string(file.info.samplerate) + " Hz: " + (error ? error : "unknown error"));
                return 0;
            }
            const double ratio = static_cast<double>(rate_) / file.info.samplerate;
            resampled.resize(static_cast<std::size_t>(2 * (static_cast<double>(kChunkFrames) * ratio + 1024)));
        }
        struct Deleter {
            soxr_t s;
            ~Deleter()
            {
                if (s) soxr_delete(s);
            }
        } deleter{resampler};

        const std::size_t outCapacity = resampled.size() / 2;
        int64_t delivered = 0;
        for (;;) {
            const sf_count_t got = sf_readf_float(file.f, raw.data(), kChunkFrames);
            if (got <= 0) break;
            // Mono to both sides; of more channels, the first two.
            for (sf_count_t i = 0; i < got; ++i) {
                const float* frame = raw.data() + i * channels;
                stereo[static_cast<std::size_t>(2 * i)] = frame[0];
                stereo[static_cast<std::size_t>(2 * i + 1)] = channels > 1 ? frame[1] : frame[0];
            }
            if (!resampler) {
                if (!deliver(stereo.data(), static_cast<std::size_t>(got))) return -1;
                delivered += got;
                continue;
            }
            std::size_t consumed = 0;
            while (consumed < static_cast<std::size_t>(got)) {
                std::size_t used = 0, made = 0;
                soxr_process(resampler, stereo.data() + 2 * consumed, static_cast<std::size_t>(got) - consumed, &used,
                             resampled.data(), outCapacity, &made);
                consumed += used;
                if (!deliver(resampled.data(), made)) return -1;
                delivered += static_cast<int64_t>(made);
                if (used == 0 && made == 0) break;
            }
        }
        if (resampler) {
            // The resampler's tail.
            for (;;) {
                std::size_t made = 0;
                soxr_process(resampler, nullptr, 0, nullptr, resampled.data(), outCapacity, &made);
                if (made == 0) break;
                if (!deliver(resampled.data(), made)) return -1;
                delivered += static_cast<int64_t>(made);
            }
        }
        return delivered;
    }

    void decode()
    {
        while (!stopping()) {
            int64_t round = 0;
            for (const std::string& path : files_) {
                const int64_t n = play(path);
                if (n < 0) return;
                round += n;
            }
            if (round == 0 && !pause(kNothingPlayableWait)) return;
        }
    }

    const std::vector<std::string> files_;
    const int rate_;
    StereoRing ring_;

    std::thread thread_;
    std::mutex wakeMutex_;
    std::condition_variable wake_;
    bool quit_ = false;

    mutable std::mutex problemMutex_;
    std::deque<std::string> problems_;
    std::string last_;
};

}  // namespace

Result<std::unique_ptr<BackupFiles>> BackupFiles::open(const std::string& path, int rate)
{
    if (rate <= 0) return Status::fail(kExitUsage, "backup '" + path + "': no sample rate");
    std::error_code ec;
    std::vector<std::string> candidates;
    if (fs::is_directory(path, ec)) {
        for (const fs::directory_entry& e : fs::directory_iterator(path, ec)) {
            const std::string name = e.path().filename().string();
            if (name.empty() || name[0] == '.') continue;
            std::error_code fileEc;
            if (e.is_regular_file(fileEc)) candidates.push_back(e.path().string());
        }
        if (ec) return Status::fail(kExitInput, "backup folder '" + path + "': " + ec.message());
        std::sort(candidates.begin(), candidates.end(), [](const std::string& a, const std::string& b) {
            return fs::path(a).filename().string() < fs::path(b).filename().string();
        });
        if (candidates.empty()) return Status::fail(kExitInput, "backup folder '" + path + "' holds no files");
    } else if (fs::exists(path, ec)) {
        candidates.push_back(path);
    } else {
        return Status::fail(kExitInput, "backup '" + path + "': no such file or folder");
    }

    std::vector<std::string> playable;
    std::deque<std::string> problems;
    for (const std::string& f : candidates) {
        SndFile file(f);
        if (const std::string why = file.problem(); !why.empty()) {
            if (problems.size() == kMaxProblems) problems.pop_front();
            problems.push_back(fs::path(f).filename().string() + ": " + why);
        } else {
            playable.push_back(f);
        }
    }
    if (playable.empty())
        return Status::fail(kExitInput,
                            "backup '" + path + "' holds no readable audio file (" + problems.front() + ")");
    return std::unique_ptr<BackupFiles>(new Player(std::move(playable), std::move(problems), rate));
}

}  // namespace plumbra::host::live
