// The wave-audio device's commands, its time formats, and the notice of a
// recording that reached its end.
#include "media/mci/WaveAudioDriver.h"

#include <utility>

namespace mci {

WaveAudioDriver::WaveAudioDriver(MCIDEVICEID id, std::shared_ptr<audio::Engine> engine)
    : Driver(id), device_(std::move(engine)) {}

WaveAudioDriver::~WaveAudioDriver() {
    close();
}

MCIERROR WaveAudioDriver::open(const std::string &element) {
    std::string error;
    const bool opened =
        element.empty() ? device_.create(audio::WaveFormat{}, error) : device_.open(element, error);
    return opened ? 0 : makeCustomError(error + ".");
}

void WaveAudioDriver::close() {
    device_.close();
    notice_.complete(MCI_NOTIFY_ABORTED);
}

MCIERROR WaveAudioDriver::record(DWORD_PTR notifyWindow, std::int64_t to,
                                 const std::string &journal) {
    const bool running = device_.recording();
    if (!running && to >= 0 && framesOf(to) <= device_.positionFrames()) {
        // Already there: nothing to record.
        notice_.arm(notifyWindow, id());
        notice_.complete(MCI_NOTIFY_SUCCESSFUL);
        return 0;
    }
    // A notice still pending is superseded; the end of the recording it
    // stood for, should it come meanwhile, is no longer this one's.
    const unsigned take = ++takes_;
    notice_.arm(notifyWindow, id());
    auto ended = [this, take] {
        if (take == takes_.load())
            notice_.complete(MCI_NOTIFY_SUCCESSFUL);
    };
    if (!running) {
        recordedFrom_ = device_.positionFrames();
        std::string error;
        if (!device_.record(journal, ended, error, to >= 0 ? framesOf(to) - recordedFrom_ : 0)) {
            notice_.complete(MCI_NOTIFY_FAILURE);
            return makeCustomError(error + ".");
        }
    } else {
        std::string ignored;
        device_.record(journal, ended, ignored);
    }
    if (to >= 0)
        device_.endAfter(framesOf(to) - recordedFrom_);
    return 0;
}

MCIERROR WaveAudioDriver::stop() {
    device_.stop();
    notice_.complete(MCI_NOTIFY_ABORTED);
    return 0;
}

MCIERROR WaveAudioDriver::seekToStart() {
    device_.seekToStart();
    notice_.complete(MCI_NOTIFY_ABORTED);
    return 0;
}

MCIERROR WaveAudioDriver::save(const std::string &file) {
    std::string error;
    if (!device_.save(file, error))
        return makeCustomError(error + ".");
    return 0;
}

MCIERROR WaveAudioDriver::setTimeFormat(DWORD format) {
    if (format != MCI_FORMAT_MILLISECONDS && format != MCI_FORMAT_SAMPLES &&
        format != MCI_FORMAT_BYTES)
        return MCIERR_BAD_TIME_FORMAT;
    timeFormat_ = format;
    return 0;
}

MCIERROR WaveAudioDriver::setWaveFormat(DWORD flags, const MCI_WAVE_SET_PARMS &parms) {
    audio::WaveFormat format = device_.format();
    if (flags & MCI_WAVE_SET_FORMATTAG) {
        if (parms.wFormatTag != WAVE_FORMAT_PCM && parms.wFormatTag != WAVE_FORMAT_IEEE_FLOAT)
            return MCIERR_UNSUPPORTED_FUNCTION;
        format.floating = parms.wFormatTag == WAVE_FORMAT_IEEE_FLOAT;
    }
    if (flags & MCI_WAVE_SET_CHANNELS)
        format.channels = int(parms.nChannels);
    if (flags & MCI_WAVE_SET_SAMPLESPERSEC)
        format.sampleRate = int(parms.nSamplesPerSec);
    if (flags & MCI_WAVE_SET_BITSPERSAMPLE)
        format.bitsPerSample = int(parms.wBitsPerSample);
    const bool depth = format.floating
                           ? format.bitsPerSample == 32
                           : format.bitsPerSample == 8 || format.bitsPerSample == 16 ||
                                 format.bitsPerSample == 24 || format.bitsPerSample == 32;
    if (!depth || (format.channels != 1 && format.channels != 2) || format.sampleRate < 1000 ||
        format.sampleRate > 192000)
        return makeCustomError("A recording cannot be made in that format.");
    std::string error;
    if (!device_.setFormat(format, error))
        return makeCustomError(error + ".");
    return 0;
}

DWORD_PTR WaveAudioDriver::inTimeFormat(std::int64_t frames) const {
    const auto f = static_cast<std::uint64_t>(frames);
    switch (timeFormat_) {
    case MCI_FORMAT_BYTES:
        return static_cast<DWORD_PTR>(f * std::uint64_t(device_.format().bytesPerFrame()));
    case MCI_FORMAT_SAMPLES:
        return static_cast<DWORD_PTR>(f);
    default:
        return static_cast<DWORD_PTR>(f * 1000 / std::uint64_t(device_.format().sampleRate));
    }
}

std::int64_t WaveAudioDriver::framesOf(std::int64_t position) const {
    switch (timeFormat_) {
    case MCI_FORMAT_BYTES:
        return position / device_.format().bytesPerFrame();
    case MCI_FORMAT_SAMPLES:
        return position;
    default:
        return position * device_.format().sampleRate / 1000;
    }
}

MCIERROR WaveAudioDriver::status(DWORD item, DWORD_PTR &value) {
    const audio::WaveFormat &format = device_.format();
    switch (item) {
    case MCI_STATUS_LENGTH:
        value = inTimeFormat(device_.lengthFrames());
        return 0;
    case MCI_STATUS_POSITION:
        value = inTimeFormat(device_.positionFrames());
        return 0;
    case MCI_STATUS_MODE:
        // A recording that reached its end position has stopped by itself.
        value = device_.recording() ? MCI_MODE_RECORD : MCI_MODE_STOP;
        return 0;
    case MCI_WAVE_STATUS_FORMATTAG:
        value = format.floating ? WAVE_FORMAT_IEEE_FLOAT : WAVE_FORMAT_PCM;
        return 0;
    case MCI_WAVE_STATUS_CHANNELS:
        value = DWORD_PTR(format.channels);
        return 0;
    case MCI_WAVE_STATUS_SAMPLESPERSEC:
        value = DWORD_PTR(format.sampleRate);
        return 0;
    case MCI_WAVE_STATUS_BITSPERSAMPLE:
        value = DWORD_PTR(format.bitsPerSample);
        return 0;
    default:
        return MCIERR_UNSUPPORTED_FUNCTION;
    }
}

MCIERROR WaveAudioDriver::capability(DWORD item, DWORD &value) {
    switch (item) {
    case MCI_GETDEVCAPS_CAN_PLAY:
    case MCI_GETDEVCAPS_CAN_RECORD:
        value = 1;
        return 0;
    case MCI_GETDEVCAPS_CAN_EJECT:
    case MCI_GETDEVCAPS_HAS_VIDEO:
        value = 0;
        return 0;
    case MCI_GETDEVCAPS_DEVICE_TYPE:
        value = MCI_DEVTYPE_WAVEFORM_AUDIO;
        return 0;
    default:
        return MCIERR_UNSUPPORTED_FUNCTION;
    }
}

} // namespace mci
