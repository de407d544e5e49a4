#pragma once
#include "devices/FileSystemRegistry.h"

namespace salvex {

// exFAT for the file-system table. It has no partition type of its own (0x07 as NTFS on an MBR,
// basic data on a GPT), so its boot sector is looked for wherever no other file system's is.
TFileSystem ExFATFileSystem();

}  // namespace salvex
