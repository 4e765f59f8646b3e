// The media device controller: one MCI device opened on a file, driven by
// command, with its completion notices turned into OnNotify calls.
#pragma once

#include "engine/WaveFile.h"
#include "media/mci/Mci.h"
#include "platform/Exception.h"

#include <QObject>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace mci {
class NoticeWindow;
}

/// The error the controller raises: a failed Open, or a command on a
/// controller that is not open.
class EMCIDeviceError : public Exception {
public:
    using Exception::Exception;
};

enum TMPDeviceTypes : std::uint8_t {
    dtAutoSelect,
    dtAVIVideo,
    dtCDAudio,
    dtDAT,
    dtDigitalVideo,
    dtMMMovie,
    dtOther,
    dtOverlay,
    dtScanner,
    dtSequencer,
    dtVCR,
    dtVideodisc,
    dtWaveAudio
};

enum TMPModes { mpNotReady, mpStopped, mpPlaying, mpRecording, mpSeeking, mpPaused, mpOpen };

enum TMPNotifyValues : std::uint8_t { nvSuccessful, nvSuperseded, nvAborted, nvFailure };

/// Units of positions and lengths; the number is the MCI time format's.
enum TMPTimeFormats {
    tfMilliseconds,
    tfHMS,
    tfMSF,
    tfFrames,
    tfSMPTE24,
    tfSMPTE25,
    tfSMPTE30,
    tfSMPTE30Drop,
    tfBytes,
    tfSamples,
    tfTMSF
};

enum TMPBtnType { btPlay, btPause, btStop, btNext, btPrev, btStep, btBack, btRecord, btEject };

/// A set of button-bar buttons, one bit per TMPBtnType.
using TButtonSet = std::uint16_t;
constexpr TButtonSet buttonBit(TMPBtnType b) {
    return static_cast<TButtonSet>(1u << b);
}

class TMediaPlayer;
using TNotifyEvent = std::function<void(QObject *Sender)>;

/// The controller's button bar and video display are never shown, so it is
/// a plain object; its notice window stands for the control's own window.
class TMediaPlayer : public QObject {
    Q_OBJECT
public:
    explicit TMediaPlayer(QObject *parent = nullptr);
    ~TMediaPlayer() override;

    // Properties that read and write their field directly: assigning them
    // sends nothing to the device.
    TNotifyEvent OnNotify;
    std::string FileName;
    TMPDeviceTypes DeviceType = dtAutoSelect;
    bool AutoEnable = true;
    bool AutoOpen = false;
    bool AutoRewind = true;
    bool Shareable = false;
    TButtonSet VisibleButtons = 0x1FF;
    TButtonSet EnabledButtons = 0x1FF;
    /// The sound engine the next Open's device plays on or records from.
    std::shared_ptr<audio::Engine> Engine;

    /// Opens the device on FileName (closing an open one first). Raises
    /// EMCIDeviceError with the device's error text on failure.
    void Open();
    /// Closes the device without saving; nothing happens when none is open.
    void Close();
    /// Starts playback (from the start when at the end and AutoRewind).
    void Play();
    void StartRecording();
    void Stop();
    /// Writes the device's content under FileName; nothing when it is empty.
    void Save();
    int Position();
    int Length();
    TMPModes Mode();

    /// Sets the unit of Position, Length and EndPos on the open device.
    void setTimeFormat(TMPTimeFormats format);
    /// Where the next Play or StartRecording ends, in the time format.
    void setEndPos(int position);
    /// The sample format of an open wave-audio device.
    audio::WaveFormat WaveFormat();
    /// Gives an open wave-audio device that holds nothing yet `format`.
    void setWaveFormat(const audio::WaveFormat &format);
    /// The next StartRecording writes its recording, as it is made, to the
    /// in-progress file `path` (a WAVE file a crash leaves recoverable);
    /// Save then renames it into place when it can.
    void setRecordJournal(const std::string &path);

    /// The one-shot Notify option: arms the next command with `value`.
    void setNotify(bool value);
    bool Notify() const { return FNotify; }

    int Error() const { return FError; }
    TMPNotifyValues NotifyValue() const { return FNotifyValue; }
    std::uint16_t DeviceID() const { return FDeviceID; }
    bool IsOpen() const { return FOpen; }
    /// The flags word of the last command sent.
    std::uint32_t LastFlags() const { return FFlags; }
    /// The device's text for the code in Error.
    std::string ErrorText() const;

    /// The layout has been applied: opens the device when AutoOpen.
    void Loaded();

protected:
    bool event(QEvent *e) override;

private:
    void CheckIfOpen() const;
    std::uint32_t TakeNotify(std::uint32_t byDefault);
    template <class Parms> std::uint32_t TakeTo(Parms &parms);
    mci::DWORD_PTR CallbackWindow();
    mci::MCIERROR Send(unsigned command, std::uint32_t flags, void *params);
    mci::DWORD_PTR StatusQuery(mci::DWORD item);
    void GetDeviceCaps();

    std::unique_ptr<mci::NoticeWindow> FNoticeWindow;
    bool FOpen = false;
    // What the button bar follows; the other capabilities are asked for
    // and not kept, as nothing here steps, ejects or shows video.
    bool FCanPlay = false, FCanRecord = false;
    std::uint32_t FFlags = 0;
    bool FNotify = false;
    bool FNotifyGiven = false;
    bool FUseTo = false;
    int FTo = 0;
    std::string FJournal;
    std::uint16_t FDeviceID = 0;
    int FError = 0;
    TMPNotifyValues FNotifyValue = nvSuccessful;
};
