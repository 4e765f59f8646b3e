// The output directory chooser: walking the tree through the directory list,
// the drive list's mount table, and OK, Cancel and Clear.
#include "app/MainWindow.h"
#include "support/TestFiles.h"
#include "ui/Dialogs.h"

#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class ChooserTest : public ::testing::Test {
protected:
    void SetUp() override {
        // A tree to walk: a/b/c with siblings, hidden folders and a file.
        root = fs::canonical(dir.root()).string();
        for (const char *d :
             {"a/b/c", "a/b/Zeta", "a/b/alpha", "a/b/Beta", "a/b/.hidden", "a/b/émile", "a/b/Eve"})
            fs::create_directories(root + "/" + d);
        test::writeFile(root + "/a/b/file.txt", {'x'});
        ui::setMessageBoxHook([this](const ui::MessageBoxRequest &r) {
            boxes.push_back(r);
            return QMessageBox::Ok;
        });
        window.show();
        window.Mode_Record();
        window.Btn_WAVEFileDirectory->click(); // the lists are on screen
        walk(root + "/a/b");
    }
    void TearDown() override {
        ui::setMessageBoxHook({});
        fs::current_path(before);
    }
    void walk(const std::string &path) { window.Directory_LB->ChangeDirectory(path); }
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (int i = 0; i < window.Directory_LB->count(); ++i)
            out.push_back(window.Directory_LB->item(i)->text().toStdString());
        return out;
    }
    std::vector<std::string> subdirectories() const {
        const auto all = names();
        return {all.begin() + window.Directory_LB->PathEntries(), all.end()};
    }
    int row(const std::string &name) const {
        const auto all = names();
        return int(std::find(all.begin(), all.end(), name) - all.begin());
    }
    void open(const std::string &name) {
        // A double-click on the entry, through the error guard as a user's would be.
        const int r = row(name);
        const QRect rect = window.Directory_LB->visualItemRect(window.Directory_LB->item(r));
        QTest::mouseClick(window.Directory_LB->viewport(), Qt::LeftButton, {}, rect.center());
        QTest::mouseDClick(window.Directory_LB->viewport(), Qt::LeftButton, {}, rect.center());
    }

    const fs::path before = fs::current_path();
    test::SettingsFile noSettings;
    test::TempDir dir;
    std::string root;
    MainWindow window;
    std::vector<ui::MessageBoxRequest> boxes;
};

} // namespace

TEST_F(ChooserTest, ListsThePathAndTheVisibleSubfoldersInLocaleOrder) {
    // The user's order: in English, é sorts with e.
    const QLocale previous;
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    window.Directory_LB->Rebuild();
    QLocale::setDefault(previous);
    EXPECT_EQ(window.Directory_LB->Directory(), root + "/a/b");
    EXPECT_EQ(fs::current_path(), before); // the list only shows a place
    EXPECT_EQ(subdirectories(),
              (std::vector<std::string>{"alpha", "Beta", "c", "émile", "Eve", "Zeta"}));
    const int pathEntries = window.Directory_LB->PathEntries();
    EXPECT_EQ(names().front(), "/");
    EXPECT_EQ(names()[std::size_t(pathEntries) - 1], "b");
    EXPECT_EQ(window.Directory_LB->currentRow(), pathEntries - 1);
    // Indents: a path entry at i stands at 4i + 2, subfolders one step deeper.
    EXPECT_EQ(window.Directory_LB->EntryIndent(0), 2);
    EXPECT_EQ(window.Directory_LB->EntryIndent(pathEntries - 1), 4 * (pathEntries - 1) + 2);
    EXPECT_EQ(window.Directory_LB->EntryIndent(pathEntries), 4 * pathEntries + 2);
}

