// Wave input conversion and the spooling recorder.
#include "engine/WaveInput.h"

#include "engine/Levels.h"
#include "platform/FileWrite.h"

#include <soxr.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <numbers>
#include <unistd.h>
#include <utility>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

static_assert(std::endian::native == std::endian::little,
              "WAVE samples are stored as the machine holds them");

namespace audio {
namespace {

// About six seconds of periods; a longer stall spills into the overflow list.
constexpr std::size_t kRingPeriods = 1024;
// The most the writer holds before it writes, within one emptying of the ring.
constexpr std::size_t kWriteBytes = 1 << 18;

} // namespace

WaveConverter::WaveConverter(const WaveFormat &format, int inputRate, bool dither)
    : format_(format), inputRate_(inputRate), dithering_(dither) {
    if (format_.sampleRate != inputRate_) {
        soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        soxr_error_t error = nullptr;
        resampler_ =
            soxr_create(inputRate_, format_.sampleRate, static_cast<unsigned>(format_.channels),
                        &error, &io, &quality, nullptr);
        if (!resampler_)
            error_ = "no rate converter from " + std::to_string(inputRate_) + " to " +
                     std::to_string(format_.sampleRate) + " Hz can be made (" +
                     (error ? error : "libsoxr gave no reason") + ")";
    }
}

WaveConverter::~WaveConverter() {
    if (resampler_)
        soxr_delete(resampler_);
}

void WaveConverter::process(const float *in, std::size_t frames, std::vector<std::uint8_t> &out) {
    const float *samples = in;
    if (format_.channels == 1) {
        mixed_.resize(frames);
        for (std::size_t i = 0; i < frames; ++i)
            mixed_[i] = 0.5f * (in[2 * i] + in[2 * i + 1]);
        samples = mixed_.data();
    }
    if (!resampler_) {
        quantise(samples, frames * std::size_t(format_.channels), out);
        return;
    }
    const std::size_t room =
        frames * std::size_t(format_.sampleRate) / std::size_t(inputRate_) + 64;
    resampled_.resize(room * std::size_t(format_.channels));
    std::size_t used = 0, made = 0;
    soxr_process(resampler_, samples, frames, &used, resampled_.data(), room, &made);
    quantise(resampled_.data(), made * std::size_t(format_.channels), out);
}

void WaveConverter::flush(std::vector<std::uint8_t> &out) {
    if (!resampler_)
        return;
    const std::size_t room = 4096;
    resampled_.resize(room * std::size_t(format_.channels));
    for (;;) {
        std::size_t made = 0;
        soxr_process(resampler_, nullptr, 0, nullptr, resampled_.data(), room, &made);
        if (made == 0)
            break;
        quantise(resampled_.data(), made * std::size_t(format_.channels), out);
    }
}

const float *WaveConverter::ditherFor(std::size_t count) {
    // Two uniform values in [-0.5, 0.5) from a 32-bit LCG sum to a triangular
    // dither of one step's width. The LCG runs in lanes, two for each of
    // kLanes values, each lane taking every (2 kLanes)-th step (x -> A x + C
    // taken that many times), so that they go side by side: the same values,
    // in the same order.
    //
    // Every converter starts from the same state, and a song's mix and its
    // stems convert the same periods: they ask for the same values in turn.
    // The last run made on this thread is kept, and taken again by whoever
    // asks for as many values from the state it started at.
    struct Run {
        std::uint32_t from = 0, to = 0;
        std::vector<float> values;
    };
    thread_local Run last;
    if (!dithering_) {
        zeros_.assign(count, 0.0f);
        return zeros_.data();
    }
    if (last.from == dither_ && last.values.size() == count) {
        dither_ = last.to;
        return last.values.data();
    }
    constexpr std::uint32_t kA = 1664525u, kC = 1013904223u;
    constexpr std::size_t kLanes = 16;
    static constexpr std::pair<std::uint32_t, std::uint32_t> kStride = [] {
        std::uint32_t a = 1, c = 0;
        for (std::size_t i = 0; i < 2 * kLanes; ++i)
            a *= kA, c = c * kA + kC;
        return std::pair{a, c};
    }();
    // The sum of two values scaled by a power of two is the scaled sum.
    auto sum = [](std::uint32_t a, std::uint32_t b) {
        return (static_cast<float>(static_cast<std::int32_t>(a)) +
                static_cast<float>(static_cast<std::int32_t>(b))) *
               (1.0f / 4294967296.0f);
    };
    last.from = dither_;
    last.values.resize(count);
    float *out = last.values.data();
    std::uint32_t x = dither_;
    std::size_t i = 0;
    if (count >= kLanes) {
        std::uint32_t first[kLanes], second[kLanes];
        for (std::size_t j = 0; j < kLanes; ++j) {
            first[j] = x = x * kA + kC;
            second[j] = x = x * kA + kC;
        }
        for (; i + kLanes <= count; i += kLanes) {
            for (std::size_t j = 0; j < kLanes; ++j)
                out[i + j] = sum(first[j], second[j]);
            x = second[kLanes - 1];
            for (std::size_t j = 0; j < kLanes; ++j) {
                first[j] = first[j] * kStride.first + kStride.second;
                second[j] = second[j] * kStride.first + kStride.second;
            }
        }
    }
    for (; i < count; ++i) {
        const std::uint32_t a = x = x * kA + kC;
        out[i] = sum(a, x = x * kA + kC);
    }
    dither_ = last.to = x;
    return out;
}

void WaveConverter::quantise(const float *samples, std::size_t count,
                             std::vector<std::uint8_t> &out) {
    // Dither, round to nearest, clip; little-endian, as WAVE stores them.
    const std::size_t at = out.size();
    const int bytes = format_.bitsPerSample / 8;
    out.resize(at + std::size_t(bytes) * count);
    std::uint8_t *p = out.data() + at;
    if (format_.floating) {
        std::memcpy(p, samples, count * sizeof(float));
        return;
    }
    const float *dither = ditherFor(count);
    if (format_.bitsPerSample == 8) {
        for (std::size_t i = 0; i < count; ++i) {
            const float v = std::clamp(samples[i] * 127.0f + 128.0f + dither[i], 0.0f, 255.0f);
            *p++ = static_cast<std::uint8_t>(std::floor(v + 0.5f));
        }
        return;
    }
    if (format_.bitsPerSample == 16) {
        // Rounded as floor(v + 0.5) is, with no branch and no call, so
        // that the loop runs several samples at a time.
        std::size_t i = 0;
#if defined(__SSE2__)
        // The same steps, eight samples at a time, packed to 16 bits by
        // the processor's saturating pack (each value is in range by then).
        const __m128 scale = _mm_set1_ps(32767.0f), low = _mm_set1_ps(-32768.0f),
                     high = _mm_set1_ps(32767.0f), halfStep = _mm_set1_ps(0.5f);
        auto round4 = [&](std::size_t from) {
            __m128 v = _mm_add_ps(_mm_mul_ps(_mm_loadu_ps(samples + from), scale),
                                  _mm_loadu_ps(dither + from));
            v = _mm_and_ps(v, _mm_cmpord_ps(v, v)); // no number: 0, as below
            v = _mm_min_ps(_mm_max_ps(v, low), high);
            const __m128 half = _mm_add_ps(v, halfStep);
            const __m128i s = _mm_cvttps_epi32(half);
            return _mm_add_epi32(s, _mm_castps_si128(_mm_cmpgt_ps(_mm_cvtepi32_ps(s), half)));
        };
        for (; i + 8 <= count; i += 8)
            _mm_storeu_si128(reinterpret_cast<__m128i *>(p + 2 * i),
                             _mm_packs_epi32(round4(i), round4(i + 4)));
#endif
        for (; i < count; ++i) {
            float v = samples[i] * 32767.0f + dither[i];
            v = v < -32768.0f ? -32768.0f : v;
            v = v > 32767.0f ? 32767.0f : v;
            const float half = v + 0.5f;
            auto s = static_cast<std::int32_t>(half);
            s -= static_cast<float>(s) > half;
            const auto u = static_cast<std::int16_t>(s);
            std::memcpy(p + 2 * i, &u, sizeof u);
        }
        return;
    }
    // 24 and 32 bits, scaled as 16 bits are (full scale is the largest
    // positive step), in double, where a float's 24-bit mantissa would
    // round the larger steps; the dither stays one step wide.
    const double top = std::ldexp(1.0, format_.bitsPerSample - 1) - 1;
    for (std::size_t i = 0; i < count; ++i) {
        const double v = std::clamp(double(samples[i]) * top + double(dither[i]), -top - 1, top);
        const auto s = static_cast<std::uint32_t>(static_cast<std::int32_t>(std::lrint(v)));
        p[0] = static_cast<std::uint8_t>(s);
        p[1] = static_cast<std::uint8_t>(s >> 8);
        p[2] = static_cast<std::uint8_t>(s >> 16);
        if (bytes == 4)
            p[3] = static_cast<std::uint8_t>(s >> 24);
        p += bytes;
    }
}

WaveRecorder::WaveRecorder(std::shared_ptr<Engine> engine, const WaveFormat &format,
                           std::FILE *spool)
    : engine_(std::move(engine)), direct_(!engine_->realTime()),
      converter_(format, engine_->sampleRate(), engine_->settings().dither), spool_(spool),
      ring_(direct_ ? 0 : kRingPeriods) {}

WaveRecorder::~WaveRecorder() {
    stop();
    if (spill_)
        std::fclose(spill_);
}

void WaveRecorder::limit(std::int64_t frames) {
    limitFrames_ = std::max<std::int64_t>(frames, 0);
    limitBytes_ = std::uint64_t(limitFrames_) * std::uint64_t(converter_.format().bytesPerFrame());
    const std::int64_t rate = converter_.format().sampleRate;
    neededInput_ = (limitFrames_ * engine_->sampleRate() + rate - 1) / rate;
}

void WaveRecorder::limitAt(std::int64_t frame, std::int64_t tail) {
    const std::int64_t engineRate = engine_->sampleRate();
    const std::int64_t rate = converter_.format().sampleRate;
    const std::int64_t frames = std::max<std::int64_t>(frame - startFrame_, 0);
    limit((frames * rate + engineRate - 1) / engineRate + tail);
}

void WaveRecorder::endWhenQuiet(std::int64_t frame, float threshold, std::int64_t hold) {
    quietFrom_ = frame;
    quietThreshold_ = threshold;
    quietHold_ = hold;
}

void WaveRecorder::fadeOut(std::int64_t from, std::int64_t frames) {
    fadeFrom_ = from;
    fadeFrames_ = std::max<std::int64_t>(frames, 1);
}

const float *WaveRecorder::faded(std::int64_t periodStart, const float *frames) {
    faded_.resize(std::size_t(kPeriodFrames * kChannels));
    for (int i = 0; i < kPeriodFrames; ++i) {
        const double x = double(periodStart + i - fadeFrom_) / double(fadeFrames_);
        const float gain = x <= 0   ? 1.0f
                           : x >= 1 ? 0.0f
                                    : float(0.5 * (1 + std::cos(std::numbers::pi * x)));
        for (int c = 0; c < kChannels; ++c)
            faded_[std::size_t(i * kChannels + c)] = frames[i * kChannels + c] * gain;
    }
    return faded_.data();
}

void WaveRecorder::start() {
    if (attached_)
        return;
    finishing_ = false;
    lastSync_ = std::chrono::steady_clock::now();
    if (!direct_)
        writer_ = std::thread([this] { writerLoop(); });
    std::lock_guard<std::mutex> guard(engine_->lock());
    startFrame_ = engine_->recordingStartFrame();
    engine_->lastRecordStartFrame.store(startFrame_);
    engine_->addSink(this, startFrame_);
    attached_ = true;
}

void WaveRecorder::stop() {
    if (!attached_)
        return;
    {
        // Everything up to this moment goes into the recording.
        std::lock_guard<std::mutex> guard(engine_->lock());
        engine_->catchUp();
        engine_->removeSink(this);
        engine_->lastRecordEndFrame.store(startFrame_ + framesCaptured_.load());
    }
    attached_ = false;
    if (direct_) {
        finishWriting();
        return;
    }
    {
        std::lock_guard<std::mutex> guard(wakeMutex_);
        finishing_ = true;
    }
    wake_.notify_one();
    writer_.join();
}

std::string WaveRecorder::failure() const {
    return failure_;
}

void WaveRecorder::period(std::int64_t periodStart, const float *frames) {
    if (periodStart < startFrame_)
        return; // rendered late, but from before the recording began
    if (complete_.load(std::memory_order_relaxed))
        return; // a recording that has reached its end
    if (channel_ >= 0)
        frames = channel_ < engine_->stemChannels() ? engine_->stemPeriod(channel_) : silence();
    if (fadeFrom_ >= 0 && periodStart + kPeriodFrames > fadeFrom_)
        frames = faded(periodStart, frames);
    const std::int64_t captured =
        framesCaptured_.fetch_add(kPeriodFrames, std::memory_order_relaxed) + kPeriodFrames;
    if (engine_->capturing())
        peak_.store(
            loudest(frames, kPeriodFrames * kChannels, peak_.load(std::memory_order_relaxed)),
            std::memory_order_relaxed);
    bool ended = false;
    if (limitFrames_ >= 0 && captured >= neededInput_) {
        fillToLimit_ = true;
        ended = true;
    } else if (leader_) {
        // The leader took this period before it (sinks go in the order
        // they came): it ends here, so does this one, with as much.
        ended = leader_->complete() && captured >= leader_->framesCaptured();
    } else if (quietFrom_ >= 0) {
        // The last frame above the threshold, and whether the sound has
        // stayed below it long enough since, once past quietFrom_.
        for (int i = kPeriodFrames - 1; i >= 0; --i)
            if (std::fabs(frames[2 * i]) >= quietThreshold_ ||
                std::fabs(frames[2 * i + 1]) >= quietThreshold_) {
                lastLoudEnd_ = periodStart + i + 1;
                break;
            }
        const std::int64_t end = periodStart + kPeriodFrames;
        ended = end >= quietFrom_ && end >= std::max(lastLoudEnd_, quietFrom_) + quietHold_;
    }
    if (ended) {
        complete_ = true;
        if (ended_)
            ended_();
    }
    if (direct_) {
        // A driven engine waits for the disk as it renders: memory stays
        // flat however fast it goes.
        writeSamples(frames);
        keepJournal(false);
        return;
    }
    Period *slot = overflowing_ ? nullptr : ring_.writeSlot();
    if (slot) {
        std::memcpy(slot->data(), frames, sizeof(Period));
        ring_.commitWrite();
        return;
    }
    std::lock_guard<std::mutex> guard(overflowMutex_);
    if (overflowing_ && overflow_.empty()) {
        // The writer has taken the spilled periods: back to the ring, in order.
        slot = ring_.writeSlot();
        if (slot) {
            overflowing_ = false;
            std::memcpy(slot->data(), frames, sizeof(Period));
            ring_.commitWrite();
            return;
        }
    }
    overflowing_ = true;
    overflow_.emplace_back();
    std::memcpy(overflow_.back().data(), frames, sizeof(Period));
}

const float *WaveRecorder::silence() {
    static const Period quiet{};
    return quiet.data();
}

void WaveRecorder::writeSamples(const float *frames) {
    converted_.clear();
    if (frames)
        converter_.process(frames, kPeriodFrames, converted_);
    else
        converter_.flush(converted_);
    if (const std::uint64_t limitBytes = limitBytes_.load(); limitBytes != UINT64_MAX) {
        // Exactly the frames asked for: what the converter gives beyond is
        // cut, and at the end of a recording that reached its end what it
        // held back short is made up with silence (one stopped sooner, or
        // ended by the quiet, keeps what it recorded).
        const std::uint64_t taken = bytesWritten_.load() + pending_.size();
        const std::uint64_t room = limitBytes - std::min(limitBytes, taken);
        if (converted_.size() > room)
            converted_.resize(room);
        if (!frames && converted_.size() < room && fillToLimit_)
            converted_.resize(room, converter_.format().bitsPerSample == 8 ? 0x80 : 0x00);
    }
    if (converted_.empty() || failed_)
        return;
    if (tap_)
        tapConverted();
    pending_.insert(pending_.end(), converted_.begin(), converted_.end());
    if (pending_.size() >= kWriteBytes)
        writePending();
}

void WaveRecorder::writePending() {
    // What the writer converted since its last write goes out in one call,
    // each time it has emptied the ring.
    if (pending_.empty() || failed_)
        return;
    if (journal_ && !spill_) {
        // Straight to the in-progress file, so that a killed process has
        // lost nothing it wrote.
        std::size_t done = 0;
        while (done < pending_.size()) {
            const ssize_t n =
                ::write(fileno(spool_), pending_.data() + done, pending_.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            done += std::size_t(n);
        }
        if (done < pending_.size()) {
            journalBytes_ = bytesWritten_ + done;
            if (!spillFrom(pending_.data() + done, pending_.size() - done))
                return;
        }
    } else {
        std::FILE *to = spill_ ? spill_ : spool_;
        if (std::fwrite(pending_.data(), 1, pending_.size(), to) != pending_.size()) {
            failure_ = std::string("the recording could not be spooled: ") + std::strerror(errno);
            failed_ = true;
            return;
        }
    }
    bytesWritten_ += pending_.size();
    pending_.clear();
}

namespace {

// `count` stored samples of `kBytes` each, little-endian and signed (8
// bits: unsigned, around 128), as a WAVE reader reads them back: placed at
// the top of 32 bits, and as float. The width is known to the compiler, so
// that the loop runs several samples at a time.
template <std::size_t kBytes>
void readBack(const std::uint8_t *p, std::size_t count, std::int32_t *pcm, float *samples) {
    for (std::size_t i = 0; i < count; ++i, p += kBytes) {
        std::uint32_t word = 0;
        if constexpr (kBytes == 2) {
            // One two-byte load, which the compiler widens eight at a time.
            std::uint16_t half;
            std::memcpy(&half, p, sizeof half);
            word = std::uint32_t(half) << 16;
        } else {
            for (std::size_t b = 0; b < kBytes; ++b)
                word |= std::uint32_t(p[b]) << (8 * (4 - kBytes + b));
        }
        if constexpr (kBytes == 1)
            word ^= 0x80000000u;
        pcm[i] = static_cast<std::int32_t>(word);
        samples[i] = float(pcm[i]) * (1.0f / 2147483648.0f);
    }
}

} // namespace

void WaveRecorder::tapConverted() {
    // The samples as stored, read back as a WAVE reader gives them.
    const WaveFormat &format = converter_.format();
    const std::size_t bytes = std::size_t(format.bitsPerSample / 8);
    const std::size_t count = converted_.size() / bytes;
    tapped_.resize(count);
    const std::uint8_t *p = converted_.data();
    if (format.floating) {
        std::memcpy(tapped_.data(), p, count * sizeof(float));
        tap_->written(tapped_.data(), nullptr, count / std::size_t(format.channels));
        return;
    }
    tappedPcm_.resize(count);
    switch (bytes) {
    case 1:
        readBack<1>(p, count, tappedPcm_.data(), tapped_.data());
        break;
    case 2:
        readBack<2>(p, count, tappedPcm_.data(), tapped_.data());
        break;
    case 3:
        readBack<3>(p, count, tappedPcm_.data(), tapped_.data());
        break;
    default:
        readBack<4>(p, count, tappedPcm_.data(), tapped_.data());
    }
    tap_->written(tapped_.data(), tappedPcm_.data(), count / std::size_t(format.channels));
}

bool WaveRecorder::spillFrom(const std::uint8_t *data, std::size_t size) {
    // The in-progress file's disk failed or filled: the recording goes on
    // in a scratch file, and the two are joined when it is saved.
    const std::string why = std::strerror(errno);
    spill_ = platform::scratchFile();
    if (!spill_ || std::fwrite(data, 1, size, spill_) != size) {
        failure_ = "the recording could not be written to " + journal_->path() + " (" + why +
                   ") nor to the temporary folder: " + std::strerror(errno);
        failed_ = true;
        return false;
    }
    return true;
}

void WaveRecorder::keepJournal(bool now) {
    // Synced once a second, so that a power cut loses at most that second
    // (a killed process loses nothing it wrote: the writes are unbuffered).
    // Nothing written since the last sync: no need to look at the clock,
    // which each period of each stem would otherwise do.
    const std::uint64_t written = bytesWritten_.load();
    if (!journal_ || spill_ || failed_ || (!now && written == syncedBytes_))
        return;
    const auto clock = std::chrono::steady_clock::now();
    if (!now && clock - lastSync_ < std::chrono::seconds(1))
        return;
    lastSync_ = clock;
    syncedBytes_ = written;
    if (!journal_->sync(written)) {
        // What the disk did not take stays readable; the rest goes elsewhere.
        journalBytes_ = written;
        spillFrom(nullptr, 0);
    }
}

void WaveRecorder::writerLoop() {
    std::deque<Period> spilled;
    for (;;) {
        // Read the flag first: every period pushed before it was set is then
        // visible to the drain below.
        const bool last = finishing_.load();
        bool any = false;
        while (Period *slot = ring_.readSlot()) {
            writeSamples(slot->data());
            ring_.commitRead();
            any = true;
        }
        {
            std::lock_guard<std::mutex> guard(overflowMutex_);
            spilled.swap(overflow_);
        }
        for (const Period &p : spilled)
            writeSamples(p.data());
        any = any || !spilled.empty();
        spilled.clear();
        if (any) {
            writePending();
            keepJournal(false);
        }
        if (last && !any)
            break;
        if (!any) {
            // The ring holds seconds of periods: a relaxed pace is enough,
            // and stop() wakes the writer at once.
            std::unique_lock<std::mutex> guard(wakeMutex_);
            wake_.wait_for(guard, std::chrono::milliseconds(100),
                           [this] { return finishing_.load(); });
        }
    }
    finishWriting();
}

void WaveRecorder::finishWriting() {
    // What the rate converter still holds, then everything out and synced.
    writeSamples(nullptr);
    writePending();
    std::fflush(spill_ ? spill_ : spool_);
    keepJournal(true);
}

} // namespace audio
