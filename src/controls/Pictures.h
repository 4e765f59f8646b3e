// The pictures of the drive and directory lists, drawn in code: five drive
// kinds at 16 × 11 and three folders at 16 × 15, on a transparent ground.
#pragma once

#include <QPixmap>

enum class DriveKind { Floppy, Hard, Network, CdRom, Ram };
enum class FolderKind { Open, Current, Closed };

const QPixmap &drivePicture(DriveKind kind);
const QPixmap &folderPicture(FolderKind kind);
