#include "devices/FileSystemRegistry.h"
#include "exfat/ExFATFileSystem.h"
#include "ext/ExtFileSystem.h"
#include "fat/FATFileSystem.h"
#include "ntfs/NTFSFileSystem.h"

namespace salvex {

// The table lives here, above the file-system folders, so that the device layer below them can
// use it through devices/FileSystemRegistry.h. The order is the probing order.
std::span<const TFileSystem> FileSystems() {
  static const std::vector<TFileSystem> table = {
      NTFSFileSystem(),
      ExFATFileSystem(),
      FATFileSystem(),
      ExtFileSystem(),
  };
  return table;
}

}  // namespace salvex
