#pragma once
#include <cstdint>
#include <string>

namespace salvex {

class TNTFSdrive;
class TNTFSFile;
class TNTFSDirectory;
class TStatusDialog;
struct TSaveStats;

// A folder files are saved into: an open descriptor (so that nothing follows a link out of it) and
// its path for messages, ending with "/".
struct TNTFSSaveTarget {
  int Fd = -1;
  std::string Path;
};

// State shared by one SaveSelectedTo run: the answers given so far and what was written.
struct TNTFSSaveSession {
  TNTFSdrive& Drive;
  TStatusDialog* Status = nullptr;
  TSaveStats& Stats;
  bool Overwrite = false;   // "All" was answered for files
  bool AllFolders = false;  // "All" was answered for folders
};

// The name a saved entry gets on Linux: UTF-8, no '/' or NUL, never "", "." or "..".
std::string SafeFileName(const std::string& ansiName);

// Saves one file into the target after the existing-file question and the free-space test.
// False ends the whole save.
bool SaveFileTo(TNTFSSaveSession& session, TNTFSFile& file, const TNTFSSaveTarget& target);
// Creates (or enters) the folder inside the target and saves its children; false ends the whole
// save (the user declined an existing folder, or cancelled).
bool SaveDirectoryTo(TNTFSSaveSession& session, TNTFSDirectory& directory, const TNTFSSaveTarget& target,
                     bool recursive);

}  // namespace salvex
