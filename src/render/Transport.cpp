// The two transports: the driven engine, and the instrument in real time.
#include "render/Transport.h"

#include "engine/Levels.h"
#include "engine/SoundSystem.h"
#include "platform/Exception.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace render {
namespace {

// Periods rendered between two looks at the session (about 93 ms of sound).
constexpr std::int64_t kBatchFrames = 16 * audio::kPeriodFrames;

} // namespace

void OfflineTransport::advance() {
    std::lock_guard<std::mutex> guard(engine_.lock());
    engine_.drive(kBatchFrames);
}

void LiveTransport::beforeSong(Result &result) {
    if (const std::string problem = rig_.problem(); !problem.empty())
        throw Exception(problem);
    // Every song starts on an instrument reset and rung out.
    rig_.reset();
    result.live.used = true;
    result.live.ringOutTimedOut = !rig_.waitForQuiet(floor_, 30);
    result.live.latency = latency_;
    result.live.floorDb = audio::decibels(floor_);
    rig_.meter().clear();
    clockBefore_ = engine_.inputClock();
}

void LiveTransport::advance() {
    // The clock is real time: the session is looked at now and then.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

std::string LiveTransport::afterSong(Result &result) {
    const audio::Engine::InputClock clockAfter = engine_.inputClock();
    const std::int64_t heard = clockAfter.heard - clockBefore_.heard;
    // The input's clock against the MIDI's: the frames heard against those
    // the engine's clock ran meanwhile, less what it ran ahead keeping the
    // input's pace (the MIDI's clock is the computer's then). Negative: the
    // input's clock is slower.
    const double ran =
        double(clockAfter.at - clockBefore_.at) - (clockAfter.ahead - clockBefore_.ahead);
    if (heard > 0 && ran > 0)
        result.live.driftPpm = (double(heard) - ran) * 1e6 / ran;
    result.live.inputPeakDb = audio::decibels(rig_.meter().peak());
    result.live.inputClipped = rig_.meter().clipped();
    if (!engine_.broken())
        return {};
    engine_.notices().take();
    return "the recording was cut off: " + engine_.lostWhy();
}

float LiveTransport::quietLevel() const {
    // The input's own floor + 6 dB (a line input never reaches -90 dBFS).
    return std::max(2 * floor_, audio::kQuietLevel);
}

void LiveTransport::silence() {
    if (!engine_.broken())
        rig_.silence();
}

} // namespace render
