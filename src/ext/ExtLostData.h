#pragma once

namespace salvex {

class TExtdrive;
class TStatusDialog;

// The lost-data search of an ext volume over a range of inodes: deleted inodes that no name in
// the Deleted tree reaches (orphans) are listed in Lost as "inode N", with their data as the
// inode or the journal still gives it. False when the range dialog was cancelled.
bool FindExtLostData(TExtdrive& drive, TStatusDialog* status);

}  // namespace salvex
