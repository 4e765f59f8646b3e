// A result's fields are listed once, in fields(); the worker's line, the
// batch's reading of it and the report's members all walk that list.
#include "render/Result.h"

#include "render/Json.h"

#include <cstdio>
#include <cstring>

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
    v.flag("measured", stem.measured, false);
}

template <class R, class Visitor> void fields(R &r, Visitor &v, const ReportContext &context) {
    v.count("frames", r.frames, true);
    v.real("seconds", r.seconds, "%.6f");
    v.decibels("peak_dbfs", r.levels.peakDb, r.measured);
    v.decibels("true_peak_dbtp", r.levels.truePeakDb, r.measured);
    v.decibels("loudness_lufs", r.levels.loudness, r.measured);
    v.count("clipped", r.levels.clipped, r.measured);
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

    template <class T> void count(const char *name, T &value, bool) {
        double number = 0;
        if (mine(name) && (ok = in_.number(number)))
            value = T(number);
    }
    void real(const char *name, double &value, const char *) {
        if (mine(name))
            ok = in_.number(value);
    }
    void decibels(const char *name, double &value, bool) { real(name, value, nullptr); }
    void flag(const char *name, bool &value, bool) {
        if (mine(name))
            ok = (value = in_.word("true")) || in_.word("false");
    }
    void text(const char *name, std::string &value, bool) {
        if (mine(name))
            ok = in_.string(value);
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

std::string reportMembers(const Result &result, const ReportContext &context) {
    Writer writer(false);
    fields(result, writer, context);
    return writer.out;
}

} // namespace render
