// The report page of a real batch, as a browser shows it: Chromium, headless,
// in a process of its own.
#include "RenderFixture.h"

#include <QFile>
#include <QImage>
#include <QJsonArray>

#include <filesystem>

namespace {

const std::string kOpenMsx = "/usr/share/games/openttd/baseset/openmsx/";

struct Browsed {
    QImage shot;
    std::string dom;                  // the page as its script left it
    std::vector<std::string> console; // what the page's console said
};

// The page loaded in Chromium, with a profile of the test's own: once for
// a screenshot, once for its document.
Browsed browse(const std::string &page, const std::string &folder) {
    Browsed browsed;
    const std::string shot = folder + "/shot.png";
    for (const std::string &what : {"--screenshot=" + shot, std::string("--dump-dom")}) {
        QProcess chromium;
        chromium.start("chromium",
                       {"--headless", "--no-sandbox", "--disable-gpu",
                        "--force-device-scale-factor=1", "--hide-scrollbars",
                        "--window-size=1400,900", "--enable-logging=stderr", "--v=0",
                        QString::fromStdString("--user-data-dir=" + folder + "/profile"),
                        QString::fromStdString(what), QString::fromStdString("file://" + page)});
        EXPECT_TRUE(chromium.waitForFinished(120000)) << "Chromium did not end";
        browsed.dom = chromium.readAllStandardOutput().toStdString();
        for (const QString &line : QString(chromium.readAllStandardError()).split('\n'))
            if (line.contains(":CONSOLE"))
                browsed.console.push_back(line.toStdString());
    }
    browsed.shot.load(QString::fromStdString(shot));
    return browsed;
}

std::string fileText(const std::string &path) {
    QFile file(QString::fromStdString(path));
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
}

// The page's rows, without its heading (which says when it was made).
std::string rowsOf(const std::string &page) {
    const auto from = page.find("<script id=\"rows\"");
    return from == std::string::npos ? "" : page.substr(from, page.find("</script>", from) - from);
}

bool near(QRgb pixel, int r, int g, int b) {
    return std::abs(qRed(pixel) - r) <= 2 && std::abs(qGreen(pixel) - g) <= 2 &&
           std::abs(qBlue(pixel) - b) <= 2;
}

TEST_F(Render, TheReportPageShowsTheBatchWorstFirstAsItsReportMeasuredIt) {
    ASSERT_TRUE(std::filesystem::exists("/usr/bin/chromium"))
        << "Chromium is not installed (scripts/install-deps installs it)";
    const std::string loud = kOpenMsx + "train_filled_with_cash.mid", // -12 dBFS: clips
        fine = kOpenMsx + "coconut_run2.mid",                         // -16 dBFS: does not
        broken = song("broken.mid", test::Bytes{'M', 'T', 'h', 'x'});
    const Ran ran = render({"-j", "2", "-o", "out/", "--gain", "14", "--report", "r.jsonl",
                            "--report-page", "page.html", QString::fromStdString(loud),
                            QString::fromStdString(fine), QString::fromStdString(broken)});
    ASSERT_EQ(ran.exit, 1) << ran.said;
    const std::string page = fileText(dir.path("page.html"));

    // It loads without a word in the console, the failed song first, the
    // clipped one next and marked, the fine one last.
    const Browsed browsed = browse(dir.path("page.html"), dir.root());
    EXPECT_TRUE(browsed.console.empty()) << browsed.console.front();
    const auto at = [&](const std::string &name) {
        return browsed.dom.find("<b>" + name + "</b>");
    };
    ASSERT_NE(at("coconut_run2.mid"), std::string::npos) << browsed.dom;
    EXPECT_LT(at("broken.mid"), at("train_filled_with_cash.mid"));
    EXPECT_LT(at("train_filled_with_cash.mid"), at("coconut_run2.mid"));
    EXPECT_NE(browsed.dom.find("<span>clipped</span>"), std::string::npos);

    // The clipped song's thumbnail (the first: the failed song has none)
    // has, in each pixel column, the height of the peak its report gives.
    ASSERT_FALSE(browsed.shot.isNull());
    const QImage &shot = browsed.shot;
    int left = -1, top = -1; // the thumbnail's frame
    for (int y = 0; y < shot.height() && top < 0; ++y)
        for (int x = 0; x < shot.width() && top < 0; ++x)
            if (near(shot.pixel(x, y), 0xc9, 0xd2, 0xdd))
                left = x, top = y;
    ASSERT_GE(top, 0) << "no thumbnail";
    const QJsonArray peaks =
        report(dir.path("r.jsonl"))[loud]["waveform"].toObject()["peaks"].toArray();
    ASSERT_EQ(peaks.size(), 200);
    int full = 0;
    for (int c = 0; c < 200; ++c) {
        int height = 0;
        for (int y = top + 1; y <= top + 48; ++y)
            height += near(shot.pixel(left + 1 + c, y), 0x1f, 0x6f, 0xeb);
        EXPECT_NEAR(height, std::round(peaks[c].toInt() * 48 / 1000.0), 1) << "column " << c;
        full += height == 48;
    }
    EXPECT_GT(full, 0) << "the clipped song reaches full scale somewhere";

    // The same page is made from the report afterwards.
    const Ran again = render({"--from-report", "r.jsonl", "--report-page", "again.html"});
    ASSERT_EQ(again.exit, 0) << again.said;
    EXPECT_EQ(rowsOf(fileText(dir.path("again.html"))), rowsOf(page));
}

TEST_F(Render, TheReportPageShowsWhatIsDoneWhileTheBatchGoesOn) {
    // A short song, then one of half an hour: the page shows the first
    // while the second is still being recorded, and a kill leaves it whole.
    song("first.mid");
    song("second.mid", test::simpleSong({{0.1, 1800, 60}}, 1800));
    QProcess batch;
    batch.setWorkingDirectory(QString::fromStdString(dir.root()));
    batch.start(QString::fromStdString(paths::programFolder() + "kestrune-render"),
                {"-j", "1", "-o", "out/", "--report-page", "page.html", "first.mid", "second.mid"});
    const bool shown = test::waitFor(
        [&] {
            const std::string page = fileText(dir.path("page.html"));
            return page.find("1 song of 2") != std::string::npos ||
                   page.find("2 songs:") != std::string::npos;
        },
        60000);
    const bool secondDone = std::filesystem::exists(dir.path("out/second.wav"));
    batch.kill();
    batch.waitForFinished();
    ASSERT_TRUE(shown) << fileText(dir.path("page.html"));
    EXPECT_FALSE(secondDone) << "the page waited for the second song";
    const std::string page = fileText(dir.path("page.html"));
    EXPECT_NE(page.find("\"n\":\"first.mid\""), std::string::npos);
    EXPECT_EQ(page.substr(page.size() - 8), "</html>\n");
}

} // namespace
