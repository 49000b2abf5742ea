// libsndfile behind a small interface that reports failures with a reason.
#include "host/audio/audio_io.h"

#include <sndfile.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <fcntl.h>
#include <sys/stat.h>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "host/common/text.h"

namespace plumbra::host {

namespace {

constexpr int kStdin = 0;
constexpr int kStdout = 1;
constexpr size_t kWavHeaderBytes = 44;  // RIFF, fmt (16 bytes of format) and data chunk headers

void setBinary(int fd)
{
#ifdef _WIN32
    _setmode(fd, _O_BINARY);
#else
    (void)fd;
#endif
}

std::string sfReason(SNDFILE* f)
{
    std::string r = sf_strerror(f);
    while (!r.empty() && (r.back() == '.' || r.back() == '\n' || r.back() == ' ')) r.pop_back();
    return r;
}

// libsndfile keeps the reason for a failed open in one place for all threads, so
// opening (and fetching that reason) happens one file at a time.
std::mutex gOpening;

struct TagType {
    int type;
    const char* name;
};
constexpr TagType kTagTypes[] = {
    {SF_STR_TITLE, "title"},     {SF_STR_ARTIST, "artist"},   {SF_STR_ALBUM, "album"},
    {SF_STR_DATE, "date"},       {SF_STR_TRACKNUMBER, "tracknumber"}, {SF_STR_GENRE, "genre"},
    {SF_STR_COMMENT, "comment"}, {SF_STR_COPYRIGHT, "copyright"}, {SF_STR_LICENSE, "license"},
};

Tags tagsOf(SNDFILE* f)
{
    Tags tags;
    for (const auto& t : kTagTypes) {
        const char* v = sf_get_string(f, t.type);
        if (v && *v) tags.push_back({t.type, t.name, v});
    }
    return tags;
}

class SndfileSource final : public AudioSource {
public:
    SndfileSource(SNDFILE* f, const SF_INFO& info, std::string name, bool stream) : file_(f), name_(std::move(name))
    {
        format_.rate = info.samplerate;
        format_.channels = info.channels;
        format_.frames = stream ? -1 : static_cast<int64_t>(info.frames);
        format_.sfFormat = info.format;
        tags_ = tagsOf(f);
    }
    Tags tags() const override { return tags_; }
    ~SndfileSource() override { sf_close(file_); }
    const AudioFormat& format() const override { return format_; }
    std::string name() const override { return name_; }
    Result<int64_t> read(float* interleaved, int64_t frames) override
    {
        sf_count_t n = sf_readf_float(file_, interleaved, frames);
        if (n < frames && sf_error(file_) != SF_ERR_NO_ERROR)
            return Status::fail(kExitInput, "cannot read " + name_ + ": " + sfReason(file_));
        return static_cast<int64_t>(n);
    }

private:
    SNDFILE* file_;
    std::string name_;
    AudioFormat format_;
    Tags tags_;
};

// Container by file extension. The common names first, then libsndfile's own table.
int majorFromExtension(const std::string& path)
{
    auto dot = path.find_last_of('.');
    auto slash = path.find_last_of("/\\");
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return 0;
    const std::string ext = lower(path.substr(dot + 1));
    struct Known {
        const char* ext;
        int format;
    };
    static constexpr Known known[] = {
        {"wav", SF_FORMAT_WAV},   {"wave", SF_FORMAT_WAV},  {"bwf", SF_FORMAT_WAV},
        {"rf64", SF_FORMAT_RF64}, {"w64", SF_FORMAT_W64},   {"aif", SF_FORMAT_AIFF},
        {"aiff", SF_FORMAT_AIFF}, {"aifc", SF_FORMAT_AIFF}, {"au", SF_FORMAT_AU},
        {"snd", SF_FORMAT_AU},    {"caf", SF_FORMAT_CAF},   {"flac", SF_FORMAT_FLAC},
        {"ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS},          {"oga", SF_FORMAT_OGG | SF_FORMAT_VORBIS},
        {"opus", SF_FORMAT_OGG | SF_FORMAT_OPUS},           {"mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III},
    };
    for (const auto& k : known)
        if (ext == k.ext) return k.format;
    int count = 0;
    sf_command(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &count, sizeof count);
    for (int i = 0; i < count; ++i) {
        SF_FORMAT_INFO info{};
        info.format = i;
        sf_command(nullptr, SFC_GET_FORMAT_MAJOR, &info, sizeof info);
        if (info.extension && ext == info.extension && (info.format & SF_FORMAT_TYPEMASK) != SF_FORMAT_RAW)
            return info.format;
    }
    return 0;
}

bool formatValid(int format, int rate, int channels)
{
    SF_INFO info{0, rate, channels, format, 0, 0};
    return sf_format_check(&info) != 0;
}

const char* sampleName(SampleFormat s)
{
    switch (s) {
    case SampleFormat::Pcm16: return "pcm16";
    case SampleFormat::Pcm24: return "pcm24";
    case SampleFormat::Float: return "float";
    default: return "the input's";
    }
}

int subtypeOf(SampleFormat s)
{
    switch (s) {
    case SampleFormat::Pcm16: return SF_FORMAT_PCM_16;
    case SampleFormat::Pcm24: return SF_FORMAT_PCM_24;
    case SampleFormat::Float: return SF_FORMAT_FLOAT;
    default: return 0;
    }
}

// Little-endian WAV header for a stream of unknown length: both sizes are the
// "unknown" value 0xFFFFFFFF, which stream readers take as "until the end".
// Bytes of one sample of a stream subtype (see streamSubtype).
int bytesOf(int subtype)
{
    switch (subtype) {
    case SF_FORMAT_PCM_U8: return 1;
    case SF_FORMAT_PCM_16: return 2;
    case SF_FORMAT_PCM_24: return 3;
    case SF_FORMAT_DOUBLE: return 8;
    default: return 4;
    }
}

std::string wavStreamHeader(int rate, int channels, int subtype, uint32_t dataBytes)
{
    const bool isFloat = subtype == SF_FORMAT_FLOAT || subtype == SF_FORMAT_DOUBLE;
    const int bits = 8 * bytesOf(subtype);
    const uint32_t blockAlign = static_cast<uint32_t>(channels * bits / 8);
    std::string h;
    auto put = [&h](uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) h.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    };
    auto u32 = [&put](uint32_t v) { put(v, 4); };
    auto u16 = [&put](uint32_t v) { put(v, 2); };
    const uint32_t riffSize = dataBytes == 0xFFFFFFFFu ? 0xFFFFFFFFu : dataBytes + 36;
    h += "RIFF";
    u32(riffSize);
    h += "WAVEfmt ";
    u32(16);
    u16(isFloat ? 3 : 1);
    u16(static_cast<uint32_t>(channels));
    u32(static_cast<uint32_t>(rate));
    u32(static_cast<uint32_t>(rate) * blockAlign);
    u16(blockAlign);
    u16(static_cast<uint32_t>(bits));
    h += "data";
    u32(dataBytes);
    return h;
}

int streamSubtype(int subtype)
{
    switch (subtype) {
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_PCM_16:
    case SF_FORMAT_PCM_24:
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_FLOAT:
    case SF_FORMAT_DOUBLE: return subtype;
    case SF_FORMAT_PCM_S8: return SF_FORMAT_PCM_U8;
    default: return SF_FORMAT_PCM_24;
    }
}

// Standard output as a forward-only libsndfile stream: headerless samples need
// no seeking, and libsndfile would refuse a descriptor that is not at offset 0.
sf_count_t streamLength(void* user) { return *static_cast<sf_count_t*>(user); }
sf_count_t streamSeek(sf_count_t, int, void* user) { return *static_cast<sf_count_t*>(user); }
sf_count_t streamRead(void*, sf_count_t, void*) { return 0; }
sf_count_t streamWrite(const void* data, sf_count_t count, void* user)
{
    if (!writeAll(kStdout, data, static_cast<size_t>(count))) return 0;
    *static_cast<sf_count_t*>(user) += count;
    return count;
}
sf_count_t streamTell(void* user) { return *static_cast<sf_count_t*>(user); }
SF_VIRTUAL_IO stdoutStream = {streamLength, streamSeek, streamRead, streamWrite, streamTell};

}  // namespace

Tags readTags(const std::string& path)
{
    std::lock_guard<std::mutex> lock(gOpening);
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) return {};
    Tags tags = tagsOf(f);
    sf_close(f);
    return tags;
}

Result<std::unique_ptr<AudioSource>> openAudioFile(const std::string& path)
{
    std::lock_guard<std::mutex> lock(gOpening);
    SF_INFO info{};
    SNDFILE* f = nullptr;
    bool stream = false;
    std::string name = path;
    if (path == "-") {
        name = "standard input";
        setBinary(kStdin);
        struct stat st {};
        stream = ::fstat(kStdin, &st) != 0 || !S_ISREG(st.st_mode);
        f = sf_open_fd(kStdin, SFM_READ, &info, SF_FALSE);
    } else {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0)
            return Status::fail(kExitInput, "cannot open " + path + ": " + std::strerror(errno));
        if (S_ISDIR(st.st_mode)) return Status::fail(kExitInput, "cannot open " + path + ": it is a folder");
#ifndef _WIN32
        if (::access(path.c_str(), R_OK) != 0)
            return Status::fail(kExitInput, "cannot open " + path + ": " + std::strerror(errno));
#endif
        f = sf_open(path.c_str(), SFM_READ, &info);
    }
    if (!f) {
        const int err = sf_error(nullptr);
        if (err == SF_ERR_UNRECOGNISED_FORMAT)
            return Status::fail(kExitInput, name + " is not in an audio format that can be read");
        return Status::fail(kExitInput, "cannot read " + name + ": " + sfReason(nullptr));
    }
    if (info.channels < 1 || info.samplerate < 1) {
        sf_close(f);
        return Status::fail(kExitInput, name + " has no audio channels or no sample rate");
    }
    return std::unique_ptr<AudioSource>(new SndfileSource(f, info, name, stream));
}

