// The interface every driver behind mci::sendCommand implements: one open
// device of the media control interface, a thin adapter over a device of
// the sound engine.
#pragma once

#include "media/mci/Mci.h"

#include <cstdint>
#include <string>

namespace mci {

class Driver {
public:
    explicit Driver(MCIDEVICEID id) : id_(id) {}
    virtual ~Driver() = default;
    Driver(const Driver &) = delete;
    Driver &operator=(const Driver &) = delete;

    /// The MCI_DEVTYPE_* code of the device.
    virtual DWORD deviceType() const = 0;
    /// Opens the device on its element. Returns 0 or an error code.
    virtual MCIERROR open(const std::string &element) = 0;
    /// Ends everything running (aborting pending notices); called before
    /// the driver is destroyed.
    virtual void close() = 0;

    /// `notifyWindow` is 0 when the command wants no notice.
    virtual MCIERROR play(DWORD_PTR) { return MCIERR_UNSUPPORTED_FUNCTION; }
    /// Records until stopped, or until the position `to` (in the time
    /// format) when it is not -1; into the in-progress file `journal` as it
    /// goes when one is named.
    virtual MCIERROR record(DWORD_PTR, std::int64_t, const std::string &) {
        return MCIERR_UNSUPPORTED_FUNCTION;
    }
    /// The unit of positions and lengths (MCI_FORMAT_*).
    virtual MCIERROR setTimeFormat(DWORD) { return MCIERR_UNSUPPORTED_FUNCTION; }
    /// The MCI_WAVE_SET_* fields that `flags` names.
    virtual MCIERROR setWaveFormat(DWORD, const MCI_WAVE_SET_PARMS &) {
        return MCIERR_UNSUPPORTED_FUNCTION;
    }
    virtual MCIERROR stop() = 0;
    virtual MCIERROR seekToStart() = 0;
    /// Moves to `position` in milliseconds (MCI_SEEK with MCI_TO).
    virtual MCIERROR seekTo(DWORD) { return MCIERR_UNSUPPORTED_FUNCTION; }
    virtual MCIERROR save(const std::string &) { return MCIERR_UNSUPPORTED_FUNCTION; }
    /// MCI_STATUS_LENGTH, MCI_STATUS_POSITION (in the time format),
    /// MCI_STATUS_MODE, and a wave-audio device's MCI_WAVE_STATUS_* items.
    virtual MCIERROR status(DWORD item, DWORD_PTR &value) = 0;
    virtual MCIERROR capability(DWORD item, DWORD &value) = 0;

    MCIDEVICEID id() const { return id_; }

private:
    MCIDEVICEID id_;
};

} // namespace mci
