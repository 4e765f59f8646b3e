// What a recording run decides from the options, the same for the window
// and for kestrune-render: the template of a format, the output's folder and
// name, the tail after playback, and the encoder's call.
#pragma once

#include "platform/process/Process.h"
#include "settings/Options.h"

#include <string>

/// "KWQF00" and the format index in two digits, zero-padded: 3 gives
/// KWQF0003, 11 gives KWQF0011, -1 gives KWQF00-01.
std::string TemplateBaseNameOf(int quality);

/// The output's folder, with its trailing "/": the folder of choice when it
/// is ticked and not empty (the part up to its last "/"), else the song's.
std::string OutputFolder(const Options &options, const std::string &song);

/// The output's file name: the song's name without its last four
/// characters (its ".mid"), then the quality suffix of the format when the
/// quality information is ticked (nothing for no format), else ".wav".
std::string OutputName(const Options &options, const std::string &song);

/// The MP3 file beside a WAVE file: its path without the last four
/// characters, then ".mp3".
std::string Mp3PathOf(const std::string &wave);

/// The frames a batch recording holds at `rate`: the song's `songFrames`
/// engine frames (`engineRate` a second), rounded up, then the tail, rounded.
std::int64_t BatchRecordingFrames(std::int64_t songFrames, int engineRate, int rate,
                                  double tailSeconds);

/// Seconds recorded after playback ends: the delay when it is ticked, else 0.
int TailSeconds(const Options &options);

/// Whether the encoder runs after a save: encoding ticked, and the encoder
/// path names an existing file (a folder does not count).
bool EncoderRuns(const Options &options);

/// Starts the encoder on a saved WAVE file, with the WAVE path and the path
/// the MP3 is to be written to as its two whole arguments. `output`, when
/// not -1, takes what the encoder prints.
ProcessHandle StartEncoder(const Options &options, const std::string &wave, const std::string &mp3,
                           int output = -1);

/// Whether `path` holds MPEG audio: a frame header near its start (after
/// an ID3v2 tag, if there is one). An empty or missing file does not.
bool HoldsMpegAudio(const std::string &path);

/// Raises Exception when `output` names the song's own file (another
/// spelling or a link counts): recording to it would destroy the song.
void RefuseSongAsOutput(const std::string &output, const std::string &song);
