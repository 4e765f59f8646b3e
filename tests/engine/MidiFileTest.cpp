// The MIDI file reader: timing through tempo maps and divisions, and the
// refusal of malformed files with a message that says what is wrong.
#include "engine/MidiFile.h"
#include "support/MidiWriter.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

using audio::MidiFileError;
using audio::parseMidiFile;
using test::Bytes;
using test::midiFile;
using test::TrackWriter;

namespace {

audio::MidiSong parse(const Bytes &b) {
    return parseMidiFile(b.data(), b.size());
}

std::string refusal(const Bytes &b) {
    try {
        parse(b);
    } catch (const MidiFileError &e) {
        return e.what();
    }
    return "accepted";
}

// `smf` in a RIFF file of `form`, in a chunk named `chunk`, after an INFO list.
Bytes riffMidi(const Bytes &smf, const char *form = "RMID", const char *chunk = "data") {
    Bytes body(form, form + 4);
    for (const Bytes &part : {Bytes{'L', 'I', 'S', 'T', 5, 0, 0, 0, 'I', 'N', 'F', 'O', 'x', 0},
                              Bytes(chunk, chunk + 4)}) // the list is padded to even
        body.insert(body.end(), part.begin(), part.end());
    for (int i = 0; i < 4; ++i)
        body.push_back(std::uint8_t(smf.size() >> (8 * i)));
    body.insert(body.end(), smf.begin(), smf.end());
    Bytes riff{'R', 'I', 'F', 'F'};
    for (int i = 0; i < 4; ++i)
        riff.push_back(std::uint8_t(body.size() >> (8 * i)));
    riff.insert(riff.end(), body.begin(), body.end());
    return riff;
}

} // namespace

TEST(MidiFile, ARiffMidiFileReadsAsTheFileItWraps) {
    TrackWriter t;
    t.delta(0).noteOn(0, 60, 100).delta(96).noteOff(0, 60).delta(0).end();
    const Bytes smf = midiFile(0, 96, {t.bytes()});
    const audio::MidiSong bare = parse(smf), wrapped = parse(riffMidi(smf));
    ASSERT_EQ(wrapped.events.size(), bare.events.size());
    EXPECT_EQ(wrapped.events[1].timeUs, bare.events[1].timeUs);
    EXPECT_EQ(wrapped.lengthUs, bare.lengthUs);
}

TEST(MidiFile, TimesFollowTheTempoMapAcrossTracks) {
    // Format 1: the tempo track halves the tempo at beat 2; the note track
    // plays on every beat. 480 ticks per quarter.
    TrackWriter tempo;
    tempo.delta(0).tempo(500000).delta(960).tempo(1000000).delta(960).end();
    TrackWriter notes;
    notes.delta(0).noteOn(0, 60, 100);
    // Running status: the next three note-ons leave out the status byte.
    notes.delta(480).raw({61, 100}).delta(480).raw({62, 100}).delta(480).raw({63, 100});
    notes.delta(480).end();
    auto song = parse(midiFile(1, 480, {tempo.bytes(), notes.bytes()}));
    ASSERT_EQ(song.events.size(), 4u);
    EXPECT_EQ(song.events[0].timeUs, 0);
    EXPECT_EQ(song.events[1].timeUs, 500000);
    EXPECT_EQ(song.events[2].timeUs, 1000000);
    EXPECT_EQ(song.events[3].timeUs, 2000000); // after the change: a second per beat
    EXPECT_EQ(song.events[3].data1, 63);
    EXPECT_EQ(song.events[3].status, 0x90);
    EXPECT_EQ(song.lengthUs, 3000000);
}

TEST(MidiFile, SmpteDivisionIgnoresTempo) {
    // 25 frames per second, 40 ticks per frame: a tick is a millisecond.
    TrackWriter t;
    t.delta(0).tempo(250000).delta(1500).noteOn(9, 36, 90).delta(500).end();
    auto song = parse(midiFile(0, 0xE728, {t.bytes()}));
    ASSERT_EQ(song.events.size(), 1u);
    EXPECT_EQ(song.events[0].timeUs, 1500000);
    EXPECT_EQ(song.lengthUs, 2000000);
}

TEST(MidiFile, KeepsSystemExclusiveAndSkipsUnknownChunks) {
    TrackWriter t;
    t.delta(0).raw({0xF0, 0x05, 0x7E, 0x7F, 0x09, 0x01, 0xF7}); // GM system on
    t.delta(0).raw({0xFF, 0x01, 0x03, 'a', 'b', 'c'});          // text meta event
    t.delta(10).program(0, 5).delta(0).end();
    Bytes file = midiFile(0, 96, {t.bytes()});
    Bytes alien{'X', 'y', 'z', 'w', 0, 0, 0, 2, 1, 2};
    file.insert(file.begin() + 14, alien.begin(), alien.end());
    auto song = parse(file);
    ASSERT_EQ(song.events.size(), 2u);
    EXPECT_EQ(song.events[0].status, 0xF0);
    EXPECT_EQ(song.events[0].sysexLength, 4u);
    EXPECT_EQ(song.sysex[song.events[0].sysexOffset], 0x7E);
    EXPECT_EQ(song.events[1].status, 0xC0);
}

