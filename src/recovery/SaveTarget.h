#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "devices/DataStream.h"
#include "recovery/FileFinisher.h"

// The target side of a save that is not about one file's bytes: its folders, their free space and
// who holds a name in them.

namespace salvex {

// A folder of the target, opened (or created) only when something is written into it.
struct TFolderTarget {
  TFolderTarget* Parent = nullptr;
  std::string Safe;    // its own name, made safe
  std::string Wanted;  // that name, short enough for the target
  std::string Name;    // the name it has inside Parent, once opened
  std::string Path;    // for messages, ending with "/"
  std::string Shown;
  TFileMeta Meta;
  int Fd = -1;
  bool Failed = false;
  // Made by this save: what lies in it was written by it, so a name is first looked for when
  // it is taken (a rename that refuses to replace), not before each file.
  bool Fresh = false;
  // Free space last asked of the file system, less what was written since.
  std::optional<uint64_t> SpaceLeft;
  std::shared_ptr<TFolderFd> Handle;  // owns Fd
};

// Whether the folder has room for a file of `size` bytes. The file system is asked again only
// when what is left of its last answer would not hold the file: three system calls a file would
// cost more than writing a small one. Network file systems, which answer unreliably, always have.
bool EnoughSpace(TFolderTarget& dir, uint64_t size);

// Writes all of `data`; false with `error` set when the target takes less.
bool WriteAll(int fd, const uint8_t* data, size_t size, int& error);

// Who has `name` in an open target folder: nobody, this save (anything in a folder it made, or an
// entry it made), a folder that was there, or a file (or link) that was there (`key` says which).
enum class TNameHolder { Nobody, ThisSave, FolderBefore, FileBefore };
TNameHolder WhoHolds(const TFolderFd& folder, const std::string& name, TEntryKey* key = nullptr);

}  // namespace salvex
