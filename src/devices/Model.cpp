#include "devices/Model.h"

#include "common/Format.h"
#include "common/StringTable.h"
#include "devices/Device.h"
#include "salvex/StringIds.h"

namespace salvex {

bool BothLost(const TItem& a, const TItem& b) {
  auto lost = [](const TItem& i) {
    if (auto* f = i.AsFile()) return (f->Flags & ItemLost) != 0;
    if (auto* d = i.AsFolder()) return (d->Flags & ItemLost) != 0;
    return false;
  };
  return lost(a) && lost(b);
}

void TCustomFile::Assign(const TItem& source) {
  auto* s = source.AsFile();
  if (!s) return;
  Name = s->Name;
  Size = s->Size;
  Drive = s->Drive;
  Flags = s->Flags;
  Condition = s->Condition;
  SizeOrigin = s->SizeOrigin;
  Parent = s->Parent;
  FirstPieceBytes = s->FirstPieceBytes;
  GapBytes = s->GapBytes;
}

void TCustomFile::AssignTo(TItem& target) const {
  if (auto* t = target.AsFile()) t->Assign(*this);
}

std::unique_ptr<TDataStream> TCustomFile::OpenData(const TReadChoice&) { return nullptr; }

TFileMeta TCustomFile::Meta() const { return {}; }

TCustomDirectory::~TCustomDirectory() = default;

void TCustomDirectory::LoadChildren(bool) {
  if (!Children) Children.emplace();
}

TFileMeta TCustomDirectory::Meta() const { return {}; }

void TCustomDirectory::Assign(const TItem& source) {
  auto* s = source.AsFolder();
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
  if (auto* t = target.AsFolder()) t->Assign(*this);
}

void TCustomDirectory::ClearChildren() {
  if (Children) Children->clear();
}

bool TCustomDirectory::HasSubdirectories() const {
  if (!Children) return false;
  for (const auto& c : *Children)
    if (c->AsFolder()) return true;
  return false;
}

size_t TCustomDirectory::Depth() const {
  size_t n = 0;
  for (const TCustomDirectory* d = Parent; d; d = d->Parent) ++n;
  return n;
}

void TCustomDirectory::SetTreeBuilt(bool value, bool recursive) {
  TreeBuilt = value;
  if (!recursive || !Children) return;
  for (auto& c : *Children)
    if (auto* d = c->AsFolder()) d->SetTreeBuilt(value, true);
}

void TCustomDrive::MakeSpecialFolders(const std::function<std::unique_ptr<TCustomDirectory>(bool root)>& make) {
  auto folder = [&](int text, bool root) {
    std::unique_ptr<TCustomDirectory> d = make(root);
    d->Name = LoadText(text);
    d->Drive = this;
    if (!root) d->Children.emplace();
    return d;
  };
  RootFolder = folder(txt::FolderRoot, true);
  DeletedFolder = folder(txt::FolderDeleted, true);
  LostFolder = folder(txt::FolderLost, false);
  SearchFolder = folder(txt::FolderSearched, false);
}

uint64_t TCustomDrive::DeviceRoom(uint32_t bytesPerSector) const {
  if (!Device || Device->TotalSectors <= FirstSector || bytesPerSector == 0) return 0;
  const uint64_t deviceBps = Device->BytesPerSector ? Device->BytesPerSector : 512;
  const uint64_t sectors = Device->TotalSectors - FirstSector;
  if (sectors > UINT64_MAX / deviceBps) return UINT64_MAX / bytesPerSector;
  return sectors * deviceBps / bytesPerSector;
}

TError TCustomDrive::CutToDeviceWarning(const std::string& bootSector, uint64_t claimed, uint64_t room) {
  return TError::Corrupt(bootSector, TextF(txt::VolumeCutToDevice, {claimed, room}));
}

const TMountNote* TCustomDrive::MountFailure() const {
  for (const TMountNote& n : MountNotes)
    if (n.Stopped) return &n;
  return nullptr;
}

std::string TCustomDrive::MountText() const {
  std::string text;
  for (const TMountNote& n : MountNotes) text += (text.empty() ? "" : "; ") + n.Error.Text();
  return text;
}

void TCustomDrive::AddMountNote(TError error, bool stopped, bool quiet, std::string message, std::string caption,
                                TMsgIcon icon) {
  TMountNote note{std::move(error), stopped, quiet ? std::string() : std::move(message), std::move(caption), icon};
  MountNotes.push_back(std::move(note));
}

uint64_t TCustomDrive::VolumeBytes() const {
  const uint32_t bps = BytesPerSector() ? BytesPerSector() : 512;
  if (SectorCount > 0) return SectorCount > UINT64_MAX / bps ? UINT64_MAX : SectorCount * bps;
  const uint64_t room = DeviceRoom(bps);
  return room > UINT64_MAX / bps ? UINT64_MAX : room * bps;
}

uint64_t TCustomDrive::DeviceByte(uint64_t volumeByte) const {
  const uint64_t deviceBps = Device && Device->BytesPerSector ? Device->BytesPerSector : 512;
  return FirstSector * deviceBps + volumeByte;
}

TTreeKind TreeOf(const TItem& item) {
  const TCustomDirectory* top = nullptr;
  const TCustomDrive* drive = nullptr;
  if (auto* f = item.AsFile()) {
    top = f->Parent;
    drive = f->Drive;
  } else if (auto* d = item.AsFolder()) {
    top = d;
    drive = d->Drive;
  }
  // Parent chains are built by the program, but a bound keeps a damaged one from hanging the walk.
  for (int depth = 0; top && top->Parent && depth < 100000; ++depth) top = top->Parent;
  if (!top || !drive) return TTreeKind::None;
  if (top == drive->RootFolder.get()) return TTreeKind::Root;
  if (top == drive->DeletedFolder.get()) return TTreeKind::Deleted;
  if (top == drive->LostFolder.get()) return TTreeKind::Lost;
  if (top == drive->SearchFolder.get()) return TTreeKind::Search;
  return TTreeKind::None;
}

std::vector<TListColumn> StandardColumns(const std::string& numberCaption) {
  return {{LoadText(txt::ColumnName), 150, false, TColumnKind::Name},
          {LoadText(txt::ColumnSize), 60, true, TColumnKind::Size},
          {LoadText(txt::ColumnModified), 100, false, TColumnKind::Modified},
          {numberCaption, 60, true, TColumnKind::Number},
          {LoadText(txt::ColumnCondition), 60, false, TColumnKind::Condition},
          {LoadText(txt::ColumnType), 100, false, TColumnKind::Type}};
}

bool TCustomDrive::TopMayHaveSubfolders(TTreeKind tree) {
  switch (tree) {
    case TTreeKind::Root: return RootFolder && RootFolder->MayHaveSubfolders(false);
    case TTreeKind::Deleted: return DeletedFolder && DeletedFolder->MayHaveSubfolders(true);
    case TTreeKind::Lost: return LostFolder && LostFolder->HasSubdirectories();
    case TTreeKind::Search: return SearchFolder && SearchFolder->HasSubdirectories();
    case TTreeKind::None: break;
  }
  return false;
}

}  // namespace salvex
