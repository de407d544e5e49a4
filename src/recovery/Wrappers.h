#pragma once
#include "recovery/SaveEngine.h"

namespace salvex {

class TCustomDrive;
class TListView;

// The main window's save command: asks for the target folder (and the FAT to follow) through the
// host, warns about a target on the examined device, and saves the list's selected rows with the
// program's questions and messages. The report is empty when the user cancelled the dialog.
TSaveReport SaveSelectedTo(TCustomDrive& drive, TListView& list);

// The main window's find command: runs the host's find dialog and puts copies of the hits into
// the volume's Search folder. False when the dialog was cancelled or the volume has no folders.
bool FindFiles(TCustomDrive& drive);

}  // namespace salvex
