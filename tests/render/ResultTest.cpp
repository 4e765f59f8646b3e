// What a worker sends the batch comes back whole, and the report shows it
// as the report always has.
#include "render/Result.h"

#include <gtest/gtest.h>

namespace {

using render::Result;

Result everyFieldSet() {
    Result r;
    r.status = Result::Status::Ok;
    r.frames = 9007199254740991; // the largest a double holds exactly
    r.seconds = 1.0 / 3;
    r.error = "line one\nline \"two\" \\ and a byte \xff that is not UTF-8";
    r.levels = {-0.1234567890123,
                -0.05,
                -16.000000001,
                42,
                {{0, 512, 1000}, {-20, audio::Overview::kQuiet, -3}}};
    r.measured = true;
    r.gainDb = -3.25;
    r.stems = {{"out/a.stems/01 Piano.wav", {-6, -5.5, -20, 0, {{7}, {-40}}}, true},
               {"out/a.stems/10 Drums \xe3\x83\x89.wav", {-1e9, -1e9, -1e9, 0, {}}, false}};
    r.live = {true, 256, -71.5, -0.7, 3, -12.25, true};
    r.loopStart = 44100;
    r.loopLength = 1234567;
    return r;
}

TEST(ResultCodec, AResultComesBackFromItsLineWithEveryField) {
    const Result sent = everyFieldSet();
    const std::string line = resultLine(sent);
    EXPECT_EQ(line.find('\n'), std::string::npos) << "one line on the pipe";
    Result read;
    ASSERT_TRUE(render::readResultLine(line, read)) << line;
    EXPECT_EQ(read, sent) << line;
    // A result with nothing in it, and lines that are none.
    ASSERT_TRUE(render::readResultLine(resultLine(Result{}), read));
    EXPECT_EQ(read, Result{});
    // (A number no field holds is refused, not converted.)
    for (const char *bad :
         {"", "{", "{\"frames\":}", "{\"stems\":[{]}", "{} x", "{\"frames\":nan}",
          "{\"clipped\":1e300}", "{\"waveform\":{\"peaks\":[4e4],\"loudness\":[0]}}"})
        EXPECT_FALSE(render::readResultLine(bad, read)) << bad;
}

TEST(ResultCodec, TheReportShowsLevelsToTheHundredthAndNullWhereNothingWasMeasured) {
    Result r = everyFieldSet();
    r.live.floorDb = -1e9;
    EXPECT_EQ(reportMembers(r, {true, true}),
              "\"frames\":9007199254740991,\"seconds\":0.333333,\"peak_dbfs\":-0.12,"
              "\"true_peak_dbtp\":-0.05,\"loudness_lufs\":-16.00,\"clipped\":42,"
              "\"waveform\":{\"peaks\":[0,512,1000],\"loudness\":[-20,null,-3]},\"gain_db\":-3.25,"
              "\"stems\":[{\"output\":\"out/a.stems/01 Piano.wav\",\"peak_dbfs\":-6.00,"
              "\"true_peak_dbtp\":-5.50,\"loudness_lufs\":-20.00,\"clipped\":0,"
              "\"waveform\":{\"peaks\":[7],\"loudness\":[-40]}},"
              "{\"output\":\"out/a.stems/10 Drums \xe3\x83\x89.wav\",\"peak_dbfs\":null,"
              "\"true_peak_dbtp\":null,\"loudness_lufs\":null,\"clipped\":null,\"waveform\":null}],"
              "\"latency_frames\":256,\"noise_floor_dbfs\":null,\"input_peak_dbfs\":-0.70,"
              "\"input_clipped\":3,\"drift_ppm\":-12.2,\"ringout_timed_out\":true,"
              "\"status\":\"ok\",\"error\":null");
    Result failed;
    failed.error = "no room";
    EXPECT_EQ(reportMembers(failed, {false, false}),
              "\"frames\":0,\"seconds\":0.000000,\"peak_dbfs\":null,\"true_peak_dbtp\":null,"
              "\"loudness_lufs\":null,\"clipped\":null,\"waveform\":null,\"gain_db\":null,"
              "\"status\":\"failed\","
              "\"error\":\"no room\"");
}

TEST(ResultCodec, AReportLineReadsBackAsTheReportShowsIt) {
    // What the report page reads: a song's line with nulls where nothing
    // was measured, and the line of a recording a crash left.
    Result r = everyFieldSet();
    r.live.floorDb = -1e9;
    render::ReportLine line;
    ASSERT_TRUE(render::readReportLine("{\"input\":\"a.mid\",\"output\":\"out/a.wav\","
                                       "\"format\":\"44100/16/stereo\"," +
                                           reportMembers(r, {true, true, true}) + "}",
                                       line));
    EXPECT_EQ(line.input, "a.mid");
    EXPECT_EQ(line.output, "out/a.wav");
    EXPECT_EQ(line.kind, "");
    EXPECT_NEAR(line.result.levels.peakDb, -0.12, 1e-9);
    EXPECT_EQ(line.result.levels.overview, r.levels.overview);
    EXPECT_TRUE(line.result.measured);
    ASSERT_EQ(line.result.stems.size(), 2u);
    EXPECT_TRUE(line.result.stems[0].measured);
    EXPECT_FALSE(line.result.stems[1].measured);
    EXPECT_TRUE(line.result.live.used);
    EXPECT_FALSE(audio::isLevel(line.result.live.floorDb));
    EXPECT_EQ(line.result.loopLength, 1234567);
    EXPECT_EQ(line.result.error, "");

    ASSERT_TRUE(render::readReportLine(
        "{\"input\":\"b.mid\",\"output\":\"out/b.wav\",\"interrupted\":"
        "\"out/b-interrupted-1.wav\",\"frames\":10,\"seconds\":0.5,\"status\":\"interrupted\","
        "\"action\":\"kept\",\"error\":null}",
        line));
    EXPECT_EQ(line.kind, "interrupted");
    EXPECT_EQ(line.output, "out/b-interrupted-1.wav");
    EXPECT_EQ(line.action, "kept");
    EXPECT_FALSE(line.result.live.used);
    EXPECT_FALSE(render::readReportLine("{\"peak_dbfs\":nul}", line));
}

} // namespace
