// Finding interrupted recordings by their in-progress files (in folders, or
// as a ledger notes them), and sealing one into a WAVE file under a name
// that never replaces another file.
#include "recording/Interrupted.h"

#include "engine/WaveJournal.h"
#include "platform/FileWrite.h"
#include "platform/Paths.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A file younger than this without a whole header may be a recording that
// is only starting: it is left alone.
constexpr std::time_t kStartingSeconds = 60;

bool endsWith(const std::string &text, const std::string &end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string folderOf(const std::string &path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string noteOf(const std::string &inProgress) {
    return inProgress + kNoteSuffix;
}

RecordingNote readNote(const std::string &inProgress) {
    std::ifstream in(noteOf(inProgress), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return ParseRecordingNote(text.str());
}

// Renames without ever replacing a file; false with errno EEXIST when the
// name is taken.
bool renameNew(const std::string &from, const std::string &to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // A file system without the flag: a second link fails on a taken name.
    if (::link(from.c_str(), to.c_str()) != 0)
        return false;
    ::unlink(from.c_str());
    return true;
}

// The names tried for a kept recording, in order.
std::vector<std::string> keptNames(const InterruptedRecording &recording, bool underOutputName,
                                   const std::string &folder) {
    std::string stem = recording.note.output.empty()
                           ? std::string("recording")
                           : recording.note.output.substr(folderOf(recording.note.output).size());
    // Without its extension (".wav", or another container's): what is kept is a WAVE file.
    if (const auto dot = stem.rfind('.'); dot != std::string::npos && dot > 0)
        stem.resize(dot);
    // When it started, as its note says, else when it was last written.
    std::tm started{};
    const char *end = ::strptime(recording.note.started.c_str(), kIsoTime, &started);
    std::time_t when = -1;
    if (end && *end == '\0') {
        started.tm_isdst = -1;
        when = std::mktime(&started);
    }
    if (when == -1) {
        struct stat st {};
        ::stat(recording.file.c_str(), &st);
        when = st.st_mtime;
    }
    const std::string stamp = TimeText(when, kStampTime);
    std::vector<std::string> names;
    if (underOutputName && !recording.note.output.empty())
        names.push_back(folder + stem + ".wav");
    names.push_back(folder + stem + "-interrupted-" + stamp + ".wav");
    for (int n = 2; n <= 9; ++n)
        names.push_back(folder + stem + "-interrupted-" + stamp + "-" + std::to_string(n) + ".wav");
    return names;
}

// Puts the sealed or copied recording `from` under the first free name.
std::string placeUnder(const std::string &from, const std::vector<std::string> &names) {
    for (const std::string &name : names) {
        if (renameNew(from, name)) {
            audio::syncFolderOf(name);
            return name;
        }
        if (errno != EEXIST)
            return {};
    }
    errno = EEXIST;
    return {};
}

} // namespace

std::string TimeText(std::time_t when, const char *format) {
    std::tm local{};
    ::localtime_r(&when, &local);
    char text[64];
    return std::strftime(text, sizeof text, format, &local) > 0 ? text : std::string();
}

RecordingNote ParseRecordingNote(const std::string &text) {
    RecordingNote note;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const auto equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        const std::string key = line.substr(0, equals), value = line.substr(equals + 1);
        if (key == "output")
            note.output = value;
        else if (key == "song")
            note.song = value;
        else if (key == "started")
            note.started = value;
        else if (key == "tail")
            note.tailSeconds = std::strtod(value.c_str(), nullptr);
    }
    return note;
}

std::string RecordingNoteText(const RecordingNote &note) {
    std::ostringstream text;
    text << "output=" << note.output << "\nsong=" << note.song << "\nstarted=" << note.started
         << "\ntail=" << note.tailSeconds << "\n";
    return text.str();
}

bool WriteRecordingNote(const std::string &inProgress, const RecordingNote &note) {
    const std::string bytes = RecordingNoteText(note);
    const std::string path = noteOf(inProgress);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    const bool ok = platform::writeAll(fd, bytes.data(), bytes.size()) && ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

void RemoveInProgress(const std::string &inProgress) {
    std::remove(inProgress.c_str());
    std::remove(noteOf(inProgress).c_str());
}

namespace {

// What an in-progress file holds, when no running recording holds it and
// it is not one that may be only starting; false otherwise.
bool inspect(const std::string &file, std::time_t now, InterruptedRecording &recording,
             std::time_t &written) {
    recording.file = file;
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    struct stat st {};
    audio::JournalContent content;
    std::string error;
    const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    const bool readable = free && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    const bool whole = readable && audio::readJournal(fd, content, error);
    ::close(fd);
    if (!readable || (!whole && now - st.st_mtime < kStartingSeconds))
        return false;
    recording.note = readNote(file);
    if (whole) {
        recording.format = content.format;
        recording.frames = std::int64_t(content.dataBytes) / content.format.bytesPerFrame();
    }
    written = st.st_mtime;
    return true;
}

// Oldest first.
std::vector<InterruptedRecording>
inOrder(std::vector<std::pair<std::time_t, InterruptedRecording>> &found) {
    std::stable_sort(found.begin(), found.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    std::vector<InterruptedRecording> recordings;
    for (auto &[when, recording] : found)
        recordings.push_back(std::move(recording));
    return recordings;
}

// Calls `visit` with each of the program's own files (".kestrune-…") in
// `folders`, each folder once however it is spelt: the folder as given, the
// file's name and its path in the folder as found.
template <typename Visit>
void forEachOwnFile(const std::vector<std::string> &folders, Visit visit) {
    std::vector<std::string> seen;
    for (const std::string &given : folders) {
        std::error_code failed;
        const std::filesystem::path folder = std::filesystem::weakly_canonical(
            given.empty() ? std::filesystem::path(".") : std::filesystem::path(given), failed);
        if (failed || std::find(seen.begin(), seen.end(), folder.string()) != seen.end())
            continue;
        seen.push_back(folder.string());
        for (const auto &entry : std::filesystem::directory_iterator(folder, failed)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind(".kestrune-", 0) == 0)
                visit(given, name, entry.path());
        }
    }
}

} // namespace

std::vector<InterruptedRecording> FindInterrupted(const std::vector<std::string> &folders) {
    std::vector<std::pair<std::time_t, InterruptedRecording>> found;
    const std::time_t now = std::time(nullptr);
    forEachOwnFile(folders, [&](const std::string &, const std::string &name,
                                const std::filesystem::path &path) {
        const std::string note = std::string(kInProgressSuffix) + kNoteSuffix;
        if (endsWith(name, note)) {
            // A note whose recording was saved or removed.
            const std::string file = path.string();
            if (!std::filesystem::exists(file.substr(0, file.size() - std::strlen(kNoteSuffix))))
                std::remove(file.c_str());
            return;
        }
        InterruptedRecording recording;
        std::time_t written = 0;
        if (endsWith(name, kInProgressSuffix) && inspect(path.string(), now, recording, written))
            found.emplace_back(written, std::move(recording));
    });
    return inOrder(found);
}

std::vector<InterruptedRecording> FindInterruptedFiles(const std::vector<std::string> &files) {
    std::vector<std::pair<std::time_t, InterruptedRecording>> found;
    const std::time_t now = std::time(nullptr);
    for (const std::string &file : files) {
        InterruptedRecording recording;
        std::time_t written = 0;
        if (endsWith(file, kInProgressSuffix) && inspect(file, now, recording, written))
            found.emplace_back(written, std::move(recording));
    }
    return inOrder(found);
}

std::string KeepInterrupted(const InterruptedRecording &recording, bool underOutputName,
                            std::string &error) {
    const int fd = ::open(recording.file.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = fd < 0 ? std::strerror(errno) : "a running recording holds it";
        if (fd >= 0)
            ::close(fd);
        return {};
    }
    audio::JournalContent content;
    if (!audio::readJournal(fd, content, error)) {
        ::close(fd);
        return {};
    }
    const std::string own = folderOf(recording.file);
    std::vector<std::string> folders;
    if (!recording.note.output.empty())
        folders.push_back(folderOf(recording.note.output));
    if (folders.empty() || folders.front() != own)
        folders.push_back(own);
    std::string kept;
    const bool sealed = audio::sealJournal(fd, content, error);
    struct stat file {};
    ::fstat(fd, &file);
    for (const std::string &folder : folders) {
        struct stat there {};
        if (::stat(folder.empty() ? "." : folder.c_str(), &there) != 0)
            continue;
        const auto names = keptNames(recording, underOutputName, folder);
        if (sealed && there.st_dev == file.st_dev) {
            // Sealed where it lies: one rename, no copy.
            kept = placeUnder(recording.file, names);
        } else {
            // Another file system, or more samples than a RIFF header counts:
            // a copy, written whole under a temporary name first.
            std::string temp;
            const int tempFd = platform::makeTemporaryBeside(names.front(), temp);
            if (tempFd < 0)
                continue;
            std::FILE *data = ::fdopen(::dup(fd), "rb");
            std::string copyError;
            const bool copied = data &&
                                audio::writeWave(tempFd, content.format, data, content.dataBytes,
                                                 copyError, content.headerBytes) &&
                                ::fsync(tempFd) == 0;
            if (data)
                std::fclose(data);
            // Placed while it is still open, and so never a leftover.
            kept = copied ? placeUnder(temp, names) : std::string();
            if (kept.empty())
                ::unlink(temp.c_str());
            else
                ::unlink(recording.file.c_str());
            ::close(tempFd);
        }
        if (!kept.empty())
            break;
    }
    if (kept.empty() && error.empty())
        error = std::strerror(errno);
    ::close(fd);
    if (!kept.empty()) {
        std::remove(noteOf(recording.file).c_str());
        error.clear();
    }
    return kept;
}

bool DiscardInterrupted(const InterruptedRecording &recording, std::string &error) {
    const int fd = ::open(recording.file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = "a running recording holds it";
        ::close(fd);
        return false;
    }
    const bool ok = ::unlink(recording.file.c_str()) == 0 || errno == ENOENT;
    if (!ok)
        error = std::strerror(errno);
    if (fd >= 0)
        ::close(fd);
    std::remove(noteOf(recording.file).c_str());
    return ok;
}

std::vector<Leftover> FindLeftovers(const std::vector<std::string> &folders) {
    std::vector<Leftover> found;
    forEachOwnFile(folders, [&](const std::string &given, const std::string &name,
                                const std::filesystem::path &) {
        if (!endsWith(name, ".tmp"))
            return;
        // Named as the folder was given.
        const std::string path = given.empty()         ? name
                                 : given.back() == '/' ? given + name
                                                       : given + "/" + name;
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0)
            return;
        struct stat st {};
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
            found.push_back({path, std::uint64_t(st.st_size)});
        ::close(fd);
    });
    std::sort(found.begin(), found.end(),
              [](const Leftover &a, const Leftover &b) { return a.file < b.file; });
    return found;
}

bool RemoveLeftover(const Leftover &leftover, std::string &error) {
    // Removed under its lock: a program that took it meanwhile keeps it.
    const int fd = ::open(leftover.file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        error = std::strerror(errno);
        return errno == ENOENT;
    }
    bool ok = false;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        error = "a running program holds it";
    else if (!(ok = ::unlink(leftover.file.c_str()) == 0 || errno == ENOENT))
        error = std::strerror(errno);
    ::close(fd);
    return ok;
}

std::vector<std::string> ParseLedger(const std::string &text) {
    std::vector<std::string> files;
    std::size_t from = 0;
    for (std::size_t end; (end = text.find('\0', from)) != std::string::npos; from = end + 1)
        if (end > from && text[from] == '/')
            files.push_back(text.substr(from, end - from));
    return files;
}

std::string RecordingsLedger::programFile() {
    return paths::stateFolder() + "recordings-in-progress";
}

template <typename Change> bool RecordingsLedger::change(Change change) {
    // Read, changed and written whole under a lock of its own, which outlives
    // the renames; a ledger that cannot be kept only costs the search that
    // relies on it.
    const auto slash = file_.rfind('/');
    std::error_code ignored;
    if (slash != std::string::npos)
        std::filesystem::create_directories(file_.substr(0, slash), ignored);
    const int lock = ::open((file_ + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock < 0)
        return false;
    while (::flock(lock, LOCK_EX) != 0 && errno == EINTR) {
    }
    std::ifstream in(file_, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    std::vector<std::string> files = ParseLedger(text.str());
    const bool changed = change(files);
    bool ok = true;
    if (changed) {
        std::string bytes;
        for (const std::string &file : files)
            bytes += file + '\0';
        std::string temp;
        const int fd = platform::makeTemporaryBeside(file_, temp);
        ok = fd >= 0 && platform::writeAll(fd, bytes.data(), bytes.size());
        if (ok) {
            ok = platform::placeTemporary(fd, temp, file_);
        } else if (fd >= 0) {
            ::unlink(temp.c_str());
            ::close(fd);
        }
    }
    ::close(lock);
    return ok;
}

void RecordingsLedger::add(const std::string &inProgress) {
    change([&](std::vector<std::string> &files) {
        if (std::find(files.begin(), files.end(), inProgress) != files.end())
            return false;
        files.push_back(inProgress);
        return true;
    });
}

void RecordingsLedger::remove(const std::string &inProgress) {
    change([&](std::vector<std::string> &files) {
        const auto size = files.size();
        files.erase(std::remove(files.begin(), files.end(), inProgress), files.end());
        return files.size() != size;
    });
}

std::vector<std::string> RecordingsLedger::files() {
    std::vector<std::string> kept;
    if (!paths::isFile(file_))
        return kept; // nothing was ever noted: nothing is made
    change([&](std::vector<std::string> &files) {
        // A recording no longer there was saved or removed; a note left
        // beside it (the program ended between the two) goes with it.
        const auto size = files.size();
        files.erase(std::remove_if(files.begin(), files.end(),
                                   [](const std::string &file) {
                                       if (paths::isFile(file))
                                           return false;
                                       std::remove(noteOf(file).c_str());
                                       return true;
                                   }),
                    files.end());
        kept = files;
        return files.size() != size;
    });
    return kept;
}
