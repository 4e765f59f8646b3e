// The drive list and the directory list of the output directory chooser.
// The lists start from the process's current directory and then only show
// a place: moving through them never changes the current directory.
#pragma once

#include "controls/Pictures.h"
#include "platform/Exception.h"

#include <QComboBox>
#include <QListWidget>

#include <string>
#include <vector>

/// A refused change of drive or directory, with its error code.
class EInOutError : public Exception {
public:
    EInOutError(int code, const std::string &message) : Exception(message), ErrorCode(code) {}
    const int ErrorCode;
    /// The error for a system error number: its code and its message.
    static EInOutError FromErrno(int error);
};

/// One place a user keeps files on: a mounted file system.
struct Drive {
    std::string mountPoint;
    std::string label;
    DriveKind kind;
    std::string text() const { return mountPoint + " [" + label + "]"; }
};

/// The drives in a mount table (the text of /proc/self/mounts): "/" first,
/// then the file systems that hold user data, in table order, without the
/// kernel's pseudo file systems and the system's own mounts. `labelOf`
/// gives a device's volume label, or "".
std::vector<Drive> ListDrives(const std::string &mountTable,
                              const std::function<std::string(const std::string &)> &labelOf);

class TDirectoryListBox;

class TDriveComboBox : public QComboBox {
    Q_OBJECT
public:
    explicit TDriveComboBox(QWidget *parent = nullptr);

    TDirectoryListBox *DirList = nullptr;

    /// Reads the mounted file systems again and selects the shown directory's drive.
    void Fill();
    const std::vector<Drive> &Drives() const { return drives_; }
    /// Selects the drive that holds `path` (the longest mount point above it).
    void SelectDriveOf(const std::string &path);
    /// Changes to the chosen drive's mount point. Raises EInOutError when refused.
    void ChooseDrive(int index);

private:
    std::vector<Drive> drives_;
    bool filling_ = false;
};

class TDirectoryListBox : public QListWidget {
    Q_OBJECT
public:
    explicit TDirectoryListBox(QWidget *parent = nullptr);

    TDriveComboBox *DriveCombo = nullptr;

    /// The shown directory: "/" or a path without a trailing "/".
    const std::string &Directory() const { return directory_; }
    /// Starts from the process's current directory.
    void StartFromCurrentDirectory();
    /// Reads the shown directory's entries again.
    void Rebuild();
    /// Changes the shown directory to `path`, where the program could enter
    /// it. Raises EInOutError when refused; the list is then unchanged.
    void ChangeDirectory(const std::string &path);
    /// Opens the entry at `row`, as a double-click or Enter does.
    void OpenEntry(int row);
    /// The path an entry stands for; empty beyond the last entry.
    std::string EntryPath(int row) const;
    /// The indent of an entry, in pixels.
    int EntryIndent(int row) const;
    /// How many entries stand for the shown path (root, ancestors, current).
    int PathEntries() const { return pathEntries_; }

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    std::string directory_ = "/";
    int pathEntries_ = 0;
};
