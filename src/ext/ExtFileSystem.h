#pragma once
#include "devices/FileSystemRegistry.h"

namespace salvex {

// ext2/3/4 for the file-system table: the superblock at byte 1024, Linux partition types (MBR
// 0x83, shared with other Linux file systems, so only through the probe; the GPT Linux
// filesystem GUID), and the lost-drive search by the superblock and its backups.
TFileSystem ExtFileSystem();

}  // namespace salvex