Result<SampleFormat> parseSampleFormat(const std::string& text)
{
    const std::string t = lower(text);
    if (t == "pcm16" || t == "16") return SampleFormat::Pcm16;
    if (t == "pcm24" || t == "24") return SampleFormat::Pcm24;
    if (t == "float" || t == "float32" || t == "32f") return SampleFormat::Float;
    return Status::fail(kExitUsage, "unknown sample format \"" + text + "\" (pcm16, pcm24 or float)");
}

std::string describeFormat(int sfFormat)
{
    SF_FORMAT_INFO major{}, sub{};
    major.format = sfFormat & SF_FORMAT_TYPEMASK;
    sub.format = sfFormat & SF_FORMAT_SUBMASK;
    std::string out;
    if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &major, sizeof major) == 0 && major.name) out = major.name;
    if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &sub, sizeof sub) == 0 && sub.name) {
        if (!out.empty()) out += ", ";
        out += sub.name;
    }
    return out.empty() ? "unknown format" : out;
}

std::string describeContainer(int sfFormat)
{
    return describeFormat(sfFormat & SF_FORMAT_TYPEMASK);
}

Result<std::unique_ptr<AudioSink>> AudioSink::create(const std::string& path, int rate, int channels,
                                                     SampleFormat sample, int inputFormat)
{
    std::lock_guard<std::mutex> lock(gOpening);
    std::unique_ptr<AudioSink> sink(new AudioSink());
    sink->path_ = path == "-" ? "standard output" : path;
    sink->channels_ = channels;
    const int wanted = subtypeOf(sample);
    const int inputSub = inputFormat & SF_FORMAT_SUBMASK;

    if (path == "-") {
        // A WAV stream: our own header with unknown sizes, then headerless samples
        // converted by libsndfile exactly as it converts them for a WAV file.
        const int sub = streamSubtype(wanted ? wanted : inputSub);
        sink->toStdout_ = true;
        sink->sfFormat_ = SF_FORMAT_WAV | sub;
        sink->bytesPerSample_ = bytesOf(sub);
        setBinary(kStdout);
        const std::string header = wavStreamHeader(rate, channels, sub, 0xFFFFFFFFu);
        if (!writeAll(kStdout, header.data(), header.size()))
            return Status::fail(kExitOutput, "cannot write standard output: " + systemError());
        SF_INFO info{0, rate, channels, SF_FORMAT_RAW | sub | SF_ENDIAN_LITTLE, 0, 0};
        sink->file_ = sf_open_virtual(&stdoutStream, SFM_WRITE, &info, &sink->streamBytes_);
        if (!sink->file_) return Status::fail(kExitOutput, "cannot write standard output: " + sfReason(nullptr));
        sf_command(sink->file_, SFC_SET_CLIPPING, nullptr, SF_TRUE);
        return sink;
    }

    const int major = majorFromExtension(path);
    if (major == 0)
        return Status::fail(kExitOutput, "cannot tell the audio format of " + path +
                                             " from its extension (use .wav, .flac, .aiff, .caf, .ogg, .w64, .rf64, ...)");
    int format = 0;
    if (major & SF_FORMAT_SUBMASK) {
        // Codecs with their own sample format.
        format = major;
        if (wanted)
            return Status::fail(kExitUsage, "--format " + std::string(sampleName(sample)) + " does not apply to " +
                                                describeFormat(major));
    } else if (wanted) {
        format = major | wanted;
        if (!formatValid(format, rate, channels))
            return Status::fail(kExitUsage, describeFormat(major) + " files cannot hold " + sampleName(sample) +
                                                " samples");
    } else {
        for (int sub : {inputSub, int(SF_FORMAT_PCM_24), int(SF_FORMAT_FLOAT), int(SF_FORMAT_PCM_16)}) {
            if (sub && formatValid(major | sub, rate, channels)) {
                format = major | sub;
                break;
            }
        }
    }
    if (!format || !formatValid(format, rate, channels))
        return Status::fail(kExitOutput, "cannot write " + describeFormat(major) + " at " + std::to_string(rate) +
                                             " Hz with " + std::to_string(channels) + " channels");
    sink->sfFormat_ = format;

    Status s = sink->temp_.create(path);
    if (!s.ok()) return s;
    SF_INFO info{0, rate, channels, format, 0, 0};
    sink->file_ = sf_open_fd(sink->temp_.fd(), SFM_WRITE, &info, SF_FALSE);
    if (!sink->file_) return Status::fail(kExitOutput, "cannot write " + path + ": " + sfReason(nullptr));
    sf_command(sink->file_, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    // No PEAK chunk in float files: it carries the time of writing, and the same render
    // should give the same bytes whenever and wherever it runs.
    sf_command(sink->file_, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
    return sink;
}

AudioSink::~AudioSink()
{
    if (file_) sf_close(file_);
    // temp_ removes the unfinished file.
}

Status AudioSink::fail(const std::string& why)
{
    if (file_) sf_close(file_);
    file_ = nullptr;
    temp_.discard();
    return Status::fail(kExitOutput, "cannot write " + path_ + ": " + why);
}

Tags AudioSink::setTags(const Tags& tags)
{
    if (toStdout_ || !file_) return tags;
    Tags refused;
    for (const auto& t : tags)
        if (sf_set_string(file_, t.type, t.value.c_str()) != 0) refused.push_back(t);
    return refused;
}

Status AudioSink::write(const float* interleaved, int64_t frames)
{
    if (frames <= 0) return Status::success();
    errno = 0;
    sf_count_t n = sf_writef_float(file_, interleaved, frames);
    if (n != frames) {
        std::string why = errno ? systemError() : sfReason(file_);
        return fail(why);
    }
    frames_ += frames;
    return Status::success();
}

Status AudioSink::finish()
{
    if (!file_) return Status::fail(kExitInternal, "output " + path_ + " is already closed");
    sf_write_sync(file_);
    errno = 0;
    int err = sf_close(file_);
    file_ = nullptr;
    if (err != 0) return fail(errno ? systemError() : sf_error_number(err));
    if (toStdout_) {
        // A seekable standard output (redirected to a file) gets the real sizes.
        const uint64_t bytes = static_cast<uint64_t>(frames_) * static_cast<uint64_t>(channels_ * bytesPerSample_);
        const off_t end = ::lseek(kStdout, 0, SEEK_CUR);
        const off_t start = end - static_cast<off_t>(bytes) - static_cast<off_t>(kWavHeaderBytes);
        if (end >= 0 && start >= 0 && bytes <= 0xFFFFFFFFu - 36) {
            auto put32 = [](off_t at, uint32_t v) {
                unsigned char b[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                                      static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
                return ::lseek(kStdout, at, SEEK_SET) >= 0 && writeAll(kStdout, b, 4);
            };
            const uint32_t data = static_cast<uint32_t>(bytes);
            const bool ok = put32(start + 4, data + 36) && put32(start + 40, data);
            ::lseek(kStdout, end, SEEK_SET);
            if (!ok) return Status::fail(kExitOutput, "cannot write standard output: " + systemError());
        }
        return Status::success();
    }
    return temp_.commit();
}

}  // namespace plumbra::host
