#include "devices/Model.h"

namespace salvex {

void TCustomFile::Assign(const TItem& source) {
  auto* s = dynamic_cast<const TCustomFile*>(&source);
  if (!s) return;
  Name = s->Name;
  Size = s->Size;
  Drive = s->Drive;
  Flags = s->Flags;
  Condition = s->Condition;
  SizeOrigin = s->SizeOrigin;
  Parent = s->Parent;
}

void TCustomFile::AssignTo(TItem& target) const {
  if (auto* t = dynamic_cast<TCustomFile*>(&target)) t->Assign(*this);
}

TCustomDirectory::~TCustomDirectory() = default;

void TCustomDirectory::Assign(const TItem& source) {
  auto* s = dynamic_cast<const TCustomDirectory*>(&source);
  if (!s) return;
  Name = s->Name;
  Drive = s->Drive;
  TreeBuilt = s->TreeBuilt;
  Flags = s->Flags;
  Condition = s->Condition;
  Parent = s->Parent;
  // Children are owned, not shared: a copy reads its own on first use.
}

void TCustomDirectory::AssignTo(TItem& target) const {
  if (auto* t = dynamic_cast<TCustomDirectory*>(&target)) t->Assign(*this);
}

void TCustomDirectory::ClearChildren() {
  if (Children) Children->clear();
}

bool TCustomDirectory::HasSubdirectories() const {
  if (!Children) return false;
  for (const auto& c : *Children)
    if (dynamic_cast<const TCustomDirectory*>(c.get())) return true;
  return false;
}

void TCustomDirectory::SetTreeBuilt(bool value, bool recursive) {
  TreeBuilt = value;
  if (!recursive || !Children) return;
  for (auto& c : *Children)
    if (auto* d = dynamic_cast<TCustomDirectory*>(c.get())) d->SetTreeBuilt(value, true);
}

std::vector<TItem*> SelectedObjects(const TListView& list) {
  std::vector<TItem*> out;
  TCustomDirectory* folder = list.Source();
  if (!folder || !folder->Children) return out;
  for (size_t row : list.SelectedRows())
    if (row < folder->Children->size()) out.push_back((*folder->Children)[row].get());
  return out;
}

}  // namespace salvex
