// Drive list and directory list: mount table reading, entry building and
// drawing, and every move made through the process's current directory.
#include "controls/DirectoryList.h"

#include <QApplication>
#include <QCollator>
#include <QKeyEvent>
#include <QPainter>
#include <QStyledItemDelegate>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kEntryRole = Qt::UserRole + 1;  // FolderKind or DriveKind
constexpr int kIndentRole = Qt::UserRole + 2; // directory entries: indent in pixels

std::string currentDirectory() {
    std::vector<char> buffer(PATH_MAX);
    if (!::getcwd(buffer.data(), buffer.size()))
        return {};
    return buffer.data();
}

// 0 when a program could change into `path` (a folder it may search, as
// the file-system user it is), else the error number a change would give.
int enterable(const std::string &path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return errno;
    if (!S_ISDIR(st.st_mode))
        return ENOTDIR;
    if (::faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS) != 0)
        return errno;
    return 0;
}

// The path with its links and dots resolved, as the shown directory reads.
std::string resolved(const std::string &path) {
    std::vector<char> buffer(PATH_MAX);
    if (!::realpath(path.c_str(), buffer.data()))
        return path;
    return buffer.data();
}

// Mount-table fields escape blanks and a few other bytes as \ooo.
std::string unescapeMount(const std::string &s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() &&
            std::isdigit(static_cast<unsigned char>(s[i + 1]))) {
            out += static_cast<char>(std::strtol(s.substr(i + 1, 3).c_str(), nullptr, 8));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

bool startsWithFolder(const std::string &path, const std::string &folder) {
    return path == folder ||
           (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
            path[folder.size()] == '/');
}

bool isPseudo(const std::string &type) {
    static const char *const pseudo[] = {
        "proc",       "sysfs",     "devtmpfs",  "devpts",   "cgroup",          "cgroup2",
        "securityfs", "pstore",    "debugfs",   "tracefs",  "configfs",        "fusectl",
        "mqueue",     "hugetlbfs", "bpf",       "autofs",   "binfmt_misc",     "efivarfs",
        "rpc_pipefs", "nsfs",      "selinuxfs", "squashfs", "fuse.gvfsd-fuse", "fuse.portal",
        "fuse.lxcfs", "nfsd"};
    return std::any_of(std::begin(pseudo), std::end(pseudo),
                       [&](const char *p) { return type == p; });
}

bool isSystemPlace(const std::string &mountPoint) {
    if (startsWithFolder(mountPoint, "/run/media"))
        return false;
    static const char *const system[] = {"/proc", "/sys", "/dev", "/run", "/boot",
                                         "/snap", "/var", "/etc", "/usr", "/efi"};
    return std::any_of(std::begin(system), std::end(system),
                       [&](const char *s) { return startsWithFolder(mountPoint, s); });
}

DriveKind kindOf(const std::string &mountPoint, const std::string &type) {
    if (type == "iso9660" || type == "udf")
        return DriveKind::CdRom;
    static const char *const network[] = {"nfs",   "nfs4",       "cifs",      "smb3",
                                          "smbfs", "fuse.sshfs", "sshfs",     "9p",
                                          "afs",   "ceph",       "glusterfs", "davfs"};
    if (std::any_of(std::begin(network), std::end(network),
                    [&](const char *n) { return type == n; }))
        return DriveKind::Network;
    if (startsWithFolder(mountPoint, "/media") || startsWithFolder(mountPoint, "/run/media"))
        return DriveKind::Floppy;
    if (type == "tmpfs" || type == "ramfs")
        return DriveKind::Ram;
    return DriveKind::Hard;
}

// Volume labels from /dev/disk/by-label, whose names escape bytes as \xHH.
std::string systemLabelOf(const std::string &device) {
    std::error_code error;
    const std::filesystem::path folder("/dev/disk/by-label");
    if (device.rfind("/dev/", 0) != 0 || !std::filesystem::is_directory(folder, error))
        return {};
    const auto real = std::filesystem::canonical(device, error);
    if (error)
        return {};
    for (const auto &entry : std::filesystem::directory_iterator(folder, error)) {
        std::error_code e;
        if (std::filesystem::canonical(entry.path(), e) != real || e)
            continue;
        const std::string name = entry.path().filename().string();
        std::string label;
        for (std::size_t i = 0; i < name.size(); ++i) {
            if (name.compare(i, 2, "\\x") == 0 && i + 3 < name.size()) {
                label += static_cast<char>(std::strtol(name.substr(i + 2, 2).c_str(), nullptr, 16));
                i += 3;
            } else {
                label += name[i];
            }
        }
        return label;
    }
    return {};
}

// The entry's ground: selection colours when selected, a focus rectangle
// when the list has the focus; the pen is left in the text colour.
void fillEntry(QPainter *p, const QStyleOptionViewItem &option) {
    const bool selected = option.state & QStyle::State_Selected;
    p->fillRect(option.rect, option.palette.brush(selected ? QPalette::Highlight : QPalette::Base));
    if (option.state & QStyle::State_HasFocus) {
        QStyleOptionFocusRect focus;
        focus.rect = option.rect;
        focus.state = option.state;
        focus.backgroundColor = option.palette.color(QPalette::Highlight);
        QApplication::style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, p);
    }
    p->setPen(option.palette.color(selected ? QPalette::HighlightedText : QPalette::Text));
}

class DriveDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter *p, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override {
        fillEntry(p, option);
        const QPixmap &picture =
            drivePicture(static_cast<DriveKind>(index.data(kEntryRole).toInt()));
        const QRect r = option.rect;
        p->drawPixmap(r.left() + 2, r.top() + (r.height() - picture.height()) / 2, picture);
        p->drawText(r.adjusted(picture.width() + 6, 0, 0, 0), Qt::AlignVCenter | Qt::TextSingleLine,
                    index.data().toString());
    }
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override {
        return {QStyledItemDelegate::sizeHint(option, index).width() + 22,
                std::max(option.fontMetrics.height(), 11)};
    }
};

class FolderDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter *p, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override {
        fillEntry(p, option);
        const QPixmap &picture =
            folderPicture(static_cast<FolderKind>(index.data(kEntryRole).toInt()));
        const QRect r = option.rect;
        const int indent = index.data(kIndentRole).toInt();
        p->drawPixmap(r.left() + indent, r.top() + (r.height() - picture.height()) / 2, picture);
        p->drawText(QRect(r.left() + picture.width() + indent + 4, r.top(), r.width(), r.height()),
                    Qt::AlignTop | Qt::TextSingleLine, index.data().toString());
    }
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &) const override {
        return {option.rect.width(), std::max(option.fontMetrics.height(), 16)};
    }
};

} // namespace

EInOutError EInOutError::FromErrno(int error) {
    auto text = [](const char *message) {
        return QCoreApplication::translate("EInOutError", message).toStdString();
    };
    switch (error) {
    case ENOENT:
        return {2, text("ファイルが見つかりません")};
    case ENOTDIR:
    case ENAMETOOLONG:
        return {3, text("不正なファイル名です")};
    case EMFILE:
    case ENFILE:
        return {4, text("オープンしたファイルが多すぎます")};
    case EACCES:
    case EPERM:
        return {5, text("ファイルへのアクセスが拒否されました")};
    case ENOSPC:
        return {101, text("ディスクがいっぱいです")};
    default:
        return {
            error,
            QCoreApplication::translate("EInOutError", "I/O エラー (%1)").arg(error).toStdString()};
    }
}

std::vector<Drive> ListDrives(const std::string &mountTable,
                              const std::function<std::string(const std::string &)> &labelOf) {
    std::vector<Drive> drives;
    Drive root{"/", "", DriveKind::Hard};
    std::istringstream lines(mountTable);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string device, mountPoint, type;
        if (!(fields >> device >> mountPoint >> type))
            continue;
        mountPoint = unescapeMount(mountPoint);
        device = unescapeMount(device);
        if (mountPoint == "/") {
            root = {"/", labelOf(device), kindOf("/", type)};
            continue;
        }
        if (isPseudo(type) || isSystemPlace(mountPoint) || mountPoint.empty() ||
            mountPoint[0] != '/')
            continue;
        if (std::any_of(drives.begin(), drives.end(),
                        [&](const Drive &d) { return d.mountPoint == mountPoint; }))
            continue; // a mount stacked on another: one entry for the place
        drives.push_back({mountPoint, labelOf(device), kindOf(mountPoint, type)});
    }
    drives.insert(drives.begin(), root);
    return drives;
}

// --- Drive list -------------------------------------------------------------------

TDriveComboBox::TDriveComboBox(QWidget *parent) : QComboBox(parent) {
    setEditable(false);
    setMaxVisibleItems(8);
    setFocusPolicy(Qt::ClickFocus);
    setIconSize(QSize(16, 11));
    setItemDelegate(new DriveDelegate(this));
    connect(this, QOverload<int>::of(&QComboBox::activated), this,
            [this](int index) { ChooseDrive(index); });
}

void TDriveComboBox::Fill() {
    std::ifstream in("/proc/self/mounts");
    const std::string table{std::istreambuf_iterator<char>(in), {}};
    drives_ = ListDrives(table, systemLabelOf);
    filling_ = true;
    clear();
    for (const Drive &d : drives_) {
        addItem(QIcon(drivePicture(d.kind)), QString::fromStdString(d.text()));
        setItemData(count() - 1, static_cast<int>(d.kind), kEntryRole);
    }
    filling_ = false;
    if (DirList)
        SelectDriveOf(DirList->Directory());
}