TEST_F(ChooserTest, OpeningEntriesWalksTheTree) {
    open("c");
    EXPECT_EQ(window.Directory_LB->Directory(), root + "/a/b/c");
    EXPECT_TRUE(subdirectories().empty());
    open("a"); // an ancestor
    EXPECT_EQ(window.Directory_LB->Directory(), root + "/a");
    EXPECT_EQ(subdirectories(), std::vector<std::string>{"b"});
    const int current = window.Directory_LB->PathEntries() - 1;
    window.Directory_LB->OpenEntry(current); // the current entry: nothing
    EXPECT_EQ(window.Directory_LB->Directory(), root + "/a");
    window.Directory_LB->OpenEntry(window.Directory_LB->count() + 3); // beyond the end: nothing
    EXPECT_EQ(window.Directory_LB->Directory(), root + "/a");
    window.Directory_LB->setCurrentRow(0);
    QTest::keyClick(window.Directory_LB, Qt::Key_Return); // Enter on the root
    EXPECT_EQ(window.Directory_LB->Directory(), "/");
    EXPECT_EQ(window.Directory_LB->PathEntries(), 1);
    window.Directory_LB->OpenEntry(0); // the root while at the root: nothing
    EXPECT_EQ(window.Directory_LB->Directory(), "/");
    EXPECT_TRUE(boxes.empty());
}

TEST_F(ChooserTest, ARefusedChangeIsReportedAndTheListStays) {
    fs::remove(root + "/a/b/Zeta");
    open("Zeta"); // removed meanwhile
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "ファイルが見つかりません.");
    EXPECT_EQ(window.Directory_LB->Directory(), root + "/a/b");
    EXPECT_NE(row("Zeta"), int(names().size())); // the list was not rebuilt
    EXPECT_EQ(fs::current_path(), before);

    // Without permission (as an ordinary user would be, even when the tests run as root).
    fs::create_directory(root + "/a/b/locked");
    ::chmod((root + "/a/b/locked").c_str(), 0700);
    ::chown((root + "/a/b/locked").c_str(), 0, 0);
    window.Directory_LB->Rebuild();
    boxes.clear();
    const int previous = setfsuid(65534);
    setfsgid(65534);
    open("locked");
    setfsuid(static_cast<uid_t>(previous));
    setfsgid(0);
    if (geteuid() == 0 || ::access((root + "/a/b/locked").c_str(), X_OK) != 0) {
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].text, "ファイルへのアクセスが拒否されました.");
        EXPECT_EQ(window.Directory_LB->Directory(), root + "/a/b");
    }
}

TEST_F(ChooserTest, OkClearAndCancelReturnToTheStateTheyCameFrom) {
    window.Btn_WAVEFileDirectory->click();
    EXPECT_TRUE(window.Pnl_Directory->isVisible());
    window.Btn_DirectorySelectOK->click();
    EXPECT_EQ(window.Edit_WAVEFileDirectory->text().toStdString(), root + "/a/b/");
    EXPECT_EQ(window.Pnl_State->caption(), "Select MIDI File"); // state 0
    EXPECT_FALSE(window.CB_PreferencesWAVEFileDirectory->isChecked());

    // From state 1, back to state 1 with the same file.
    window.MP_MIDI->FileName = "/music/song.mid";
    window.ModeSet(1);
    window.Btn_WAVEFileDirectory->click();
    walk("/");
    window.Btn_DirectorySelectOK->click();
    EXPECT_EQ(window.Edit_WAVEFileDirectory->text(), "/"); // exactly one "/"
    EXPECT_EQ(window.Pnl_State->caption(), "Standby OK");
    EXPECT_EQ(window.MP_MIDI->FileName, "/music/song.mid");

    window.Btn_WAVEFileDirectory->click();
    window.Btn_DirectorySelectCancel->click();
    EXPECT_EQ(window.Edit_WAVEFileDirectory->text(), "/");
    EXPECT_EQ(window.Pnl_State->caption(), "Standby OK");

    window.Btn_WAVEFileDirectory->click();
    window.Btn_DirectorySelectClear->click();
    EXPECT_EQ(window.Edit_WAVEFileDirectory->text(), "");
    EXPECT_EQ(window.Pnl_MIDIFile->caption(), "/music/song.mid");
    EXPECT_EQ(window.Btn_Record->caption(), "Record");
}

TEST_F(ChooserTest, ReopeningShowsTheLastFolderWalkedToNotTheEditsText) {
    window.Btn_WAVEFileDirectory->click();
    open("c");
    window.Btn_DirectorySelectCancel->click();
    window.Edit_WAVEFileDirectory->setText("/usr/");
    window.Btn_WAVEFileDirectory->click();
    EXPECT_EQ(window.Directory_LB->Directory(), root + "/a/b/c");
    EXPECT_EQ(window.Directory_LB->item(window.Directory_LB->currentRow())->text(), "c");
}

