// Every real file of the OpenMSX music set opens on the sequencer, and its
// length agrees with an independent reader's (python3-mido) within 5 ms.
#include "media/MPlayer.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QProcess>

#include <cmath>
#include <map>

namespace {

const char kOpenMsx[] = "/usr/share/games/openttd/baseset/openmsx";

// Lengths in seconds by file name, as mido computes them.
std::map<std::string, double> midoLengths(const QStringList &files) {
    QProcess python;
    QStringList arguments{"-c", "import sys, mido\n"
                                "for p in sys.argv[1:]:\n"
                                "    print(repr(mido.MidiFile(p).length), p)\n"};
    python.start("/usr/bin/python3", arguments + files);
    python.waitForFinished(120000);
    std::map<std::string, double> lengths;
    for (const QString &line : QString::fromUtf8(python.readAllStandardOutput()).split('\n')) {
        const auto space = line.indexOf(' ');
        if (space > 0)
            lengths[line.mid(space + 1).toStdString()] = line.left(space).toDouble();
    }
    return lengths;
}

} // namespace

TEST(OpenMsx, SequencerLengthsAgreeWithMido) {
    QDir dir(kOpenMsx);
    QStringList files;
    for (const QString &name : dir.entryList({"*.mid"}, QDir::Files, QDir::Name))
        files << dir.filePath(name);
    ASSERT_GE(files.size(), 20) << "the openttd-openmsx package is not installed";
    const auto expected = midoLengths(files);
    ASSERT_EQ(expected.size(), std::size_t(files.size())) << "python3-mido did not read them all";

    TMediaPlayer player;
    player.DeviceType = dtSequencer;
    for (const QString &file : files) {
        player.FileName = file.toStdString();
        ASSERT_NO_THROW(player.Open()) << player.FileName;
        const double ms = player.Length();
        EXPECT_NEAR(ms, expected.at(player.FileName) * 1000.0, 5.0) << player.FileName;
    }
    player.Close();
}
