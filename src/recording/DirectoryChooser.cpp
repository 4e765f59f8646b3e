// The output directory chooser's handlers: enter it, and leave it with OK,
// Cancel or Clear for the state it was entered from.
#include "app/U1.h"

void TF1::Btn_WAVEFileDirectoryClick() {
    // Drives come and go: the list is read again; the shown directory stays.
    Drive_CB->Fill();
    Directory_LB->Rebuild();
    ModeSet(3);
}

void TF1::Btn_DirectorySelectOKClick() {
    std::string folder = Directory_LB->Directory();
    if (folder.empty() || folder.back() != '/')
        folder += '/';
    Edit_WAVEFileDirectory->setText(QString::fromStdString(folder));
    Btn_DirectorySelectCancelClick();
}

void TF1::Btn_DirectorySelectCancelClick() {
    ModeSet(Pnl_MIDIFile->caption().isEmpty() ? 0 : 1);
}

void TF1::Btn_DirectorySelectClearClick() {
    Edit_WAVEFileDirectory->setText(QString());
    Btn_DirectorySelectCancelClick();
}
