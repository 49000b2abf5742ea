// Audio in and out through libsndfile: files in any format it reads, standard
// input and output for pipelines. Sources deliver interleaved float frames;
// sinks take interleaved float frames and convert to the chosen sample format.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/audio/file_io.h"
#include "host/common/status.h"

struct sf_private_tag;

namespace plumbra::host {

struct AudioFormat {
    int rate = 0;
    int channels = 0;
    int64_t frames = -1;  // -1 when unknown (a stream)
    int sfFormat = 0;     // libsndfile major format | subtype
};

// A string tag as libsndfile reads and writes it: title, artist, album, date, ...
struct Tag {
    int type = 0;       // libsndfile's SF_STR_ number
    std::string name;   // "title", "artist", ...
    std::string value;
};
using Tags = std::vector<Tag>;

// The tags of an audio file as libsndfile reads them (the encoding software excluded:
// it names what wrote the file, not the programme). Empty when there are none.
Tags readTags(const std::string& path);

class AudioSource {
public:
    virtual ~AudioSource() = default;
    virtual const AudioFormat& format() const = 0;
    virtual std::string name() const = 0;
    virtual Tags tags() const { return {}; }
    // Reads up to `frames` interleaved frames; 0 at the end.
    virtual Result<int64_t> read(float* interleaved, int64_t frames) = 0;
};

// A file, or standard input for "-".
Result<std::unique_ptr<AudioSource>> openAudioFile(const std::string& path);

enum class SampleFormat { FollowInput, Pcm16, Pcm24, Float };
Result<SampleFormat> parseSampleFormat(const std::string& text);
// A human-readable name of a libsndfile format, e.g. "WAV, 24-bit PCM".
std::string describeFormat(int sfFormat);
// The container alone, e.g. "WAV (Microsoft)".
std::string describeContainer(int sfFormat);

class AudioSink {
public:
    // A file named `path` (container from its extension), or standard output for "-"
    // (a WAV stream). `inputFormat` is the source's libsndfile format, followed when
    // `sample` is FollowInput.
    static Result<std::unique_ptr<AudioSink>> create(const std::string& path, int rate, int channels,
                                                     SampleFormat sample, int inputFormat);
    ~AudioSink();  // without finish(), no output is left behind

    // Hands the tags to the container before any audio is written; returns those it refuses
    // outright (standard output holds none). Which ones a container keeps shows only when
    // the finished file is read back.
    Tags setTags(const Tags& tags);
    Status write(const float* interleaved, int64_t frames);
    // Completes the file (header, flush, rename into place).
    Status finish();
    int sfFormat() const { return sfFormat_; }
    const std::string& name() const { return path_; }

private:
    AudioSink() = default;
    Status fail(const std::string& why);

    std::string path_;
    bool toStdout_ = false;
    int channels_ = 0;
    int sfFormat_ = 0;
    int64_t frames_ = 0;
    int bytesPerSample_ = 0;
    int64_t streamBytes_ = 0;  // bytes of samples written to standard output
    sf_private_tag* file_ = nullptr;
    TempFile temp_;
};

}  // namespace plumbra::host