void TDriveComboBox::SelectDriveOf(const std::string &path) {
    int best = -1;
    std::size_t bestLength = 0;
    for (std::size_t i = 0; i < drives_.size(); ++i) {
        const std::string &mp = drives_[i].mountPoint;
        if ((mp == "/" || startsWithFolder(path, mp)) && mp.size() >= bestLength) {
            best = static_cast<int>(i);
            bestLength = mp.size();
        }
    }
    setCurrentIndex(best);
}

void TDriveComboBox::ChooseDrive(int index) {
    if (index < 0 || index >= static_cast<int>(drives_.size()) || !DirList)
        return;
    // The list shows the new drive even when the change is refused.
    const std::string &mp = drives_[static_cast<std::size_t>(index)].mountPoint;
    if (DirList->Directory() != mp)
        DirList->ChangeDirectory(mp);
}

// --- Directory list -------------------------------------------------------------------

TDirectoryListBox::TDirectoryListBox(QWidget *parent) : QListWidget(parent) {
    setFocusPolicy(Qt::ClickFocus);
    setItemDelegate(new FolderDelegate(this));
    setUniformItemSizes(true);
    connect(this, &QListWidget::doubleClicked, this,
            [this](const QModelIndex &index) { OpenEntry(index.row()); });
}

void TDirectoryListBox::StartFromCurrentDirectory() {
    const std::string here = currentDirectory();
    directory_ = here.empty() ? "/" : here;
    Rebuild();
}

void TDirectoryListBox::Rebuild() {
    clear();
    std::vector<std::string> parts;
    if (directory_ != "/") {
        std::stringstream split(directory_.substr(1));
        std::string part;
        while (std::getline(split, part, '/'))
            parts.push_back(part);
    }
    const int slashes = static_cast<int>(std::count(directory_.begin(), directory_.end(), '/'));
    auto add = [this](const std::string &text, FolderKind kind, int indent) {
        auto *item = new QListWidgetItem(QString::fromStdString(text), this);
        item->setData(kEntryRole, static_cast<int>(kind));
        item->setData(kIndentRole, indent);
    };
    add("/", parts.empty() ? FolderKind::Current : FolderKind::Open, 2);
    for (std::size_t i = 0; i < parts.size(); ++i)
        add(parts[i], i + 1 == parts.size() ? FolderKind::Current : FolderKind::Open,
            4 * static_cast<int>(i + 1) + 2);
    pathEntries_ = count();

    // Subdirectories, without hidden ones, in the user's order ignoring case.
    std::vector<QString> names;
    if (DIR *dir = ::opendir(directory_.c_str())) {
        while (const dirent *entry = ::readdir(dir)) {
            if (entry->d_name[0] == '.')
                continue;
            bool isDirectory = entry->d_type == DT_DIR;
            if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) {
                struct stat st {};
                const std::string full =
                    (directory_ == "/" ? "" : directory_) + "/" + entry->d_name;
                isDirectory = ::stat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
            }
            if (isDirectory)
                names.push_back(QString::fromLocal8Bit(entry->d_name));
        }
        ::closedir(dir);
    }
    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::sort(names.begin(), names.end(),
              [&](const QString &a, const QString &b) { return collator.compare(a, b) < 0; });
    for (const QString &name : names)
        add(name.toStdString(), FolderKind::Closed, 4 * (slashes + 1) + 2);
    setCurrentRow(pathEntries_ - 1);
}

std::string TDirectoryListBox::EntryPath(int row) const {
    if (row < 0 || row >= count())
        return {};
    if (row == 0)
        return "/";
    if (row < pathEntries_) {
        // The shown path cut after the entry's name.
        std::size_t at = 0;
        for (int i = 0; i < row && at != std::string::npos; ++i)
            at = directory_.find('/', at + 1);
        return at == std::string::npos ? directory_ : directory_.substr(0, at);
    }
    const std::string name = item(row)->text().toStdString();
    return directory_ == "/" ? "/" + name : directory_ + "/" + name;
}

int TDirectoryListBox::EntryIndent(int row) const {
    return row >= 0 && row < count() ? item(row)->data(kIndentRole).toInt() : 0;
}

void TDirectoryListBox::OpenEntry(int row) {
    const std::string path = EntryPath(row);
    if (path.empty() || path == directory_)
        return;
    ChangeDirectory(path);
}

void TDirectoryListBox::ChangeDirectory(const std::string &path) {
    // Step by step: the folder that holds the target, then the target, so
    // that a refusal says which. The process's current directory stays
    // where it is: the list only shows a place.
    const auto slash = path.find_last_of('/');
    const std::string parent =
        slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
    int error = enterable(parent);
    if (error == 0)
        error = enterable(path);
    if (error != 0)
        throw EInOutError::FromErrno(error);
    directory_ = resolved(path);
    Rebuild();
    if (DriveCombo)
        DriveCombo->SelectDriveOf(directory_);
}

void TDirectoryListBox::keyPressEvent(QKeyEvent *event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        OpenEntry(currentRow());
        return;
    }
    QListWidget::keyPressEvent(event);
}
