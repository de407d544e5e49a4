#pragma once
#include <cstdint>
#include <string>

namespace salvex {

class TNTFSdrive;
class TStatusDialog;

// "Find lost data" on an NTFS volume: asks the host for a cluster range, then lists in the Lost
// folder the files of former MFTs whose records lie in the range (the volume formatted again), as
// the folder tree the records give; every free cluster of the range that starts a known kind of file
// (a TNTFSFile read as consecutive clusters); and every free cluster starting with a deleted file
// record with resident data (a TNTFSMFTFile). False only when the range dialog was cancelled.
bool FindNTFSLostData(TNTFSdrive& drive, TStatusDialog* status);

// The type name and continuation kind of the file whose first cluster `cluster` would be.
bool AnalyseNTFSCluster(TNTFSdrive& drive, uint64_t cluster, uint8_t& kind, std::string& typeName);

}  // namespace salvex
