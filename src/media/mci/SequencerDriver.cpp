// The sequencer's commands, its time formats, and the notices of its plays.
#include "media/mci/SequencerDriver.h"

#include <utility>

namespace mci {

SequencerDriver::SequencerDriver(MCIDEVICEID id, std::shared_ptr<audio::Engine> engine)
    : Driver(id), engine_(std::move(engine)) {}

SequencerDriver::~SequencerDriver() {
    close();
}

MCIERROR SequencerDriver::open(const std::string &element) {
    if (!engine_)
        return makeCustomError("The sequencer was given no sound engine to play on.");
    sequencer_ = std::make_unique<audio::SequencerDevice>(engine_);
    std::string error;
    if (!sequencer_->open(element, error)) {
        sequencer_.reset();
        return makeCustomError(error + ".");
    }
    return 0;
}

void SequencerDriver::close() {
    if (sequencer_)
        sequencer_->close();
    notice_.complete(MCI_NOTIFY_ABORTED);
}

MCIERROR SequencerDriver::play(DWORD_PTR notifyWindow) {
    // A play still pending is superseded before the new one replaces it;
    // its end, should it come meanwhile, is no longer this notice's.
    const unsigned play = ++plays_;
    notice_.arm(notifyWindow, id());
    sequencer_->play([this, play](audio::SequencerDevice::End end) {
        using End = audio::SequencerDevice::End;
        if (play == plays_.load())
            notice_.complete(end == End::Finished  ? MCI_NOTIFY_SUCCESSFUL
                             : end == End::Stopped ? MCI_NOTIFY_ABORTED
                                                   : MCI_NOTIFY_FAILURE);
    });
    return 0;
}

MCIERROR SequencerDriver::stop() {
    sequencer_->stop();
    notice_.complete(MCI_NOTIFY_ABORTED);
    return 0;
}

MCIERROR SequencerDriver::seekToStart() {
    return seekTo(0);
}

MCIERROR SequencerDriver::seekTo(DWORD position) {
    sequencer_->seekTo(std::int64_t(position) * 1000);
    notice_.complete(MCI_NOTIFY_ABORTED);
    return 0;
}

MCIERROR SequencerDriver::setTimeFormat(DWORD format) {
    if (format != MCI_FORMAT_MILLISECONDS && format != MCI_FORMAT_SAMPLES)
        return MCIERR_BAD_TIME_FORMAT;
    timeFormat_ = format;
    return 0;
}

DWORD_PTR SequencerDriver::inTimeFormat(std::int64_t us) const {
    if (timeFormat_ == MCI_FORMAT_SAMPLES)
        return static_cast<DWORD_PTR>(sequencer_->framesOf(us));
    return static_cast<DWORD_PTR>((us + 500) / 1000);
}

MCIERROR SequencerDriver::status(DWORD item, DWORD_PTR &value) {
    switch (item) {
    case MCI_STATUS_LENGTH:
        value = inTimeFormat(sequencer_->lengthUs());
        return 0;
    case MCI_STATUS_POSITION:
        value = inTimeFormat(sequencer_->positionUs());
        return 0;
    case MCI_STATUS_MODE:
        value = sequencer_->playing() ? MCI_MODE_PLAY : MCI_MODE_STOP;
        return 0;
    default:
        return MCIERR_UNSUPPORTED_FUNCTION;
    }
}

MCIERROR SequencerDriver::capability(DWORD item, DWORD &value) {
    switch (item) {
    case MCI_GETDEVCAPS_CAN_PLAY:
        value = 1;
        return 0;
    case MCI_GETDEVCAPS_CAN_RECORD:
    case MCI_GETDEVCAPS_CAN_EJECT:
    case MCI_GETDEVCAPS_HAS_VIDEO:
        value = 0;
        return 0;
    case MCI_GETDEVCAPS_DEVICE_TYPE:
        value = MCI_DEVTYPE_SEQUENCER;
        return 0;
    default:
        return MCIERR_UNSUPPORTED_FUNCTION;
    }
}

} // namespace mci
