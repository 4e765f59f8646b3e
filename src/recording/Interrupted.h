// Recordings that a crash, a kill or a power cut left in their in-progress
// files, found at the next start and kept as WAVE files or discarded.
#pragma once

#include "engine/WaveFile.h"

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

/// The end of an in-progress file's name (".kestrune-XXXXXX.recording"):
/// hidden, of fixed length, and never a name that looks finished.
inline constexpr const char *kInProgressSuffix = ".recording";
/// The end of its note's name: the in-progress file's name and this.
inline constexpr const char *kNoteSuffix = ".info";

/// What an in-progress file's note says of its recording.
struct RecordingNote {
    std::string output;  // where the recording was going
    std::string song;    // the MIDI file played
    std::string started; // when, as yyyy-MM-ddTHH:mm:ss in local time
    double tailSeconds = 0;
};

/// The forms of local times in notes and names: 2026-12-09T14:05:00, 20261209-140500.
inline constexpr const char *kIsoTime = "%Y-%m-%dT%H:%M:%S";
inline constexpr const char *kStampTime = "%Y%m%d-%H%M%S";
/// `when` as local time in `format` (strftime's).
std::string TimeText(std::time_t when, const char *format);

/// A note's text, as written beside the in-progress file, and read back:
/// its keys, whatever else it holds.
std::string RecordingNoteText(const RecordingNote &note);
RecordingNote ParseRecordingNote(const std::string &text);
/// Writes the note beside the in-progress file `inProgress` and syncs it.
bool WriteRecordingNote(const std::string &inProgress, const RecordingNote &note);
/// Removes an in-progress file and its note, if they are there.
void RemoveInProgress(const std::string &inProgress);

/// An in-progress file that no running recording holds.
struct InterruptedRecording {
    std::string file;
    RecordingNote note; // its output is empty when the note was lost
    audio::WaveFormat format;
    std::int64_t frames = 0; // whole frames that reached the file
    double seconds() const { return format.sampleRate ? double(frames) / format.sampleRate : 0; }
};

/// The interrupted recordings in `folders`, oldest first. A file another
/// process still records into (it holds its lock) is passed over, as is
/// one too new to have its header yet.
std::vector<InterruptedRecording> FindInterrupted(const std::vector<std::string> &folders);
/// The same for in-progress files named one by one (a ledger's): those that
/// are not there any more are passed over.
std::vector<InterruptedRecording> FindInterruptedFiles(const std::vector<std::string> &files);

/// Makes `recording` a finished WAVE file: under its output's name when
/// `underOutputName` and no file has that name, else beside the output as
/// "NAME-interrupted-STAMP.wav" (STAMP when it started), and in its own
/// folder when the output's refuses it. Never replaces a file. Returns the
/// path, or empty with `error` saying why (the in-progress file then stays).
std::string KeepInterrupted(const InterruptedRecording &recording, bool underOutputName,
                            std::string &error);
/// Removes an interrupted recording's files. False with `error` when a
/// running recording took it meanwhile or it cannot be removed.
bool DiscardInterrupted(const InterruptedRecording &recording, std::string &error);

/// A temporary file (".kestrune-XXXXXX.tmp") that no running program holds
/// (each holds its own locked while it writes): what a save, a copy or an
/// encoder's MP3 left when its program was killed half-way.
struct Leftover {
    std::string file;
    std::uint64_t bytes = 0;
};
/// The leftovers in `folders`.
std::vector<Leftover> FindLeftovers(const std::vector<std::string> &folders);
/// Removes a leftover, unless a program took it meanwhile. False with
/// `error` saying why not.
bool RemoveLeftover(const Leftover &leftover, std::string &error);

/// The in-progress recordings a program has started, noted in a small file
/// of the user's so that one a crash left is found wherever it lies. Each
/// change rewrites the file whole, under a lock that other copies of the
/// program wait for.
class RecordingsLedger {
public:
    /// The ledger in `file`, made when the first recording is noted.
    explicit RecordingsLedger(std::string file) : file_(std::move(file)) {}
    /// The program's: "recordings-in-progress" in its state folder.
    static std::string programFile();

    void add(const std::string &inProgress);
    void remove(const std::string &inProgress);
    /// The files noted; those no longer there are forgotten on the way.
    std::vector<std::string> files();

private:
    template <typename Change> bool change(Change change);
    std::string file_;
};

/// The paths a ledger file's text holds, one after the other, each ended
/// by a NUL (a path may hold a line break).
std::vector<std::string> ParseLedger(const std::string &text);
