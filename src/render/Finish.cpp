// The recording into its output: levels measured on it, a WAVE file tagged
// in place and renamed, any other container written through libsndfile
// beside the output and renamed over it.
#include "render/Finish.h"

#include "engine/MidiFile.h"
#include "engine/WaveFile.h"
#include "platform/CrashPoint.h"
#include "platform/FileWrite.h"

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace render {
namespace {

struct Closer {
    void operator()(SNDFILE *file) const { sf_close(file); }
};

void put32(std::uint8_t *p, std::uint64_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = std::uint8_t(v >> (8 * i));
}

// One INFO item: its id, its size, the text with its closing NUL, padded
// to an even length.
void addInfo(std::vector<std::uint8_t> &list, const char *id, const std::string &text) {
    if (text.empty())
        return;
    const std::size_t size = text.size() + 1;
    const std::size_t at = list.size();
    list.resize(at + 8 + size + (size & 1), 0);
    std::memcpy(&list[at], id, 4);
    put32(&list[at + 4], size);
    std::memcpy(&list[at + 8], text.data(), text.size());
}

// Reads a recording's frames, or only those of some stretches of it in turn.
class StretchReader {
public:
    struct Stretch {
        sf_count_t from, frames;
    };
    StretchReader(SNDFILE *file, std::vector<Stretch> stretches)
        : file_(file), stretches_(std::move(stretches)) {}
    /// Up to `frames` frames into `buffer` by `readf` (sf_readf_float, ...);
    /// 0 at the end.
    template <class T>
    sf_count_t read(T *buffer, sf_count_t frames, sf_count_t (*readf)(SNDFILE *, T *, sf_count_t)) {
        if (stretches_.empty())
            return readf(file_, buffer, frames);
        if (left_ == 0) {
            if (next_ == stretches_.size())
                return 0;
            left_ = stretches_[next_].frames;
            if (sf_seek(file_, stretches_[next_++].from, SEEK_SET) < 0)
                return fail();
        }
        const sf_count_t got = readf(file_, buffer, std::min(frames, left_));
        if (got <= 0)
            return fail();
        left_ -= got;
        return got;
    }
    /// Whether a stretch went past the recording's end.
    bool cutShort() const { return short_; }

private:
    sf_count_t fail() {
        short_ = true;
        return 0;
    }
    SNDFILE *file_;
    std::vector<Stretch> stretches_;
    std::size_t next_ = 0;
    sf_count_t left_ = 0;
    bool short_ = false;
};

// The samples of `from` into `to`, scaled by `gain` (1: as they are), and
// into `meter` as written. PCM of the same depth at unit gain is copied
// exactly; a gain is quantised again with a triangular dither of one step
// of the output's depth.
bool copySamples(SNDFILE *from, StretchReader &reader, const SF_INFO &in, SNDFILE *to,
                 const Encoding &encoding, double gain, audio::LevelMeter &meter) {
    constexpr sf_count_t kFrames = 8192;
    const std::size_t count = std::size_t(kFrames) * std::size_t(in.channels);
    const audio::WaveFormat &f = encoding.format;
    const bool pcm = !encoding.lossy() && !f.floating;
    if (!pcm) {
        std::vector<float> block(count);
        for (sf_count_t got; (got = reader.read(block.data(), kFrames, sf_readf_float)) > 0;) {
            if (gain != 1)
                for (sf_count_t i = 0; i < got * in.channels; ++i)
                    block[std::size_t(i)] = float(block[std::size_t(i)] * gain);
            if (sf_writef_float(to, block.data(), got) != got)
                return false;
            meter.add(block.data(), std::size_t(got));
        }
        return true;
    }
    std::vector<int> samples(count);
    std::vector<float> written(count);
    // PCM as libsndfile reads it back as float: the int's top bits, scaled.
    auto measure = [&](sf_count_t frames) {
        for (std::size_t i = 0; i < std::size_t(frames) * std::size_t(in.channels); ++i)
            written[i] = float(samples[i]) * (1.0f / 2147483648.0f);
        meter.add(written.data(), std::size_t(frames));
    };
    if (gain == 1) {
        for (sf_count_t got; (got = reader.read(samples.data(), kFrames, sf_readf_int)) > 0;) {
            if (sf_writef_int(to, samples.data(), got) != got)
                return false;
            measure(got);
        }
        return true;
    }
    // In steps of the output's depth, as libsndfile scales samples (full
    // scale is the largest positive step), then shifted to the top of an int.
    const int shift = 32 - f.bitsPerSample;
    const double top = std::ldexp(1.0, f.bitsPerSample - 1) - 1;
    std::vector<double> block(count);
    sf_command(from, SFC_SET_NORM_DOUBLE, nullptr, SF_TRUE);
    std::uint32_t dither = 0x4E4F524D;
    auto noise = [&dither] { // uniform in [-0.5, 0.5)
        dither = dither * 1664525u + 1013904223u;
        return double(dither >> 8) / double(1u << 24) - 0.5;
    };
    for (sf_count_t got; (got = reader.read(block.data(), kFrames, sf_readf_double)) > 0;) {
        for (sf_count_t i = 0; i < got * in.channels; ++i) {
            const double v = std::clamp(
                std::floor(block[std::size_t(i)] * gain * (top + 1) + noise() + noise() + 0.5),
                -top - 1, top);
            samples[std::size_t(i)] =
                static_cast<int>(static_cast<std::uint32_t>(static_cast<std::int32_t>(v)) << shift);
        }
        if (sf_writef_int(to, samples.data(), got) != got)
            return false;
        measure(got);
    }
    return true;
}

// Writes `recording` into a new file beside `output` in the encoding's
// container, tagged, then renames it over `output`.
std::string transcode(const std::string &recording, const std::string &output,
                      const FinishPlan &plan, double gainDb, Finished &finished) {
    SF_INFO in{};
    std::unique_ptr<SNDFILE, Closer> from(sf_open(recording.c_str(), SFM_READ, &in));
    if (!from)
        return std::string("the recording cannot be read again: ") + sf_strerror(nullptr);
    std::string temp;
    const int fd = platform::makeTemporaryBeside(output, temp);
    if (fd < 0)
        return "no file can be made beside it: " + std::string(std::strerror(errno));
    SF_INFO info{};
    info.samplerate = in.samplerate;
    info.channels = in.channels;
    info.format = sndfileFormat(plan.encoding);
    const bool wave = plan.encoding.container == Container::Wav;
    if (wave) // a WAVE file past 4 GiB becomes RF64
        info.format = SF_FORMAT_RF64 | (info.format & SF_FORMAT_SUBMASK);
    std::string error;
    SNDFILE *to = sf_open_fd(fd, SFM_WRITE, &info, SF_FALSE);
    if (!to) {
        error = std::string("libsndfile cannot write it: ") + sf_strerror(nullptr);
    } else {
        if (wave)
            sf_command(to, SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE);
        // W64 holds no tags; the others take what they can.
        if (!plan.tags.title.empty())
            sf_set_string(to, SF_STR_TITLE, plan.tags.title.c_str());
        if (!plan.tags.copyright.empty())
            sf_set_string(to, SF_STR_COPYRIGHT, plan.tags.copyright.c_str());
        // MP3's ID3 tag takes no copyright from libsndfile: it goes into the comment.
        if (!plan.tags.copyright.empty() && plan.encoding.container == Container::Mp3)
            sf_set_string(to, SF_STR_COMMENT, plan.tags.copyright.c_str());
        const double gain = gainDb == 0 ? 1 : std::pow(10.0, gainDb / 20.0);
        // Measured as written: what a lossy codec is given, the PCM as stored.
        audio::LevelMeter meter(
            info.channels, info.samplerate,
            plan.encoding.lossy() ? 1.0 : audio::fullScaleOf(info.format & SF_FORMAT_SUBMASK));
        // A loop file: the intro, then the loop's pass from where it lies.
        std::vector<StretchReader::Stretch> stretches;
        if (plan.loop) {
            stretches = {{0, plan.loop->start}, {plan.loop->from, plan.loop->length}};
            error = markLoopInHeader(to, plan.encoding.container, info.samplerate, *plan.loop);
        }
        StretchReader reader(from.get(), stretches);
        if (error.empty() &&
            (!copySamples(from.get(), reader, in, to, plan.encoding, gain, meter) ||
             sf_error(to) != 0))
            error = std::string("its samples could not be written: ") +
                    (sf_error(to) != 0 ? sf_strerror(to) : std::strerror(errno));
        if (error.empty() && reader.cutShort())
            error = "the recording ends before its loop's pass does";
        if (sf_close(to) != 0 && error.empty())
            error = "it could not be finished";
        if (error.empty() && plan.loop)
            error = markLoopInComments(fd, plan.encoding.container, *plan.loop);
        finished.measured = meter.ok();
        finished.levels = meter.levels();
    }
    // Renamed while it is still open (and so locked): it is never a
    // leftover nobody holds.
    if (error.empty() && ::fsync(fd) != 0)
        error = std::string("it could not be written: ") + std::strerror(errno);
    if (error.empty())
        platform::crashPoint("finish", temp);
    if (error.empty() && ::rename(temp.c_str(), output.c_str()) != 0)
        error = std::string("it cannot be named so: ") + std::strerror(errno);
    if (!error.empty())
        ::unlink(temp.c_str());
    ::close(fd);
    if (!error.empty())
        return error;
    platform::crashPoint("renamed", output);
    audio::syncFolderOf(output);
    return {};
}

} // namespace

LevelTap::LevelTap(const audio::WaveFormat &format, bool keeps)
    : meter_(format.channels, format.sampleRate, audio::fullScaleOf(format)), keeps_(keeps) {}

void LevelTap::written(const float *samples, const std::int32_t *, std::size_t frames) {
    if (keeps_ && meter_.ok())
        kept_.insert(kept_.end(), samples, samples + frames * meter_.channels());
    else
        meter_.add(samples, frames);
}

audio::Levels LevelTap::levels() {
    measureKept();
    return meter_.levels();
}

void LevelTap::measureKept() {
    if (kept_.empty())
        return;
    meter_.add(kept_.data(), kept_.size() / meter_.channels());
    kept_.clear();
}

void LevelTap::measureTogether(const std::vector<LevelTap *> &taps) {
    // In pairs of taps that kept as much; any other alone.
    LevelTap *waiting = nullptr;
    for (LevelTap *tap : taps) {
        if (tap->kept_.empty())
            continue;
        if (!waiting) {
            waiting = tap;
        } else if (waiting->kept_.size() == tap->kept_.size() &&
                   waiting->meter_.channels() == tap->meter_.channels()) {
            audio::LevelMeter::addTogether(waiting->meter_, waiting->kept_.data(), tap->meter_,
                                           tap->kept_.data(),
                                           tap->kept_.size() / tap->meter_.channels());
            waiting->kept_.clear();
            tap->kept_.clear();
            waiting = nullptr;
        } else {
            waiting->measureKept();
            waiting = tap;
        }
    }
    if (waiting)
        waiting->measureKept();
}

bool StreamedOutput::suits(const FinishPlan &plan) {
    const Container c = plan.encoding.container;
    return !plan.normalize && !plan.loop &&
           (c == Container::Flac || c == Container::Aiff || c == Container::W64 ||
            c == Container::Rf64);
}

bool StreamedOutput::open(const std::string &output, const audio::WaveFormat &format,
                          const FinishPlan &plan) {
    fd_ = platform::makeTemporaryBeside(output, temp_);
    if (fd_ < 0)
        return false;
    SF_INFO info{};
    info.samplerate = format.sampleRate;
    info.channels = format.channels;
    info.format = sndfileFormat(plan.encoding);
    file_ = sf_open_fd(fd_, SFM_WRITE, &info, SF_FALSE);
    if (!file_) {
        discard();
        return false;
    }
    // Tagged before the first sample, as FLAC wants it.
    if (!plan.tags.title.empty())
        sf_set_string(file_, SF_STR_TITLE, plan.tags.title.c_str());
    if (!plan.tags.copyright.empty())
        sf_set_string(file_, SF_STR_COPYRIGHT, plan.tags.copyright.c_str());
    meter_ = std::make_unique<audio::LevelMeter>(
        format.channels, format.sampleRate, audio::fullScaleOf(info.format & SF_FORMAT_SUBMASK));
    return true;
}

void StreamedOutput::written(const float *samples, const std::int32_t *pcm, std::size_t frames) {
    if (!file_ || !error_.empty())
        return;
    // PCM goes through as the stored values, exactly; float as it is.
    const sf_count_t n = sf_count_t(frames);
    const sf_count_t wrote =
        pcm ? sf_writef_int(file_, pcm, n) : sf_writef_float(file_, samples, n);
    if (wrote != n)
        error_ = std::string("its samples could not be written: ") + sf_strerror(file_);
    meter_->add(samples, frames);
}

std::string StreamedOutput::finish(const std::string &output, Finished &finished) {
    std::string error = error_;
    if (!file_ && error.empty())
        error = "it was not written";
    if (file_ && sf_close(file_) != 0 && error.empty())
        error = "it could not be finished";
    file_ = nullptr;
    finished.measured = error.empty() && meter_->ok();
    finished.levels = meter_ ? meter_->levels() : audio::Levels{};
    // Renamed while it is still open (and so locked).
    if (error.empty() && ::fsync(fd_) != 0)
        error = std::string("it could not be written: ") + std::strerror(errno);
    if (error.empty())
        platform::crashPoint("finish", temp_);
    if (error.empty() && ::rename(temp_.c_str(), output.c_str()) != 0)
        error = std::string("it cannot be named so: ") + std::strerror(errno);
    if (!error.empty()) {
        discard();
        return output + " could not be written: " + error;
    }
    ::close(fd_);
    fd_ = -1;
    temp_.clear();
    platform::crashPoint("renamed", output);
    audio::syncFolderOf(output);
    return {};
}

void StreamedOutput::discard() {
    if (file_)
        sf_close(file_);
    file_ = nullptr;
    if (!temp_.empty())
        ::unlink(temp_.c_str());
    temp_.clear();
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

StreamedOutput::~StreamedOutput() {
    discard();
}

Tags tagsOf(const std::string &file, const audio::MidiSong *song, audio::TextEncoding encoding) {
    Tags tags;
    if (song) {
        tags.title = audio::decodeMetaText(song->titleBytes, encoding);
        tags.copyright = audio::decodeMetaText(song->copyrightBytes, encoding);
    }
    if (tags.title.empty()) {
        std::string name = file.substr(file.rfind('/') + 1);
        if (const auto dot = name.rfind('.'); dot != std::string::npos && dot > 0)
            name.resize(dot);
        tags.title = name;
    }
    return tags;
}

std::string appendWaveTags(const std::string &path, const Tags &tags) {
    std::vector<std::uint8_t> list(12);
    addInfo(list, "INAM", tags.title);
    addInfo(list, "ICOP", tags.copyright);
    if (list.size() == 12)
        return {};
    std::memcpy(list.data(), "LIST", 4);
    put32(list.data() + 4, list.size() - 8);
    std::memcpy(list.data() + 8, "INFO", 4);
    errno = 0;
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return std::strerror(errno);
    std::uint8_t head[28] = {};
    struct stat st {};
    bool ok = ::pread(fd, head, sizeof head, 0) == ssize_t(sizeof head) && ::fstat(fd, &st) == 0;
    const bool rf64 = ok && std::memcmp(head, "RF64", 4) == 0;
    const std::uint64_t riffSize = std::uint64_t(st.st_size) - 8 + list.size();
    if (ok && !rf64 && riffSize > 0xFFFFFFFFull) {
        ::close(fd); // no room in a RIFF size for them: the file stays untagged
        return {};
    }
    // The list after the samples, then the RIFF size (ds64's in RF64) that counts it.
    std::uint8_t size[8];
    put32(size, riffSize);
    put32(size + 4, riffSize >> 32);
    ok = ok && (std::memcmp(head, "RIFF", 4) == 0 || rf64) &&
         ::pwrite(fd, list.data(), list.size(), st.st_size) == ssize_t(list.size()) &&
         (rf64 ? ::pwrite(fd, size, 8, 20) == 8 : ::pwrite(fd, size, 4, 4) == 4) &&
         ::fsync(fd) == 0;
    const std::string error = ok           ? std::string()
                              : errno != 0 ? std::strerror(errno)
                                           : "it is not a WAVE file";
    ::close(fd);
    return error;
}

std::string finishOutput(const std::string &recording, const std::string &output,
                         const FinishPlan &plan, Finished &finished) {
    std::string error;
    // The gain to a loudness needs the recording's levels first; a WAVE
    // file that needs none is measured as it stands. Levels measured as the
    // recording was made are those of the file.
    const bool wave = plan.encoding.container == Container::Wav;
    double gain = plan.gainDb.value_or(0);
    if (std::fabs(gain) < 0.01)
        gain = 0;
    if ((plan.normalize && !plan.gainDb) || (wave && gain == 0)) {
        if (plan.recorded) {
            finished.measured = true;
            finished.levels = *plan.recorded;
        } else {
            finished.measured = audio::measureLevels(recording, finished.levels, error);
        }
        if (finished.measured && plan.normalize && !plan.gainDb) {
            gain = audio::normalizingGain(finished.levels, plan.loudness, plan.truePeak);
            if (std::fabs(gain) < 0.01)
                gain = 0;
        }
    }
    if (wave && gain == 0 && !plan.loop) {
        // The recording is the output already: tagged, then renamed.
        if (const std::string why = appendWaveTags(recording, plan.tags); !why.empty())
            return output + " could not be tagged: " + why;
        platform::crashPoint("finish", recording);
        if (::rename(recording.c_str(), output.c_str()) != 0)
            return output + " could not be written: " + std::strerror(errno);
        platform::crashPoint("renamed", output);
        audio::syncFolderOf(output);
        return {};
    }
    error = transcode(recording, output, plan, gain, finished);
    if (!error.empty())
        return output + " could not be written: " + error;
    finished.gainDb = gain;
    return {};
}

} // namespace render
