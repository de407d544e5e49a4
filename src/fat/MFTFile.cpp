#include "fat/MFTFile.h"

#include "fat/FATDirectory.h"
#include "fat/FATFile.h"

namespace salvex {

std::unique_ptr<TItem> TMFTFile::Clone() const {
  auto f = std::make_unique<TMFTFile>();
  f->Assign(*this);
  return f;
}

void TMFTFile::Assign(const TItem& source) {
  TCustomFile::Assign(source);
  if (auto* s = dynamic_cast<const TMFTFile*>(&source)) {
    DataOffset = s->DataOffset;
    FirstCluster = s->FirstCluster;
    Time = s->Time;
    Date = s->Date;
  }
}

void TMFTFile::AssignTo(TItem& target) const {
  if (auto* t = dynamic_cast<TMFTFile*>(&target))
    t->Assign(*this);
  else
    TCustomFile::AssignTo(target);
}

bool TMFTFile::Rename(const std::string& newName) {
  Name = newName;
  return true;
}

std::string TMFTFile::GetPath(const TCustomDirectory* stop) const { return FATParentPath(Parent, stop); }

void TMFTFile::FillListItem(TListItem& item) { FillFATRow(*this, item); }

}  // namespace salvex