TEST_F(ChooserTest, ChoosingADriveGoesToItsMountPoint) {
    const auto &drives = window.Drive_CB->Drives();
    ASSERT_FALSE(drives.empty());
    EXPECT_EQ(drives[0].mountPoint, "/");
    window.Drive_CB->ChooseDrive(0);
    EXPECT_EQ(window.Directory_LB->Directory(), "/");
    EXPECT_EQ(window.Drive_CB->currentIndex(), 0);
}

TEST(DriveList, KeepsUserPlacesWithTheirKindsAndLabels) {
    const std::string table = "sysfs /sys sysfs rw 0 0\n"
                              "proc /proc proc rw 0 0\n"
                              "/dev/sda2 /home ext4 rw 0 0\n"
                              "/dev/sda1 / ext4 rw 0 0\n"
                              "tmpfs /run tmpfs rw 0 0\n"
                              "tmpfs /tmp tmpfs rw 0 0\n"
                              "/dev/sdb1 /media/me/USB\\040STICK vfat rw 0 0\n"
                              "/dev/sr0 /media/me/DISC iso9660 ro 0 0\n"
                              "server:/music /mnt/music nfs4 rw 0 0\n"
                              "//nas/share /mnt/nas cifs rw 0 0\n"
                              "me@host: /home/me/remote fuse.sshfs rw 0 0\n"
                              "/dev/sdc1 /run/media/me/Card exfat rw 0 0\n"
                              "cgroup2 /sys/fs/cgroup cgroup2 rw 0 0\n"
                              "/dev/sda1 /etc/hosts ext4 rw 0 0\n"
                              "/dev/sda3 /boot/efi vfat rw 0 0\n"
                              "/dev/loop0 /snap/core/1 squashfs ro 0 0\n"
                              "tmpfs /home tmpfs rw 0 0\n";
    const auto drives = ListDrives(table, [](const std::string &device) {
        return device == "/dev/sda1" ? "root" : device == "/dev/sdb1" ? "STICK" : "";
    });
    const std::vector<std::pair<std::string, DriveKind>> expected = {
        {"/ [root]", DriveKind::Hard},
        {"/home []", DriveKind::Hard},
        {"/tmp []", DriveKind::Ram},
        {"/media/me/USB STICK [STICK]", DriveKind::Floppy},
        {"/media/me/DISC []", DriveKind::CdRom},
        {"/mnt/music []", DriveKind::Network},
        {"/mnt/nas []", DriveKind::Network},
        {"/home/me/remote []", DriveKind::Network},
        {"/run/media/me/Card []", DriveKind::Floppy},
    };
    ASSERT_EQ(drives.size(), expected.size());
    for (std::size_t i = 0; i < drives.size(); ++i) {
        EXPECT_EQ(drives[i].text(), expected[i].first);
        EXPECT_EQ(drives[i].kind, expected[i].second) << drives[i].text();
    }
}

TEST(InOutError, MapsSystemErrorsToTheirCodesAndMessages) {
    const struct {
        int error, code;
        const char *message;
    } cases[] = {{ENOENT, 2, "ファイルが見つかりません"},
                 {ENOTDIR, 3, "不正なファイル名です"},
                 {ENAMETOOLONG, 3, "不正なファイル名です"},
                 {EMFILE, 4, "オープンしたファイルが多すぎます"},
                 {EACCES, 5, "ファイルへのアクセスが拒否されました"},
                 {EPERM, 5, "ファイルへのアクセスが拒否されました"},
                 {ENOSPC, 101, "ディスクがいっぱいです"},
                 {EIO, EIO, "I/O エラー (5)"},
                 {ENOMEDIUM, ENOMEDIUM, "I/O エラー (123)"}};
    for (const auto &c : cases) {
        const EInOutError e = EInOutError::FromErrno(c.error);
        EXPECT_EQ(e.ErrorCode, c.code);
        EXPECT_EQ(e.Message(), c.message);
    }
}
