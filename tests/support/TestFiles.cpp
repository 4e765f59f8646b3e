#include "support/TestFiles.h"

#include "app/U1.h"

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
    std::vector<std::string> out;
    for (const QString &e :
         QDir(dir_.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden))
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
    w.subFormat = info.format & SF_FORMAT_SUBMASK;
    w.format.bitsPerSample = w.subFormat == SF_FORMAT_PCM_16   ? 16
                             : w.subFormat == SF_FORMAT_PCM_U8 ? 8
                                                               : 0;
    w.samples.resize(std::size_t(info.frames * info.channels));
    sf_readf_float(f, w.samples.data(), info.frames);
    sf_close(f);
    return w;
}

SettingsFile::SettingsFile() : path_(TF1::SettingsFileName()) {
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

} // namespace test
