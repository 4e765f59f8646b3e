// Test files and folders, WAVE files read back, and outside programs run.
#include "support/TestFiles.h"

#include "platform/Paths.h"

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace test {

TempDir::TempDir() {
    std::string pattern = paths::temporaryFolder() + "kestrune-test-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("no temporary folder");
    root_ = pattern + "/";
}
TempDir::~TempDir() {
    // Whatever a test left read-only is removed too.
    std::error_code error;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(root_, error))
        std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, error);
    std::filesystem::remove_all(root_, error);
}
std::string TempDir::root() const {
    return root_;
}
std::string TempDir::path(const std::string &name) const {
    return root() + name;
}
std::vector<std::string> TempDir::entries() const {
    return entriesOf(root_);
}

std::vector<std::string> TempDir::entriesOf(const std::string &folder) {
    std::vector<std::string> out;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(folder, error))
        out.push_back(entry.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

Ran runProgram(const std::vector<std::string> &command, const std::string &folder) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("no pipe");
    std::vector<char *> argv;
    for (const std::string &part : command)
        argv.push_back(const_cast<char *>(part.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int none = ::open("/dev/null", O_RDONLY);
        ::dup2(none, STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(err[1], STDERR_FILENO);
        if (!folder.empty() && ::chdir(folder.c_str()) != 0)
            ::_exit(126);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    Ran ran;
    // Both pipes read as they fill, so that neither writer waits on the other.
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string *into[2] = {&ran.output, &ran.said};
    int open = 2;
    char buffer[65536];
    while (open > 0) {
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                into[i]->append(buffer, std::size_t(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    ran.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return ran;
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

SettingsFile::SettingsFile() : path_(paths::settingsFile()) {
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

double envelopeCorrelation(const std::vector<float> &a, const std::vector<float> &b,
                           long long least, long long most, long long step, long long window) {
    auto envelope = [window](const std::vector<float> &s, long long from) {
        std::vector<double> e;
        for (long long at = from; at + window <= (long long)s.size() / 2; at += window) {
            double sum = 0;
            for (long long i = at; i < at + window; ++i)
                sum += double(s[std::size_t(2 * i)]) * s[std::size_t(2 * i)];
            e.push_back(std::sqrt(sum / double(window)));
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
