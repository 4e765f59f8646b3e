// How one song went, and the one codec that carries it: from a worker to
// the batch over a pipe, and into the report's JSON line.
//
// How kestrune-render carries what went wrong: a refusal of the command
// line is a UsageError (exit status 2); what stops the batch itself (no
// pipe, no worker process) is a std::runtime_error; what goes wrong with
// one song is text, which each step returns (empty when nothing did) and
// which ends in Result::error. Exceptions of the recording session are
// caught where a song is rendered, and become that text.
#pragma once

#include "engine/Levels.h"

#include <cstdint>
#include <string>
#include <vector>

namespace render {

/// How one file went.
struct Result {
    enum class Status { Ok, Failed, Skipped };
    Status status = Status::Failed;
    std::int64_t frames = 0; // frames of the output's format
    double seconds = 0;      // its length
    std::string error;       // why it failed
    audio::Levels levels;    // what the saved file holds (measured when ok)
    bool measured = false;
    double gainDb = 0; // --normalize: the gain it was given
    /// --stems: each stem's output and what it holds.
    struct Stem {
        std::string output;
        audio::Levels levels;
        bool measured = false;
        bool operator==(const Stem &) const = default;
    };
    std::vector<Stem> stems;
    /// --live: the instrument and its input while the song played.
    struct Live {
        bool used = false;
        long latency = 0;          // frames the recording was placed earlier by
        double floorDb = -1e9;     // the input's noise floor (dBFS)
        double inputPeakDb = -1e9; // the loudest sample heard (dBFS)
        long long inputClipped = 0;
        double driftPpm = 0;          // the input's clock against the engine's
        bool ringOutTimedOut = false; // the last song never rang out
        bool operator==(const Live &) const = default;
    } live;
    /// --loop-file: where its loop lies, in frames; -1 where it has none.
    std::int64_t loopStart = -1;
    std::int64_t loopLength = -1;
    bool operator==(const Result &) const = default;
};

/// A result as one line of JSON without its line break, every field exact:
/// what a worker sends the batch.
std::string resultLine(const Result &result);

/// A resultLine() read back into `result`; false when `line` is not one.
bool readResultLine(const std::string &line, Result &result);

/// How the batch was asked, as far as the report shows it.
struct ReportContext {
    bool normalize = false; // a gain is reported
    bool stems = false;     // the stems are listed, none or more
    bool loopFile = false;  // where each loop lies
};

/// The report's members for a result, from "frames" to "error", without
/// braces: levels to the hundredth of a decibel, and null where nothing was
/// measured (silence has no loudness and no peak).
std::string reportMembers(const Result &result, const ReportContext &context);

/// One line of a report, read back: a song's (`kind` empty), or what a
/// crash left behind ("leftover" or "interrupted", `action` what was done).
struct ReportLine {
    std::string input, output, format;
    std::string kind, action;
    Result result; // what the line shows; `measured` when it shows levels
};

/// Reads a line of the report; false when it is not one.
bool readReportLine(const std::string &line, ReportLine &read);

} // namespace render
