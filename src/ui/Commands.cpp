#include "recovery/SaveEngine.h"
#include "ui/Commands.h"

#include "common/Options.h"
#include "devices/Model.h"

namespace salvex::ui {

TCommandState CommandState(const TCommandInput& in) {
  TCommandState s;
  if (!in.DriveOpen) return s;
  s.SelectAll = s.InvertSelection = s.Find = s.FindLostData = s.DriveInfo = true;
  s.SaveTo = in.SelectedRows >= 1;
  s.Rename = s.Properties = in.SelectedRows == 1;
  s.ViewAs = in.SelectedRows == 1 && !in.SingleIsFolder;
  s.ParentDir = in.CurrentHasParent;
  return s;
}

TRenameCheck CheckRename(const TItem& object, const std::string& newName) {
  const TCustomDirectory* parent = nullptr;
  if (auto* f = object.AsFile()) parent = f->Parent;
  if (auto* d = object.AsFolder()) parent = d->Parent;
  if (!parent) return TRenameCheck::NoParent;
  if (!parent->Children) return TRenameCheck::Allowed;
  for (const auto& sibling : *parent->Children) {
    std::string shown;
    shown = ShownName(*sibling);
    if (shown == newName) return TRenameCheck::Duplicate;
  }
  return TRenameCheck::Allowed;
}

}  // namespace salvex::ui
