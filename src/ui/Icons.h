#pragma once
#include <QIcon>
#include <QStyle>

#include "devices/Model.h"

namespace salvex::ui {

// Folder-list images by the indexes the volume model uses: 0 closed folder, 1 open folder,
// 2 Deleted, 3 Lost, 4 search results, 5 file, 6 closed deleted folder, 7 open deleted folder,
// 8 deleted file.
QIcon ImageIcon(int index);
// The image index of a listing row's icon.
int ImageOf(TRowIcon icon);

// The style's icon with a small and a large picture (toolbars, large icons).
QIcon StandardIcon(QStyle::StandardPixmap which);

// Device images of the drive dialog: 0 floppy or removable, 1 fixed, 2 CD-ROM, 3 remote.
QIcon DeviceIcon(int index);

}  // namespace salvex::ui
