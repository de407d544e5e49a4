#pragma once
#include "devices/FileSystemRegistry.h"

namespace salvex {

// NTFS for the file-system table: boot-sector probe, partition type 0x07 and basic data, the volume
// class, and in the lost-drive search its boot sector and the backup at the volume's last sector.
TFileSystem NTFSFileSystem();

}  // namespace salvex
