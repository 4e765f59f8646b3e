// TMediaPlayer: each operation as the commands, flags and parameter records
// it sends through the media control interface.
#include "media/MPlayer.h"

#include "media/mci/NoticeWindow.h"

#include <QCoreApplication>

#include <utility>
#include <vector>

using namespace mci;

namespace {

const char *const kDeviceTypeNames[] = {
    "",        "AVIVideo", "CDAudio",   "DAT", "DigitalVideo", "MMMovie",  "Other",
    "Overlay", "Scanner",  "Sequencer", "VCR", "Videodisc",    "WaveAudio"};

const char *const kNoDevice = QT_TRANSLATE_NOOP("TMediaPlayer", "MCI デバイスがありません");
const char *const kUnknownError = QT_TRANSLATE_NOOP("TMediaPlayer", "原因不明のエラー");

std::string translated(const char *text) {
    return QCoreApplication::translate("TMediaPlayer", text).toStdString();
}

} // namespace

TMediaPlayer::TMediaPlayer(QObject *parent) : QObject(parent) {}

TMediaPlayer::~TMediaPlayer() {
    // Closing at destruction saves nothing; its result does not matter.
    if (FDeviceID != 0) {
        MCI_GENERIC_PARMS parms;
        parms.dwCallback = CallbackWindow();
        sendCommand(FDeviceID, MCI_CLOSE, MCI_WAIT, &parms);
    }
}

void TMediaPlayer::Loaded() {
    if (AutoOpen)
        Open();
}

DWORD_PTR TMediaPlayer::CallbackWindow() {
    if (!FNoticeWindow)
        FNoticeWindow = std::make_unique<NoticeWindow>(this);
    return FNoticeWindow->handle();
}

void TMediaPlayer::CheckIfOpen() const {
    if (!FOpen)
        throw EMCIDeviceError(translated(kNoDevice));
}

std::uint32_t TMediaPlayer::TakeNotify(std::uint32_t byDefault) {
    std::uint32_t flag = byDefault;
    if (FNotifyGiven)
        flag = FNotify ? MCI_NOTIFY : 0;
    FNotifyGiven = false;
    return flag;
}

MCIERROR TMediaPlayer::Send(unsigned command, std::uint32_t flags, void *params) {
    const MCIERROR result = sendCommand(FDeviceID, command, flags, params);
    FFlags = flags;
    FError = static_cast<int>(result);
    return result;
}

std::string TMediaPlayer::ErrorText() const {
    std::vector<char> buffer(4096);
    if (getErrorString(static_cast<MCIERROR>(FError), buffer.data(),
                       static_cast<unsigned>(buffer.size())))
        return std::string(buffer.data());
    return translated(kUnknownError);
}

void TMediaPlayer::setNotify(bool value) {
    FNotify = value;
    FNotifyGiven = true;
}

void TMediaPlayer::Open() {
    if (FOpen)
        Close();
    std::uint32_t flags = MCI_WAIT | TakeNotify(0) | MCI_OPEN_ELEMENT;
    if (DeviceType != dtAutoSelect)
        flags |= MCI_OPEN_TYPE;
    if (Shareable)
        flags |= MCI_OPEN_SHAREABLE;

    MCI_OPEN_PARMS parms;
    parms.dwCallback = CallbackWindow();
    if (DeviceType != dtAutoSelect)
        parms.lpstrDeviceType = kDeviceTypeNames[DeviceType];
    parms.lpstrElementName = FileName.c_str();
    parms.engine = Engine;
    // MCI_OPEN always goes to device 0.
    const MCIERROR result = sendCommand(0, MCI_OPEN, flags, &parms);
    FFlags = flags;
    FError = static_cast<int>(result);
    if (result != 0)
        throw EMCIDeviceError(ErrorText());

    FOpen = true;
    FDeviceID = static_cast<std::uint16_t>(parms.wDeviceID);
    Length(); // the button bar's step size, asked for as the control does
    GetDeviceCaps();
    // The button bar would follow the device here: it asks for the mode.
    Mode();
}

