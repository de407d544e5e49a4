#pragma once
#include <cstdint>
#include <string>

namespace salvex {

class TFATdrive;
class TStatusDialog;

// "Find lost data" on a FAT volume: asks the host for a cluster range, then fills the volume's
// Lost folder with the directories no directory reaches ("cluster N", "cluster N (root)",
// "Sector N (root)") and, when lost files are searched for, with clusters that start a known kind
// of file ("cluster N.EXT") or hold an NTFS file record with resident data. False only when the
// range dialog was cancelled.
bool FindFATLostData(TFATdrive& drive, TStatusDialog* status);

// The directory starting at `cluster` lists something besides "." and "..".
bool FATClusterHasEntries(TFATdrive& drive, uint32_t cluster);

// The type name and continuation kind of the file whose first cluster `cluster` would be.
bool RecogniseFATCluster(TFATdrive& drive, uint32_t cluster, uint8_t& kind, std::string& extension);

// An NTFS file record with a name and resident data at the start of `cluster`: its name, the size
// of the data and where the data starts, in bytes from the start of the cluster.
bool FindMFTRecordInCluster(TFATdrive& drive, uint32_t cluster, std::string& name, uint32_t& size,
                            uint32_t& offset);

}  // namespace salvex
