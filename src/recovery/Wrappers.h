#pragma once
#include <optional>
#include <vector>

#include "recovery/SaveEngine.h"

namespace salvex {

class TCustomDrive;
class TCustomDirectory;
class TItem;

// The program's questions and messages for a save, in its own texts. A front end with a richer
// failure dialog overrides Failed.
class THostSaveQuestions : public TSaveQuestions {
 public:
  explicit THostSaveQuestions(TCustomDrive& drive) : drive_(drive) {}
  TAnswer ReplaceFile(const std::string& path) override;
  TAnswer EnterFolder(const std::string& name) override;
  void Failed(const std::string& path, const TError& error) override;

 private:
  TCustomDrive& drive_;
  bool toldFull_ = false;
};

// What the save command asks before it saves: the target folder and the FAT to follow (none by
// default for rows of the Deleted and Lost trees, which have no chain in the current FAT), and
// whether a target on the examined device is meant. Empty when the user cancelled.
// `shown` is the folder whose rows were selected.
std::optional<TSaveOptions> AskSaveOptions(TCustomDrive& drive, const TCustomDirectory* shown);

// The main window's save command: asks for the target folder (and the FAT to follow) through the
// host, warns about a target on the examined device, and saves the items selected in the listing
// of `shown` with the program's questions and messages. The report is empty when the user
// cancelled the dialog.
TSaveReport SaveSelectedTo(TCustomDrive& drive, const TCustomDirectory* shown, const std::vector<TItem*>& selected);

// The main window's find command: runs the host's find dialog and puts copies of the hits into
// the volume's Search folder. False when the dialog was cancelled or the volume has no folders.
bool FindFiles(TCustomDrive& drive);

}  // namespace salvex
