#include "ext/ExtLostData.h"

#include <algorithm>
#include <exception>
#include <set>

#include "common/Format.h"
#include "common/Host.h"
#include "devices/LostDataScan.h"
#include "devices/StatusDialog.h"
#include "ext/ExtDirectory.h"
#include "ext/ExtFile.h"
#include "ext/Extdrive.h"

namespace salvex {

bool FindExtLostData(TExtdrive& drive, TStatusDialog* status) {
  if (!drive.HasSpecialFolders() || drive.Sb.InodesCount == 0) return false;
  const uint64_t lowest = 1, highest = drive.Sb.InodesCount;
  uint64_t first = lowest, last = highest;
  if (!Host().AskClusterRange(first, last, lowest, highest)) return false;
  first = std::clamp(first, lowest, highest);
  last = std::clamp(last, lowest, highest);
  if (first > last) std::swap(first, last);

  TLostDataScan scan(drive, status, last - first + 1);
  TStatusDialog& dialog = scan.Dialog();
  try {
    // Inodes a name in the Deleted tree reaches are listed there already.
    std::set<uint32_t> named;
    drive.DeletedRoot()->Search(
        [&](TItem& item) {
          if (auto* f = dynamic_cast<TExtFile*>(&item)) named.insert(f->Node.Ino);
          if (auto* d = dynamic_cast<TExtDirectory*>(&item)) named.insert(d->Node.Ino);
          return !dialog.Cancelled;
        },
        true);
    uint64_t found = 0;
    for (uint64_t ino = std::max<uint64_t>(first, drive.Sb.FirstInode); ino <= last && !dialog.Cancelled; ++ino) {
      if (dialog.UpdateDue()) {
        dialog.UpdateTexts("", TextF(732, {ino}), TextF(733, {found}), TextF(734, {uint64_t(0)}));
        Host().ProcessMessages();
      }
      dialog.Step();
      if (named.count(uint32_t(ino))) continue;
      TExtNode node;
      node.Ino = uint32_t(ino);
      if (!drive.ReadInode(node.Ino, node.Inode)) continue;
      // Never used, or freed with no trace of its kind: nothing to give back.
      if (node.Inode.Mode == 0 || node.Inode.Dtime == 0 || node.Inode.Links != 0) continue;
      uint8_t condition = 0;
      if (!PrepareDeletedNode(drive, node, 0, condition)) continue;
      if (condition == 2 && !node.FromJournal && node.Inode.Size == 0) continue;
      ++found;
      const std::string name = "inode " + std::to_string(ino);
      if (node.Inode.IsDir()) {
        auto d = std::make_unique<TExtDirectory>();
        d->Drive = &drive;
        d->Name = name;
        d->Node = std::move(node);
        d->Flags = ItemLost;
        d->Condition = condition;
        d->Parent = drive.LostFolder.get();
        drive.LostFolder->Adopt(std::move(d));
      } else {
        auto f = std::make_unique<TExtFile>();
        f->Drive = &drive;
        f->Name = name;
        f->Node = std::move(node);
        f->Size = f->Node.Inode.IsRegular() || f->Node.Inode.IsLink() ? f->Node.Inode.Size : 0;
        f->Flags = ItemLost;
        f->Condition = condition;
        f->Parent = drive.LostFolder.get();
        drive.LostFolder->Adopt(std::move(f));
      }
    }
  } catch (const std::exception& e) {
    scan.Fail(e);
  }
  return true;
}

}  // namespace salvex
