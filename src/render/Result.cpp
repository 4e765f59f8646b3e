// A result's fields are listed once, in fields(); the worker's line, the
// batch's reading of it and the report's members all walk that list.
#include "render/Result.h"

#include "render/Json.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

namespace render {
namespace {

const char *statusText(Result::Status status) {
    switch (status) {
    case Result::Status::Ok:
        return "ok";
    case Result::Status::Skipped:
        return "skipped";
    default:
        return "failed";
    }
}

// The fields of a stem and of a result, in the report's order. `shown`
// says whether the report gives the value or null; `inReport` whether it
// is in the report at all (the worker's line carries every field).
template <class Stem, class Visitor> void stemFields(Stem &stem, Visitor &v) {
    v.text("output", stem.output, true);
    v.decibels("peak_dbfs", stem.levels.peakDb, stem.measured);
    v.decibels("true_peak_dbtp", stem.levels.truePeakDb, stem.measured);
    v.decibels("loudness_lufs", stem.levels.loudness, stem.measured);
    v.count("clipped", stem.levels.clipped, stem.measured);
    v.overview("waveform", stem.levels.overview, stem.measured);
    v.flag("measured", stem.measured, false);
}

template <class R, class Visitor> void fields(R &r, Visitor &v, const ReportContext &context) {
    v.count("frames", r.frames, true);
    v.real("seconds", r.seconds, "%.6f");
    v.decibels("peak_dbfs", r.levels.peakDb, r.measured);
    v.decibels("true_peak_dbtp", r.levels.truePeakDb, r.measured);
    v.decibels("loudness_lufs", r.levels.loudness, r.measured);
    v.count("clipped", r.levels.clipped, r.measured);
    v.overview("waveform", r.levels.overview, r.measured);
    v.decibels("gain_db", r.gainDb, context.normalize && r.measured);
    v.flag("measured", r.measured, false);
    v.stems("stems", r.stems, context.stems);
    if (v.all || context.loopFile) {
        v.count("loop_start_frames", r.loopStart, r.loopStart >= 0);
        v.count("loop_length_frames", r.loopLength, r.loopStart >= 0);
    }
    // The instrument and its input while the song played.
    v.flag("live", r.live.used, false);
    if (v.all || r.live.used) {
        v.count("latency_frames", r.live.latency, true);
        v.decibels("noise_floor_dbfs", r.live.floorDb, true);
        v.decibels("input_peak_dbfs", r.live.inputPeakDb, true);
        v.count("input_clipped", r.live.inputClipped, true);
        v.real("drift_ppm", r.live.driftPpm, "%.1f");
        v.flag("ringout_timed_out", r.live.ringOutTimedOut, true);
    }
    v.status("status", r.status);
    v.text("error", r.error, r.status == Result::Status::Failed);
}

// Writes the fields: every one exactly (`exact`), or as the report shows them.
class Writer {
public:
    explicit Writer(bool exact) : all(exact), exact_(exact) {}
    const bool all;
    std::string out;

    template <class T> void count(const char *name, const T &value, bool shown) {
        member(name, shown || exact_ ? std::to_string(value) : "null");
    }
    void real(const char *name, double value, const char *format) {
        member(name, printed(exact_ ? "%.17g" : format, value));
    }
    void decibels(const char *name, double value, bool shown) {
        if (exact_)
            member(name, printed("%.17g", value));
        else
            member(name, shown && audio::isLevel(value) ? printed("%.2f", value) : "null");
    }
    void flag(const char *name, bool value, bool inReport) {
        if (exact_ || inReport)
            member(name, value ? "true" : "false");
    }
    void text(const char *name, const std::string &value, bool shown) {
        member(name, shown || exact_ ? jsonText(value) : "null");
    }
    void status(const char *name, Result::Status value) {
        member(name, jsonText(statusText(value)));
    }
    // {"peaks":[...],"loudness":[...]}, a quiet column's loudness null.
    void overview(const char *name, const audio::Overview &overview, bool shown) {
        if (!(shown || exact_) || overview.peaks.empty())
            return member(name, "null");
        std::string text = "{\"peaks\":[";
        for (std::size_t i = 0; i < overview.peaks.size(); ++i)
            text += (i ? "," : "") + std::to_string(overview.peaks[i]);
        text += "],\"loudness\":[";
        for (std::size_t i = 0; i < overview.loudness.size(); ++i)
            text += (i ? "," : "") + (overview.loudness[i] == audio::Overview::kQuiet
                                          ? std::string("null")
                                          : std::to_string(overview.loudness[i]));
        member(name, text + "]}");
    }
    void stems(const char *name, const std::vector<Result::Stem> &stems, bool inReport) {
        if (!exact_ && !inReport)
            return;
        std::string list = "[";
        for (const Result::Stem &stem : stems) {
            Writer each(exact_);
            stemFields(stem, each);
            list += (list.size() > 1 ? ",{" : "{") + each.out + "}";
        }
        member(name, list + "]");
    }

private:
    void member(const char *name, const std::string &value) {
        out += (out.empty() ? "\"" : ",\"") + std::string(name) + "\":" + value;
    }
    static std::string printed(const char *format, double value) {
        char text[40];
        std::snprintf(text, sizeof text, format, value);
        return text;
    }
    const bool exact_;
};

// Reads the value of member `key` into the field of that name.
class Reader {
public:
    Reader(JsonReader &in, const std::string &key) : in_(in), key_(key) {}
    static constexpr bool all = true;
    bool found = false, ok = true;

