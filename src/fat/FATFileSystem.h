#pragma once
#include "devices/FileSystemRegistry.h"

namespace salvex {

// FAT12/16/32 for the file-system table: boot-sector probe, the DOS partition types, the volume
// class, and in the lost-drive search its boot sectors (backup copies told apart) and the analyser
// that rebuilds volumes from FATs and folders.
TFileSystem FATFileSystem();

}  // namespace salvex
