#pragma once

namespace salvex {

class TExFATdrive;
class TStatusDialog;

// Scans the free clusters of the heap (those the allocation bitmap does not claim; all of them
// when the bitmap is unknown) for clusters that start with an entry set and lists each such
// folder in Lost, unless another one found names it as a subfolder or the Deleted tree reaches it
// as a deleted folder: a quick format leaves the old
// folders' entry sets in the heap, so their files and subfolders come back with their names.
// With the lost-files option it then searches the free clusters that no file of those folders or
// of the Deleted tree holds for files by their content, as the FAT and NTFS searches do.
// False when the cluster range dialog was cancelled.
bool FindExFATLostData(TExFATdrive& drive, TStatusDialog* status);

}  // namespace salvex
