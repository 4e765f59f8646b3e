#include "support/TestFiles.h"

#include "app/MainWindow.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QThread>

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <sys/stat.h>

namespace test {

TempDir::TempDir() {
    if (!dir_.isValid())
        throw std::runtime_error("no temporary folder");
}
std::string TempDir::root() const {
    return dir_.path().toStdString() + "/";
}
std::string TempDir::path(const std::string &name) const {
    return root() + name;
}
std::vector<std::string> TempDir::entries() const {
    return entriesOf(dir_.path().toStdString());
}

std::vector<std::string> TempDir::entriesOf(const std::string &folder) {
    std::vector<std::string> out;
    for (const QString &e : QDir(QString::fromStdString(folder))
                                .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden))
        out.push_back(e.toStdString());
    std::sort(out.begin(), out.end());
    return out;
}

void writeFile(const std::string &path, const Bytes &bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
}

void writeTemplate(const std::string &path, const audio::WaveFormat &format) {
    std::FILE *empty = std::tmpfile();
    std::string error;
    if (!audio::writeWaveFile(path, format, empty, 0, error))
        throw std::runtime_error(error);
    std::fclose(empty);
}

double WaveData::rms(double from, double to) const {
    const long long a = std::max(0LL, (long long)(from * format.sampleRate));
    const long long b = std::min(frames(), (long long)(to * format.sampleRate));
    if (b <= a)
        return 0;
    double sum = 0;
    for (long long i = a; i < b; ++i) {
        double v = 0;
        for (int c = 0; c < format.channels; ++c)
            v += samples[std::size_t(i * format.channels + c)];
        v /= format.channels;
        sum += v * v;
    }
    return std::sqrt(sum / double(b - a));
}

WaveData readWave(const std::string &path) {
    SF_INFO info{};
    SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f)
        throw std::runtime_error("cannot read " + path);
    WaveData w;
    w.format.sampleRate = info.samplerate;
    w.format.channels = info.channels;
    w.container = info.format & SF_FORMAT_TYPEMASK;
    w.subFormat = info.format & SF_FORMAT_SUBMASK;
    w.format.bitsPerSample =
        w.subFormat == SF_FORMAT_PCM_16                                      ? 16
        : w.subFormat == SF_FORMAT_PCM_U8 || w.subFormat == SF_FORMAT_PCM_S8 ? 8
        : w.subFormat == SF_FORMAT_PCM_24                                    ? 24
        : w.subFormat == SF_FORMAT_PCM_32 || w.subFormat == SF_FORMAT_FLOAT  ? 32
                                                                             : 0;
    w.format.floating = w.subFormat == SF_FORMAT_FLOAT;
    w.samples.resize(std::size_t(info.frames * info.channels));
    sf_readf_float(f, w.samples.data(), info.frames);
    sf_close(f);
    return w;
}

SettingsFile::SettingsFile() : path_(MainWindow::SettingsFileName()) {
    std::remove(path_.c_str());
}
SettingsFile::~SettingsFile() {
    ::chmod(path_.c_str(), 0644);
    std::remove(path_.c_str());
}
void SettingsFile::write(const std::string &text) const {
    std::ofstream(path_, std::ios::binary) << text;
}
std::string SettingsFile::read() const {
    std::ifstream in(path_, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

bool waitFor(const std::function<bool()> &done, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

void spin(int ms) {
    waitFor([] { return false; }, ms);
}

double envelopeCorrelation(const std::vector<float> &a, const std::vector<float> &b,
                           long long least, long long most, long long step) {
    auto envelope = [](const std::vector<float> &s, long long from) {
        std::vector<double> e;
        for (long long at = from; at + 441 <= (long long)s.size() / 2; at += 441) {
            double sum = 0;
            for (long long i = at; i < at + 441; ++i)
                sum += double(s[std::size_t(2 * i)]) * s[std::size_t(2 * i)];
            e.push_back(std::sqrt(sum / 441));
        }
        return e;
    };
    double best = -1;
    for (long long shift = least; shift <= most; shift += step) {
        const std::vector<double> ea = envelope(a, std::max(0LL, -shift));
        const std::vector<double> eb = envelope(b, std::max(0LL, shift));
        const std::size_t n = std::min(ea.size(), eb.size());
        if (n < 10)
            continue; // too little left to compare
        double ma = 0, mb = 0;
        for (std::size_t i = 0; i < n; ++i)
            ma += ea[i] / double(n), mb += eb[i] / double(n);
        double ab = 0, aa = 0, bb = 0;
        for (std::size_t i = 0; i < n; ++i) {
            ab += (ea[i] - ma) * (eb[i] - mb);
            aa += (ea[i] - ma) * (ea[i] - ma);
            bb += (eb[i] - mb) * (eb[i] - mb);
        }
        best = std::max(best, ab / std::sqrt(aa * bb));
    }
    return best;
}

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::string waveBytes(const std::string &path) {
    const std::string bytes = readFile(path);
    if (bytes.size() <= 44)
        return {};
    // The data chunk's size, unless it is RF64's "see ds64" or the header
    // is not yet written: then everything after the header.
    const auto *size = reinterpret_cast<const unsigned char *>(bytes.data() + 40);
    const std::uint32_t declared =
        size[0] | size[1] << 8 | size[2] << 16 | std::uint32_t(size[3]) << 24;
    return bytes.substr(44,
                        declared == 0xFFFFFFFFu || declared == 0 ? std::string::npos : declared);
}

} // namespace test