void TMediaPlayer::GetDeviceCaps() {
    auto ask = [this](DWORD item) {
        MCI_GETDEVCAPS_PARMS parms;
        parms.dwCallback = CallbackWindow();
        parms.dwItem = item;
        sendCommand(FDeviceID, MCI_GETDEVCAPS, MCI_WAIT | MCI_GETDEVCAPS_ITEM, &parms);
        FFlags = MCI_WAIT | MCI_GETDEVCAPS_ITEM;
        return parms.dwReturn;
    };
    FCanPlay = ask(MCI_GETDEVCAPS_CAN_PLAY) != 0;
    FCanRecord = ask(MCI_GETDEVCAPS_CAN_RECORD) != 0;
    ask(MCI_GETDEVCAPS_CAN_EJECT);
    ask(MCI_GETDEVCAPS_HAS_VIDEO);
    ask(MCI_GETDEVCAPS_DEVICE_TYPE);

    // The natural picture size; only its result is kept.
    MCI_ANIM_RECT_PARMS where;
    where.dwCallback = CallbackWindow();
    Send(MCI_WHERE, MCI_WAIT | MCI_ANIM_WHERE_SOURCE, &where);
}

void TMediaPlayer::Close() {
    if (FDeviceID == 0)
        return;
    MCI_GENERIC_PARMS parms;
    parms.dwCallback = CallbackWindow();
    if (Send(MCI_CLOSE, MCI_WAIT | TakeNotify(0), &parms) == 0) {
        FOpen = false;
        FDeviceID = 0;
        EnabledButtons = 0;
    }
}

void TMediaPlayer::Play() {
    CheckIfOpen();
    if (AutoRewind && Position() == Length()) {
        // The seek's result is not kept, nor its flags.
        MCI_SEEK_PARMS seek;
        seek.dwCallback = CallbackWindow();
        sendCommand(FDeviceID, MCI_SEEK, MCI_WAIT | MCI_SEEK_TO_START, &seek);
    }
    MCI_PLAY_PARMS parms;
    parms.dwCallback = CallbackWindow();
    Send(MCI_PLAY, TakeNotify(MCI_NOTIFY) | TakeTo(parms), &parms);
}

void TMediaPlayer::StartRecording() {
    CheckIfOpen();
    MCI_RECORD_PARMS parms;
    parms.dwCallback = CallbackWindow();
    // The in-progress file is for this one recording.
    const std::string journal = std::exchange(FJournal, std::string());
    parms.lpstrJournal = journal.c_str();
    Send(MCI_RECORD,
         TakeNotify(MCI_NOTIFY) | TakeTo(parms) | (journal.empty() ? 0 : MCI_RECORD_JOURNAL),
         &parms);
}

void TMediaPlayer::setRecordJournal(const std::string &path) {
    FJournal = path;
}

template <class Parms> std::uint32_t TMediaPlayer::TakeTo(Parms &parms) {
    if (!FUseTo)
        return 0;
    FUseTo = false;
    parms.dwTo = static_cast<DWORD>(FTo);
    return MCI_TO;
}

void TMediaPlayer::setEndPos(int position) {
    FTo = position;
    FUseTo = true;
}

void TMediaPlayer::setTimeFormat(TMPTimeFormats format) {
    CheckIfOpen();
    MCI_SET_PARMS parms;
    parms.dwCallback = CallbackWindow();
    parms.dwTimeFormat = static_cast<DWORD>(format);
    Send(MCI_SET, MCI_WAIT | TakeNotify(0) | MCI_SET_TIME_FORMAT, &parms);
}

audio::WaveFormat TMediaPlayer::WaveFormat() {
    CheckIfOpen();
    audio::WaveFormat format;
    format.floating = StatusQuery(MCI_WAVE_STATUS_FORMATTAG) == WAVE_FORMAT_IEEE_FLOAT;
    format.channels = int(StatusQuery(MCI_WAVE_STATUS_CHANNELS));
    format.sampleRate = int(StatusQuery(MCI_WAVE_STATUS_SAMPLESPERSEC));
    format.bitsPerSample = int(StatusQuery(MCI_WAVE_STATUS_BITSPERSAMPLE));
    return format;
}

