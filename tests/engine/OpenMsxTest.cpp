// Every real file of the OpenMSX music set opens on the sequencer, and its
// length agrees with an independent reader's (python3-mido) within 5 ms.
#include "engine/SequencerDevice.h"
#include "support/Engines.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <sstream>

namespace {

const char kOpenMsx[] = "/usr/share/games/openttd/baseset/openmsx";

// Lengths in seconds by file name, as mido computes them.
std::map<std::string, double> midoLengths(const std::vector<std::string> &files) {
    std::vector<std::string> command{"/usr/bin/python3", "-c",
                                     "import sys, mido\n"
                                     "for p in sys.argv[1:]:\n"
                                     "    print(repr(mido.MidiFile(p).length), p)\n"};
    command.insert(command.end(), files.begin(), files.end());
    std::istringstream lines(test::runProgram(command).output);
    std::map<std::string, double> lengths;
    for (std::string line; std::getline(lines, line);) {
        const auto space = line.find(' ');
        if (space != std::string::npos && space > 0)
            lengths[line.substr(space + 1)] = std::stod(line.substr(0, space));
    }
    return lengths;
}

} // namespace

TEST(OpenMsx, SequencerLengthsAgreeWithMido) {
    std::vector<std::string> files;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(kOpenMsx, error))
        if (entry.path().extension() == ".mid")
            files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    ASSERT_GE(files.size(), 20u) << "the openttd-openmsx package is not installed";
    const auto expected = midoLengths(files);
    ASSERT_EQ(expected.size(), files.size()) << "python3-mido did not read them all";

    audio::SequencerDevice sequencer(test::drivenEngine());
    for (const std::string &file : files) {
        std::string why;
        ASSERT_TRUE(sequencer.open(file, why)) << why;
        EXPECT_NEAR(double(sequencer.lengthUs()) / 1000, expected.at(file) * 1000.0, 5.0) << file;
    }
}
