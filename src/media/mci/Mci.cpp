// The command dispatcher: the table of open devices, the routing of each
// command to its device, completion notices of waited commands, error texts
// and the trace hook.
#include "media/mci/Mci.h"

#include "media/mci/Driver.h"
#include "media/mci/NoticeWindow.h"
#include "media/mci/SequencerDriver.h"
#include "media/mci/WaveAudioDriver.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

namespace mci {
namespace {

// Commands come from the window thread; the lock keeps the table whole
// should a test drive devices from another.
std::mutex g_devicesMutex;
std::map<MCIDEVICEID, std::unique_ptr<Driver>> g_devices;
MCIDEVICEID g_lastId = 0;

std::mutex g_traceMutex;
std::function<void(const TraceEntry &)> g_trace;

// The texts devices made for one failure each, by code. A code is never
// used twice, so a later error cannot change the text of an earlier one;
// past kCustomTexts the oldest are forgotten (their codes then have no text).
constexpr std::size_t kCustomTexts = 4096;
std::mutex g_customMutex;
std::map<MCIERROR, std::string> g_customTexts;
MCIERROR g_nextCustom = MCIERR_CUSTOM_DRIVER_BASE;

std::string lower(const char *text) {
    std::string s(text ? text : "");
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string extensionOf(const std::string &path) {
    auto slash = path.rfind('/');
    auto dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return {};
    return lower(path.substr(dot + 1).c_str());
}

MCIDEVICEID allocateId() {
    // 16-bit identifiers, 0 meaning none; skip those in use after wrapping.
    for (;;) {
        g_lastId = (g_lastId % 0xFFFF) + 1;
        if (!g_devices.count(g_lastId))
            return g_lastId;
    }
}

MCIERROR openDevice(DWORD flags, MCI_OPEN_PARMS &parms, TraceEntry &trace) {
    std::string type;
    if (flags & MCI_OPEN_TYPE) {
        type = lower(parms.lpstrDeviceType);
        trace.deviceType = parms.lpstrDeviceType ? parms.lpstrDeviceType : "";
    }
    std::string element;
    if (flags & MCI_OPEN_ELEMENT) {
        element = parms.lpstrElementName ? parms.lpstrElementName : "";
        trace.element = element;
    }
    if (type.empty()) {
        // Choose the device from the file, as the platform does.
        std::string ext = extensionOf(element);
        if (ext == "mid" || ext == "midi" || ext == "rmi" || ext == "kar")
            type = "sequencer";
        else if (ext == "wav" || ext == "wave")
            type = "waveaudio";
        else
            return makeCustomError("No device plays files of this kind: " + element);
    }
    // Only a wave-audio device opens on nothing: a new recording.
    if (element.empty() && type != "waveaudio")
        return MCIERR_FILENAME_REQUIRED;

    std::lock_guard<std::mutex> guard(g_devicesMutex);
    const MCIDEVICEID id = allocateId();
    std::unique_ptr<Driver> device;
    if (type == "sequencer")
        device = std::make_unique<SequencerDriver>(id, parms.engine);
    else if (type == "waveaudio")
        device = std::make_unique<WaveAudioDriver>(id, parms.engine);
    else
        return MCIERR_INVALID_DEVICE_NAME;
    MCIERROR result = device->open(element);
    if (result != 0) {
        device->close();
        return result;
    }
    parms.wDeviceID = id;
    g_devices[id] = std::move(device);
    return 0;
}

Driver *findDevice(MCIDEVICEID id) {
    std::lock_guard<std::mutex> guard(g_devicesMutex);
    auto it = g_devices.find(id);
    return it == g_devices.end() ? nullptr : it->second.get();
}

MCIERROR dispatch(MCIDEVICEID id, unsigned command, DWORD flags, void *params, TraceEntry &trace) {
    if (!params)
        return MCIERR_NULL_PARAMETER_BLOCK;
    if (command == MCI_OPEN)
        return openDevice(flags, *static_cast<MCI_OPEN_PARMS *>(params), trace);

    Driver *device = findDevice(id);
    if (!device)
        return MCIERR_INVALID_DEVICE_ID;
    const DWORD_PTR callback = static_cast<MCI_GENERIC_PARMS *>(params)->dwCallback;
    switch (command) {
    case MCI_CLOSE: {
        device->close();
        std::lock_guard<std::mutex> guard(g_devicesMutex);
        g_devices.erase(id);
        return 0;
    }
    case MCI_PLAY:
        return device->play((flags & MCI_NOTIFY) ? callback : 0);
    case MCI_RECORD: {
        const auto &parms = *static_cast<MCI_RECORD_PARMS *>(params);
        return device->record(
            (flags & MCI_NOTIFY) ? callback : 0, (flags & MCI_TO) ? std::int64_t(parms.dwTo) : -1,
            (flags & MCI_RECORD_JOURNAL) && parms.lpstrJournal ? std::string(parms.lpstrJournal)
                                                               : std::string());
    }
    case MCI_SET: {
        constexpr DWORD waveFormat = MCI_WAVE_SET_FORMATTAG | MCI_WAVE_SET_CHANNELS |
                                     MCI_WAVE_SET_SAMPLESPERSEC | MCI_WAVE_SET_BITSPERSAMPLE;
        if (!(flags & (MCI_SET_TIME_FORMAT | waveFormat)))
            return MCIERR_UNSUPPORTED_FUNCTION;
        if (flags & MCI_SET_TIME_FORMAT)
            if (const MCIERROR result =
                    device->setTimeFormat(static_cast<MCI_SET_PARMS *>(params)->dwTimeFormat))
                return result;
        if (flags & waveFormat)
            return device->setWaveFormat(flags & waveFormat,
                                         *static_cast<MCI_WAVE_SET_PARMS *>(params));
        return 0;
    }
    case MCI_STOP:
        return device->stop();
    case MCI_SEEK:
        if (flags & MCI_SEEK_TO_START)
            return device->seekToStart();
        if (flags & MCI_TO)
            return device->seekTo(static_cast<MCI_SEEK_PARMS *>(params)->dwTo);
        return MCIERR_UNSUPPORTED_FUNCTION;
    case MCI_SAVE: {
        auto &parms = *static_cast<MCI_SAVE_PARMS *>(params);
        if (!(flags & MCI_SAVE_FILE) || !parms.lpfilename || !*parms.lpfilename)
            return MCIERR_FILENAME_REQUIRED;
        trace.element = parms.lpfilename;
        return device->save(parms.lpfilename);
    }
    case MCI_STATUS: {
        auto &parms = *static_cast<MCI_STATUS_PARMS *>(params);
        trace.item = parms.dwItem;
        if (!(flags & MCI_STATUS_ITEM))
            return MCIERR_UNSUPPORTED_FUNCTION;
        return device->status(parms.dwItem, parms.dwReturn);
    }
    case MCI_GETDEVCAPS: {
        auto &parms = *static_cast<MCI_GETDEVCAPS_PARMS *>(params);
        trace.item = parms.dwItem;
        if (!(flags & MCI_GETDEVCAPS_ITEM))
            return MCIERR_UNSUPPORTED_FUNCTION;
        return device->capability(parms.dwItem, parms.dwReturn);
    }
    case MCI_WHERE:
        // Neither device shows pictures.
        return MCIERR_UNSUPPORTED_FUNCTION;
    default:
        return MCIERR_UNRECOGNIZED_COMMAND;
    }
}

const char *standardText(MCIERROR code) {
    switch (code) {
    case MCIERR_INVALID_DEVICE_ID:
        return "Invalid device ID. Use the ID given to the device when the device was opened.";
    case MCIERR_UNRECOGNIZED_COMMAND:
        return "The driver cannot recognize the specified command.";
    case MCIERR_HARDWARE:
        return "There is a problem with your media device.";
    case MCIERR_INVALID_DEVICE_NAME:
        return "The specified device is not open or is not recognized by MCI.";
    case MCIERR_OUT_OF_MEMORY:
        return "There is not enough memory available for this task.";
    case MCIERR_UNSUPPORTED_FUNCTION:
        return "The specified device cannot carry out this command.";
    case MCIERR_FILE_NOT_FOUND:
        return "The specified file cannot be found.";
    case MCIERR_DEVICE_NOT_READY:
        return "The device is not ready.";
    case MCIERR_FILE_NOT_SAVED:
        return "The file was not saved.";
    case MCIERR_BAD_TIME_FORMAT:
        return "The specified value for the time format is invalid.";
    case MCIERR_INVALID_FILE:
        return "The specified file cannot be played on the specified MCI device.";
    case MCIERR_NULL_PARAMETER_BLOCK:
        return "A null parameter block was passed to MCI.";
    case MCIERR_FILENAME_REQUIRED:
        return "A valid file name is required.";
    case MCIERR_DEVICE_NOT_INSTALLED:
        return "The specified device is not installed on the system.";
    default:
        return nullptr;
    }
}

} // namespace

MCIERROR sendCommand(MCIDEVICEID deviceId, unsigned command, DWORD flags, void *params) {
    TraceEntry trace;
    trace.deviceId = deviceId;
    trace.command = command;
    trace.flags = flags;
    const MCIERROR result = dispatch(deviceId, command, flags, params, trace);
    trace.result = result;

    // Play and record earn their notice when they end; every other command
    // has ended when it returns.
    const bool running = (command == MCI_PLAY || command == MCI_RECORD) && result == 0;
    if ((flags & MCI_NOTIFY) && params && !running) {
        MCIDEVICEID id = deviceId;
        if (command == MCI_OPEN && result == 0)
            id = static_cast<MCI_OPEN_PARMS *>(params)->wDeviceID;
        postNotice(static_cast<MCI_GENERIC_PARMS *>(params)->dwCallback,
                   result == 0 ? MCI_NOTIFY_SUCCESSFUL : MCI_NOTIFY_FAILURE, id);
    }

    std::function<void(const TraceEntry &)> hook;
    {
        std::lock_guard<std::mutex> guard(g_traceMutex);
        hook = g_trace;
    }
    if (hook)
        hook(trace);
    return result;
}

bool getErrorString(MCIERROR code, char *buffer, unsigned size) {
    if (!buffer || size == 0)
        return false;
    std::string text;
    if (const char *standard = standardText(code)) {
        text = standard;
    } else {
        std::lock_guard<std::mutex> guard(g_customMutex);
        const auto found = g_customTexts.find(code);
        if (found != g_customTexts.end())
            text = found->second;
    }
    if (text.empty()) {
        buffer[0] = '\0';
        return false;
    }
    const std::size_t n = std::min<std::size_t>(text.size(), size - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return true;
}

void setTraceHook(std::function<void(const TraceEntry &)> hook) {
    std::lock_guard<std::mutex> guard(g_traceMutex);
    g_trace = std::move(hook);
}

MCIERROR makeCustomError(const std::string &text) {
    std::lock_guard<std::mutex> guard(g_customMutex);
    if (g_nextCustom < MCIERR_CUSTOM_DRIVER_BASE) // wrapped after four billion errors
        g_nextCustom = MCIERR_CUSTOM_DRIVER_BASE;
    const MCIERROR code = g_nextCustom++;
    g_customTexts[code] = text;
    if (g_customTexts.size() > kCustomTexts)
        g_customTexts.erase(g_customTexts.begin());
    return code;
}

} // namespace mci
