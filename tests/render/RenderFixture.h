// kestrune-render run as a user runs it, in a process of its own, in a
// folder of the test's, on the test's settings file.
#pragma once

#include "platform/Paths.h"
#include "support/EventLoop.h"
#include "support/MidiWriter.h"
#include "support/TestFiles.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStringList>

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <map>
#include <string>

namespace test_render {

struct Ran {
    int exit = -1;
    std::string said; // standard error
};

// The notes of the songs here: 0.9 s long.
inline test::Bytes tune() {
    return test::simpleSong({{0.1, 0.4, 60}, {0.5, 0.8, 67}}, 0.9);
}

// Frames of a format for the 0.9 s song: 39690 engine frames, rounded up.
inline std::int64_t songFrames(int rate) {
    return (39690LL * rate + 44099) / 44100;
}

class Render : public ::testing::Test {
protected:
    Ran render(const QStringList &arguments) {
        QProcess process;
        process.setWorkingDirectory(QString::fromStdString(dir.root()));
        process.start(QString::fromStdString(paths::programFolder() + "kestrune-render"),
                      arguments);
        EXPECT_TRUE(process.waitForFinished(120000));
        return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
                process.readAllStandardError().toStdString()};
    }
    std::string song(const std::string &name, const test::Bytes &bytes = tune()) {
        test::writeFile(dir.path(name), bytes);
        return dir.path(name);
    }
    // The report's lines, by input.
    std::map<std::string, QJsonObject> report(const std::string &file) {
        std::map<std::string, QJsonObject> lines;
        std::ifstream in(file);
        for (std::string line; std::getline(in, line);) {
            const QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
            EXPECT_FALSE(o.isEmpty()) << line;
            lines[o["input"].toString().toStdString()] = o;
        }
        return lines;
    }

    test::SettingsFile settings; // the window's settings: none unless a test writes them
    test::TempDir dir;
};

} // namespace test_render

using test_render::Ran;
using test_render::Render;
using test_render::songFrames;
using test_render::tune;
