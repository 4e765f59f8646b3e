// The media control interface: command numbers, flags, parameter records and
// notice codes of the platform's MCI, and the two entry points the program calls.
#pragma once

#include <QEvent>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace audio {
class Engine;
}

namespace mci {

using MCIERROR = std::uint32_t;
using MCIDEVICEID = std::uint32_t;
using DWORD = std::uint32_t;
using DWORD_PTR = std::uintptr_t;

// Commands.
inline constexpr unsigned MCI_OPEN = 0x0803;
inline constexpr unsigned MCI_CLOSE = 0x0804;
inline constexpr unsigned MCI_PLAY = 0x0806;
inline constexpr unsigned MCI_SEEK = 0x0807;
inline constexpr unsigned MCI_STOP = 0x0808;
inline constexpr unsigned MCI_GETDEVCAPS = 0x080B;
inline constexpr unsigned MCI_SET = 0x080D;
inline constexpr unsigned MCI_RECORD = 0x080F;
inline constexpr unsigned MCI_SAVE = 0x0813;
inline constexpr unsigned MCI_STATUS = 0x0814;
inline constexpr unsigned MCI_WHERE = 0x0843;

// Flags.
inline constexpr DWORD MCI_NOTIFY = 0x1;
inline constexpr DWORD MCI_WAIT = 0x2;
inline constexpr DWORD MCI_FROM = 0x4;
inline constexpr DWORD MCI_TO = 0x8;
inline constexpr DWORD MCI_SEEK_TO_START = 0x100;
inline constexpr DWORD MCI_RECORD_JOURNAL = 0x40000000;
inline constexpr DWORD MCI_OPEN_SHAREABLE = 0x100;
inline constexpr DWORD MCI_OPEN_ELEMENT = 0x200;
inline constexpr DWORD MCI_OPEN_TYPE = 0x2000;
inline constexpr DWORD MCI_SAVE_FILE = 0x100;
inline constexpr DWORD MCI_SET_TIME_FORMAT = 0x400;
inline constexpr DWORD MCI_STATUS_ITEM = 0x100;
inline constexpr DWORD MCI_GETDEVCAPS_ITEM = 0x100;
inline constexpr DWORD MCI_ANIM_WHERE_SOURCE = 0x20000;
inline constexpr DWORD MCI_WAVE_SET_FORMATTAG = 0x10000;
inline constexpr DWORD MCI_WAVE_SET_CHANNELS = 0x20000;
inline constexpr DWORD MCI_WAVE_SET_SAMPLESPERSEC = 0x40000;
inline constexpr DWORD MCI_WAVE_SET_BITSPERSAMPLE = 0x200000;

// Time formats (MCI_SET_TIME_FORMAT). The sequencer counts samples in the
// engine's frames, 44100 a second; the wave-audio device in its own format's.
inline constexpr DWORD MCI_FORMAT_MILLISECONDS = 0;
inline constexpr DWORD MCI_FORMAT_BYTES = 8;
inline constexpr DWORD MCI_FORMAT_SAMPLES = 9;

// Status items.
inline constexpr DWORD MCI_STATUS_LENGTH = 1;
inline constexpr DWORD MCI_STATUS_POSITION = 2;
inline constexpr DWORD MCI_STATUS_MODE = 4;
inline constexpr DWORD MCI_WAVE_STATUS_FORMATTAG = 0x4001;
inline constexpr DWORD MCI_WAVE_STATUS_CHANNELS = 0x4002;
inline constexpr DWORD MCI_WAVE_STATUS_SAMPLESPERSEC = 0x4003;
inline constexpr DWORD MCI_WAVE_STATUS_BITSPERSAMPLE = 0x4006;

// Wave format tags.
inline constexpr DWORD WAVE_FORMAT_PCM = 1;
inline constexpr DWORD WAVE_FORMAT_IEEE_FLOAT = 3;

// Capability items.
inline constexpr DWORD MCI_GETDEVCAPS_CAN_RECORD = 1;
inline constexpr DWORD MCI_GETDEVCAPS_HAS_VIDEO = 3;
inline constexpr DWORD MCI_GETDEVCAPS_DEVICE_TYPE = 4;
inline constexpr DWORD MCI_GETDEVCAPS_CAN_EJECT = 7;
inline constexpr DWORD MCI_GETDEVCAPS_CAN_PLAY = 8;

// Device types returned by MCI_GETDEVCAPS_DEVICE_TYPE.
inline constexpr DWORD MCI_DEVTYPE_VCR = 513;
inline constexpr DWORD MCI_DEVTYPE_OVERLAY = 515;
inline constexpr DWORD MCI_DEVTYPE_ANIMATION = 519;
inline constexpr DWORD MCI_DEVTYPE_DIGITAL_VIDEO = 520;
inline constexpr DWORD MCI_DEVTYPE_WAVEFORM_AUDIO = 522;
inline constexpr DWORD MCI_DEVTYPE_SEQUENCER = 523;

// Modes.
inline constexpr DWORD MCI_MODE_NOT_READY = 524;
inline constexpr DWORD MCI_MODE_STOP = 525;
inline constexpr DWORD MCI_MODE_PLAY = 526;
inline constexpr DWORD MCI_MODE_RECORD = 527;
inline constexpr DWORD MCI_MODE_SEEK = 528;
inline constexpr DWORD MCI_MODE_PAUSE = 529;
inline constexpr DWORD MCI_MODE_OPEN = 530;

// Completion notice codes, and the window message that carries them.
inline constexpr unsigned MCI_NOTIFY_SUCCESSFUL = 1;
inline constexpr unsigned MCI_NOTIFY_SUPERSEDED = 2;
inline constexpr unsigned MCI_NOTIFY_ABORTED = 4;
inline constexpr unsigned MCI_NOTIFY_FAILURE = 8;
inline constexpr unsigned MM_MCINOTIFY = 0x3B9;

// Error codes.
inline constexpr MCIERROR MCIERR_BASE = 256;
inline constexpr MCIERROR MCIERR_INVALID_DEVICE_ID = MCIERR_BASE + 1;
inline constexpr MCIERROR MCIERR_UNRECOGNIZED_COMMAND = MCIERR_BASE + 5;
inline constexpr MCIERROR MCIERR_HARDWARE = MCIERR_BASE + 6;
inline constexpr MCIERROR MCIERR_INVALID_DEVICE_NAME = MCIERR_BASE + 7;
inline constexpr MCIERROR MCIERR_OUT_OF_MEMORY = MCIERR_BASE + 8;
inline constexpr MCIERROR MCIERR_UNSUPPORTED_FUNCTION = MCIERR_BASE + 18;
inline constexpr MCIERROR MCIERR_FILE_NOT_FOUND = MCIERR_BASE + 19;
inline constexpr MCIERROR MCIERR_DEVICE_NOT_READY = MCIERR_BASE + 20;
inline constexpr MCIERROR MCIERR_FILE_NOT_SAVED = MCIERR_BASE + 30;
inline constexpr MCIERROR MCIERR_BAD_TIME_FORMAT = MCIERR_BASE + 37;
inline constexpr MCIERROR MCIERR_INVALID_FILE = MCIERR_BASE + 40;
inline constexpr MCIERROR MCIERR_NULL_PARAMETER_BLOCK = MCIERR_BASE + 41;
inline constexpr MCIERROR MCIERR_FILENAME_REQUIRED = MCIERR_BASE + 48;
inline constexpr MCIERROR MCIERR_DEVICE_NOT_INSTALLED = MCIERR_BASE + 50;
// Codes from here on carry a text that the device made for one failure.
inline constexpr MCIERROR MCIERR_CUSTOM_DRIVER_BASE = MCIERR_BASE + 256;

// Parameter records. dwCallback is the handle of the window that receives
// the command's completion notice (see NoticeWindow).
struct MCI_GENERIC_PARMS {
    DWORD_PTR dwCallback = 0;
};

/// MCI_OPEN's record. `engine` is this program's own field: the sound
/// engine the device plays on or records from (the platform's devices use
/// the system's). A wave-audio device opened by type on an empty element
/// holds nothing yet, in the format MCI_SET gives it.
struct MCI_OPEN_PARMS {
    DWORD_PTR dwCallback = 0;
    MCIDEVICEID wDeviceID = 0;
    const char *lpstrDeviceType = nullptr;
    const char *lpstrElementName = nullptr;
    const char *lpstrAlias = nullptr;
    std::shared_ptr<audio::Engine> engine;
};

struct MCI_PLAY_PARMS {
    DWORD_PTR dwCallback = 0;
    DWORD dwFrom = 0;
    DWORD dwTo = 0;
};

/// MCI_RECORD's record. With MCI_RECORD_JOURNAL (a flag of this program's
/// own) the wave-audio device writes the recording, as it is made, to the
/// in-progress file lpstrJournal, a WAVE file that a crash leaves recoverable.
struct MCI_RECORD_PARMS {
    DWORD_PTR dwCallback = 0;
    DWORD dwFrom = 0;
    DWORD dwTo = 0;
    const char *lpstrJournal = nullptr;
};

struct MCI_SEEK_PARMS {
    DWORD_PTR dwCallback = 0;
    DWORD dwTo = 0;
};

struct MCI_SET_PARMS {
    DWORD_PTR dwCallback = 0;
    DWORD dwTimeFormat = 0;
    DWORD dwAudio = 0;
};

/// MCI_SET's record for a wave-audio device: a time format, and the format
/// of a device that holds nothing yet.
struct MCI_WAVE_SET_PARMS {
    DWORD_PTR dwCallback = 0;
    DWORD dwTimeFormat = 0;
    DWORD dwAudio = 0;
    DWORD wFormatTag = 0;
    DWORD nChannels = 0;
    DWORD nSamplesPerSec = 0;
    DWORD wBitsPerSample = 0;
};

struct MCI_SAVE_PARMS {
    DWORD_PTR dwCallback = 0;
    const char *lpfilename = nullptr;
};

struct MCI_STATUS_PARMS {
    DWORD_PTR dwCallback = 0;
    DWORD_PTR dwReturn = 0;
    DWORD dwItem = 0;
    DWORD dwTrack = 0;
};

struct MCI_GETDEVCAPS_PARMS {
    DWORD_PTR dwCallback = 0;
    DWORD dwReturn = 0;
    DWORD dwItem = 0;
};

struct MCI_RECT {
    long left = 0, top = 0, right = 0, bottom = 0;
};

struct MCI_ANIM_RECT_PARMS {
    DWORD_PTR dwCallback = 0;
    MCI_RECT rc;
};

/// Sends a command to a device (device 0 for MCI_OPEN). `params` points to the
/// parameter record the command takes. Returns 0, or an MCI error code.
MCIERROR sendCommand(MCIDEVICEID deviceId, unsigned command, DWORD flags, void *params);

/// Copies the text of an error code into `buffer` (at most `size` bytes with
/// the closing NUL). Returns false when the code has no text.
bool getErrorString(MCIERROR code, char *buffer, unsigned size);

/// The Qt event type of a completion notice. Qt keeps the types below
/// QEvent::User for itself, so the message number is counted from there.
inline constexpr int kNoticeEventType = 1000 + MM_MCINOTIFY;

/// A completion notice as it reaches the window named by dwCallback, with the
/// notice code (first message parameter) and the device id (second).
class NoticeEvent : public QEvent {
public:
    NoticeEvent(unsigned code, MCIDEVICEID deviceId)
        : QEvent(static_cast<QEvent::Type>(kNoticeEventType)), Code(code), DeviceId(deviceId) {}
    const unsigned Code;
    const MCIDEVICEID DeviceId;
};

/// One command as the trace hook sees it, after the device has answered.
struct TraceEntry {
    MCIDEVICEID deviceId = 0;
    unsigned command = 0;
    DWORD flags = 0;
    DWORD item = 0;         // MCI_STATUS and MCI_GETDEVCAPS: the item asked for
    std::string deviceType; // MCI_OPEN: the device type string, if any
    std::string element;    // MCI_OPEN: the element; MCI_SAVE: the file name
    MCIERROR result = 0;
};

/// Installs a hook that sees every command (tests). An empty function removes it.
void setTraceHook(std::function<void(const TraceEntry &)> hook);

/// Makes a code in the custom range that getErrorString answers with `text`.
/// Devices use it to say exactly what was wrong with a file.
MCIERROR makeCustomError(const std::string &text);

} // namespace mci
