#pragma once

namespace salvex {

class TExtdrive;
class TStatusDialog;

// The lost-data search of an ext volume over a range of blocks. Free blocks that start a folder
// ("." and "..") are listed in Lost as "block N" with their entries (a folder another one found
// names is listed inside it); with the lost-files option, free blocks are searched for files by
// their content ("block N.type"), except where a file listed with its inode lies. Inodes of the
// range's groups that no name reaches are listed as "inode N": deleted ones the inode or the
// journal still gives data for, and, after a format, a former volume's files that the new one
// does not use. False when the range dialog was cancelled.
bool FindExtLostData(TExtdrive& drive, TStatusDialog* status);

}  // namespace salvex
