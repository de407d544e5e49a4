#pragma once
#include <cstddef>
#include <string>

namespace salvex {
class TItem;
}

namespace salvex::ui {

// What the enabled state of the main window's commands depends on.
struct TCommandInput {
  bool DriveOpen = false;
  size_t SelectedRows = 0;
  bool SingleIsFolder = false;    // exactly one row is selected and it is a folder
  bool CurrentHasParent = false;  // the folder shown has a parent folder
};

// Enabled state of the commands that are not always available (opening a drive, the settings,
// the View and Help menus and Exit always are).
struct TCommandState {
  bool SelectAll = false;
  bool InvertSelection = false;
  bool Find = false;
  bool FindLostData = false;
  bool DriveInfo = false;
  bool SaveTo = false;
  bool Rename = false;
  bool Properties = false;
  bool ViewAs = false;  // hex dump and text
  bool ParentDir = false;
  bool operator==(const TCommandState&) const = default;
};

// The one place that decides which commands the selection allows. Viewing needs exactly one
// file: a folder has no content to view.
TCommandState CommandState(const TCommandInput& input);

enum class TRenameCheck { Allowed, Duplicate, NoParent };
// Whether object may be renamed to newName: not when a file or folder beside it (itself
// included) already shows that name, and never an object without a parent folder.
TRenameCheck CheckRename(const TItem& object, const std::string& newName);

}  // namespace salvex::ui