TEST(MidiFile, RefusesMalformedFilesSayingWhatIsWrong) {
    TrackWriter good;
    good.delta(0).noteOn(0, 60, 100).delta(96).noteOff(0, 60).delta(0).end();
    const Bytes ok = midiFile(0, 96, {good.bytes()});
    Bytes truncated(ok.begin(), ok.end() - 5);
    TrackWriter shortTempo;
    shortTempo.delta(0).raw({0xFF, 0x51, 0x02, 0x07, 0xA1}).delta(0).end();
    TrackWriter cutNote; // its last event runs past the chunk's end
    cutNote.delta(0).noteOn(0, 60, 100).delta(10).raw({0x90, 62});
    TrackWriter longDelta;
    longDelta.raw({0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x90, 60, 100}).delta(0).end();
    TrackWriter orphanData;
    orphanData.delta(0).raw({60, 100}).delta(0).end();
    TrackWriter absurd;
    for (int i = 0; i < 40; ++i)
        absurd.delta(0x0FFFFFFF).noteOn(0, 60, 1);
    absurd.delta(0).end();
    TrackWriter cutSysex;
    cutSysex.delta(0).raw({0xF0, 0x7F, 0x01});
    TrackWriter badStatus;
    badStatus.delta(0).raw({0xF8}).delta(0).end();
    Bytes badLength = ok;
    badLength[21] = 0x7F; // the track chunk claims more than the file holds
    Bytes riffOverlong = riffMidi(ok);
    riffOverlong[16] = 0x7F; // the data chunk claims more than the file holds

    struct Case {
        const char *name;
        Bytes data;
        const char *says;
    } cases[] = {
        {"empty", {}, "empty"},
        {"garbage", Bytes(100, 0x55), "MIDI header"},
        {"header only", Bytes(ok.begin(), ok.begin() + 14), "announces 1 tracks"},
        {"truncated", truncated, "cut short"},
        {"chunk size too big", badLength, "cut short"},
        {"short tempo", midiFile(1, 96, {good.bytes(), shortTempo.bytes()}),
         "track 2 has a tempo event of 2 bytes"},
        {"event past its chunk", midiFile(1, 96, {cutNote.bytes(), good.bytes()}),
         "track 1 ends in the middle of a channel message"},
        {"delta over four bytes", midiFile(0, 96, {longDelta.bytes()}), "longer than four bytes"},
        {"running status first", midiFile(0, 96, {orphanData.bytes()}), "running status"},
        {"absurd delta times", midiFile(0, 1, {absurd.bytes()}), "absurd"},
        {"cut sysex", midiFile(0, 96, {cutSysex.bytes()}), "system-exclusive"},
        {"real-time byte", midiFile(0, 96, {badStatus.bytes()}), "status byte 248"},
        {"format 2", midiFile(2, 96, {good.bytes()}), "format 2"},
        {"format 0 with two tracks", midiFile(0, 96, {good.bytes(), good.bytes()}), "format 0"},
        {"no tracks", midiFile(1, 96, {}), "no tracks"},
        {"zero division", midiFile(0, 0, {good.bytes()}), "division"},
        {"RIFF of another kind", riffMidi(ok, "WAVE"), "not a RIFF MIDI file"},
        {"RIFF MIDI without data", riffMidi({}, "RMID", "LIST"), "no data chunk"},
        {"RIFF MIDI cut short", riffOverlong, "longer than the file"},
        {"RIFF MIDI holding no MIDI file", riffMidi(Bytes(20, 0x55)), "MIDI header"},
    };
    for (const Case &c : cases)
        EXPECT_NE(refusal(c.data).find(c.says), std::string::npos)
            << c.name << ": " << refusal(c.data);
    EXPECT_EQ(refusal(ok), "accepted");
}

TEST(MidiFile, ATrackWithoutEndOfTrackEndsWithItsChunk) {
    // Two of three tracks end at their chunk's end, right after a note-off,
    // without the end-of-track event; the song lasts as its longest track.
    TrackWriter a;
    a.delta(0).noteOn(0, 60, 100).delta(96).noteOff(0, 60);
    TrackWriter b;
    b.delta(0).tempo(1000000).delta(192).noteOn(1, 64, 90).delta(96).noteOff(1, 64);
    TrackWriter c;
    c.delta(0).noteOn(2, 67, 80).delta(48).noteOff(2, 67).delta(0).end();
    const auto song = parse(midiFile(1, 96, {a.bytes(), b.bytes(), c.bytes()}));
    ASSERT_EQ(song.events.size(), 6u);
    EXPECT_EQ(song.events.back().status, 0x81);
    EXPECT_EQ(song.events.back().timeUs, 3000000); // tick 288 at a second per beat
    EXPECT_EQ(song.lengthUs, 3000000);
}

TEST(MidiFile, LongerTempoEventsCountByTheirFirstThreeBytes) {
    TrackWriter t;
    t.delta(0).raw({0xFF, 0x51, 0x04, 0x0F, 0x42, 0x40, 0x00}).delta(96).noteOn(0, 60, 1);
    t.delta(0).end();
    const auto song = parse(midiFile(0, 96, {t.bytes()}));
    ASSERT_EQ(song.events.size(), 1u);
    EXPECT_EQ(song.events[0].timeUs, 1000000);
}

TEST(MidiFile, ReadingRefusesFoldersAndMissingFiles) {
    test::TempDir dir;
    EXPECT_THROW(audio::readMidiFile(dir.root()), MidiFileError);
    EXPECT_THROW(audio::readMidiFile(dir.path("missing.mid")), MidiFileError);
}
