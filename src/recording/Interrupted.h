// Recordings that a crash, a kill or a power cut left in their in-progress
// files, found at the next start and kept as WAVE files or discarded.
#pragma once

#include "engine/WaveFile.h"

#include <cstdint>
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