    // A number or a string may be null, as the report shows what was not
    // measured: the field keeps its value.
    template <class T> void count(const char *name, T &value, bool) {
        double number = 0;
        if (!mine(name) || in_.word("null") || !(ok = in_.number(number)))
            return;
        // Only a number the field holds: any other would not convert.
        ok = number >= double(std::numeric_limits<T>::min()) &&
             number < double(std::numeric_limits<T>::max());
        if (ok)
            value = T(number);
    }
    void real(const char *name, double &value, const char *) {
        if (mine(name) && !in_.word("null"))
            ok = in_.number(value);
    }
    void decibels(const char *name, double &value, bool) { real(name, value, nullptr); }
    void flag(const char *name, bool &value, bool) {
        if (mine(name))
            ok = (value = in_.word("true")) || in_.word("false");
    }
    void text(const char *name, std::string &value, bool) {
        if (mine(name) && !in_.word("null"))
            ok = in_.string(value);
    }
    void overview(const char *name, audio::Overview &overview, bool) {
        if (!mine(name) || in_.word("null"))
            return;
        ok = object(in_, [&](Reader &member) {
            member.numbers("peaks", overview.peaks);
            member.numbers("loudness", overview.loudness);
        });
        ok = ok && overview.peaks.size() == overview.loudness.size();
    }
    // A list of whole numbers, null read as Overview::kQuiet.
    void numbers(const char *name, std::vector<std::int16_t> &list) {
        if (!mine(name) || !(ok = in_.take('[')) || in_.take(']'))
            return;
        do {
            double number = audio::Overview::kQuiet;
            ok = in_.word("null") || (in_.number(number) && number >= -32768 && number <= 32767);
            list.push_back(std::int16_t(ok ? number : 0));
        } while (ok && in_.take(','));
        ok = ok && in_.take(']');
    }
    void status(const char *name, Result::Status &value) {
        std::string text;
        if (!mine(name) || !(ok = in_.string(text)))
            return;
        value = text == "ok"        ? Result::Status::Ok
                : text == "skipped" ? Result::Status::Skipped
                                    : Result::Status::Failed;
    }
    void stems(const char *name, std::vector<Result::Stem> &stems, bool) {
        if (!mine(name) || !(ok = in_.take('[')) || in_.take(']'))
            return;
        do {
            Result::Stem &stem = stems.emplace_back();
            ok = object(in_, [&](Reader &member) { stemFields(stem, member); });
        } while (ok && in_.take(','));
        ok = ok && in_.take(']');
    }

    // Reads one object, each member into the field `visit` names; a member
    // no field takes is passed over.
    template <class Visit> static bool object(JsonReader &in, const Visit &visit) {
        if (!in.take('{'))
            return false;
        if (in.take('}'))
            return true;
        do {
            std::string key;
            if (!in.string(key) || !in.take(':'))
                return false;
            Reader member(in, key);
            visit(member);
            if (!member.ok || (!member.found && !in.skipValue()))
                return false;
        } while (in.take(','));
        return in.take('}');
    }

private:
    bool mine(const char *name) {
        if (found || key_ != name)
            return false;
        return found = true;
    }
    JsonReader &in_;
    const std::string &key_;
};

} // namespace

std::string resultLine(const Result &result) {
    Writer writer(true);
    fields(result, writer, ReportContext{});
    return "{" + writer.out + "}";
}

bool readResultLine(const std::string &line, Result &result) {
    JsonReader in(line);
    result = Result{};
    const ReportContext context;
    return Reader::object(in, [&](Reader &member) { fields(result, member, context); }) &&
           in.atEnd();
}

bool readReportLine(const std::string &line, ReportLine &read) {
    JsonReader in(line);
    read = ReportLine{};
    std::string leftover, interrupted;
    Result &r = read.result;
    const ReportContext context{true, true, true};
    // Live fields are there for a live song only: latency_frames among them.
    constexpr long kNoLatency = -2147483647L;
    r.live.latency = kNoLatency;
    if (!Reader::object(in,
                        [&](Reader &member) {
                            member.text("input", read.input, true);
                            member.text("output", read.output, true);
                            member.text("format", read.format, true);
                            member.text("leftover", leftover, true);
                            member.text("interrupted", interrupted, true);
                            member.text("action", read.action, true);
                            member.count("bytes", r.frames, true);
                            fields(r, member, context);
                        }) ||
        !in.atEnd())
        return false;
    if (!leftover.empty() || !interrupted.empty()) {
        read.kind = leftover.empty() ? "interrupted" : "leftover";
        read.output = leftover.empty() ? interrupted : leftover;
        r.status = Result::Status::Skipped;
    }
    // The report shows no levels where none were measured.
    r.measured = audio::isLevel(r.levels.peakDb) || !r.levels.overview.peaks.empty();
    for (Result::Stem &stem : r.stems)
        stem.measured = audio::isLevel(stem.levels.peakDb) || !stem.levels.overview.peaks.empty();
    r.live.used = r.live.latency != kNoLatency;
    if (!r.live.used)
        r.live.latency = 0;
    return true;
}

std::string reportMembers(const Result &result, const ReportContext &context) {
    Writer writer(false);
    fields(result, writer, context);
    return writer.out;
}

} // namespace render
