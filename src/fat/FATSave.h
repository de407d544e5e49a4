#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/AlignedBuffer.h"
#include "devices/Model.h"

namespace salvex {

class TFATdrive;
class TFATFile;
class TFATDirectory;
class TStatusDialog;

// The name a saved item gets on Linux: the shown name in UTF-8, with "/" and NUL replaced and
// ".", ".." and the empty name prefixed with "_", so that it always names an entry of its folder.
std::string SafeFATFileName(const std::string& ansiName);

// A network file system (NFS, CIFS/SMB, FUSE) reports no reliable free space; the test is skipped.
bool IsNetworkFileSystem(const std::string& path);

// One save run: the answers given so far (overwrite all, folders answered), the FAT choice,
// progress, and what was written. Target folders are paths ending with '/'.
class TFATSaver {
 public:
  TFATSaver(TFATdrive& drive, uint8_t fatChoice, TStatusDialog* status);

  // Copies one file's data into targetFolder + its safe name, with its time and read-only bit.
  void SaveTo(TFATFile& file, const std::string& targetFolder);
  // Asks before replacing, tests the free space; false stops the whole save.
  bool SaveFile(TFATFile& file, const std::string& targetFolder);
  // Creates (or enters) the folder and saves its children; false stops the whole save.
  bool SaveDirectory(TFATDirectory& dir, const std::string& targetFolder, bool recursive, bool deletedView);

  bool OverwriteAll = false;
  bool FoldersAnswered = false;
  TSaveStats Stats;

 private:
  bool Cancelled() const;
  // Whether `size` more bytes fit into `folder` (network file systems are not asked).
  bool EnoughSpace(const std::string& folder, uint64_t size);
  std::string spaceFolder_;
  bool network_ = false;
  bool spaceKnown_ = false;
  uint64_t free_ = 0;
  TFATdrive& drive_;
  uint8_t fatChoice_;
  TStatusDialog* status_;
  std::optional<AlignedBuffer> buffer_;  // made on first use
};

}  // namespace salvex