void TMediaPlayer::setWaveFormat(const audio::WaveFormat &format) {
    CheckIfOpen();
    MCI_WAVE_SET_PARMS parms;
    parms.dwCallback = CallbackWindow();
    parms.wFormatTag = format.floating ? WAVE_FORMAT_IEEE_FLOAT : WAVE_FORMAT_PCM;
    parms.nChannels = DWORD(format.channels);
    parms.nSamplesPerSec = DWORD(format.sampleRate);
    parms.wBitsPerSample = DWORD(format.bitsPerSample);
    Send(MCI_SET,
         MCI_WAIT | TakeNotify(0) | MCI_WAVE_SET_FORMATTAG | MCI_WAVE_SET_CHANNELS |
             MCI_WAVE_SET_SAMPLESPERSEC | MCI_WAVE_SET_BITSPERSAMPLE,
         &parms);
}

void TMediaPlayer::Stop() {
    CheckIfOpen();
    MCI_GENERIC_PARMS parms;
    parms.dwCallback = CallbackWindow();
    Send(MCI_STOP, MCI_WAIT | TakeNotify(0), &parms);
}

void TMediaPlayer::Save() {
    CheckIfOpen();
    if (FileName.empty())
        return;
    MCI_SAVE_PARMS parms;
    parms.dwCallback = CallbackWindow();
    parms.lpfilename = FileName.c_str();
    Send(MCI_SAVE, MCI_WAIT | TakeNotify(0) | MCI_SAVE_FILE, &parms);
}

DWORD_PTR TMediaPlayer::StatusQuery(DWORD item) {
    MCI_STATUS_PARMS parms;
    parms.dwCallback = CallbackWindow();
    parms.dwItem = item;
    Send(MCI_STATUS, MCI_WAIT | MCI_STATUS_ITEM, &parms);
    return parms.dwReturn;
}

int TMediaPlayer::Position() {
    return static_cast<std::int32_t>(StatusQuery(MCI_STATUS_POSITION));
}

int TMediaPlayer::Length() {
    CheckIfOpen();
    return static_cast<std::int32_t>(StatusQuery(MCI_STATUS_LENGTH));
}

TMPModes TMediaPlayer::Mode() {
    const DWORD_PTR mode = StatusQuery(MCI_STATUS_MODE);
    if (mode < MCI_MODE_NOT_READY || mode > MCI_MODE_OPEN)
        return mpNotReady; // the query failed
    return static_cast<TMPModes>(mode - MCI_MODE_NOT_READY);
}

bool TMediaPlayer::event(QEvent *e) {
    if (e->type() != static_cast<QEvent::Type>(kNoticeEventType))
        return QObject::event(e);
    const auto *notice = static_cast<NoticeEvent *>(e);
    if (AutoEnable && Mode() == mpStopped) {
        // The bar's play and record buttons follow the capabilities; its
        // pause and stop buttons are off.
        EnabledButtons = static_cast<TButtonSet>(
            (EnabledButtons &
             ~(buttonBit(btPause) | buttonBit(btStop) | buttonBit(btPlay) | buttonBit(btRecord))) |
            (FCanPlay ? buttonBit(btPlay) : 0) | (FCanRecord ? buttonBit(btRecord) : 0));
    }
    switch (notice->Code) {
    case MCI_NOTIFY_SUCCESSFUL:
        FNotifyValue = nvSuccessful;
        break;
    case MCI_NOTIFY_SUPERSEDED:
        FNotifyValue = nvSuperseded;
        break;
    case MCI_NOTIFY_ABORTED:
        FNotifyValue = nvAborted;
        break;
    case MCI_NOTIFY_FAILURE:
        FNotifyValue = nvFailure;
        break;
    default:
        break; // any other code leaves the value as it was
    }
    if (OnNotify)
        OnNotify(this);
    return true;
}
