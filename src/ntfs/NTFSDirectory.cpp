#include "ntfs/NTFSDirectory.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>

#include "common/CodePage.h"
#include "common/Helpers.h"
#include "common/Host.h"
#include "common/StringTable.h"
#include "common/Unicode.h"
#include "ntfs/NTFSFile.h"
#include "ntfs/NTFSIndex.h"
#include "ntfs/NTFSStreamFile.h"
#include "ntfs/NTFSdrive.h"
#include "salvex/StringIds.h"

namespace salvex {

using namespace ntfs;

namespace {
constexpr uint64_t kFirstUserRecord = 16;

bool Listable(const TFileNameView& key, uint64_t number) {
  return key.Valid() && number >= kFirstUserRecord && key.NameSpace() != NameDos;
}

template <class T>
int Sign(T a, T b) {
  return a < b ? -1 : a > b ? 1 : 0;
}

std::string TypeNameOf(const TItem& item) {
  if (dynamic_cast<const TCustomDirectory*>(&item)) return Host().FolderTypeName();
  if (auto* f = dynamic_cast<const TCustomFile*>(&item)) return Host().TypeName(f->Name);
  return "";
}
}  // namespace

std::string ConditionText(uint8_t flags, uint8_t condition) {
  if (!(flags & ItemDeleted) && condition != 2) return "";
  return LoadText(condition == 2 ? txt::ConditionPoor : txt::ConditionGood);
}

TNTFSdrive& TNTFSDirectory::Volume() const { return *static_cast<TNTFSdrive*>(Drive); }

std::unique_ptr<TItem> TNTFSDirectory::Clone() const {
  auto d = std::make_unique<TNTFSDirectory>();
  d->Assign(*this);
  return d;
}

void TNTFSDirectory::Assign(const TItem& source) {
  TCustomDirectory::Assign(source);
  if (auto* s = dynamic_cast<const TNTFSDirectory*>(&source)) {
    MFTNumber = s->MFTNumber;
    Time = s->Time;
    Date = s->Date;
    ModificationTime = s->ModificationTime;
  }
}

std::string TNTFSDirectory::GetPath(const TCustomDirectory* stop) const {
  std::string path = this == stop ? std::string() : Name;
  for (const TCustomDirectory* p = Parent; p && p != stop; p = p->Parent) path = p->Name + "\\" + path;
  return path;
}

bool TNTFSDirectory::Rename(const std::string& newName) {
  Name = newName;
  return true;
}

TItem* AddEntry(TNTFSDirectory& parent, const TFileNameView& key, const TNTFSAttribute* data, uint64_t number,
                bool deleted) {
  TNTFSdrive& drive = parent.Volume();
  std::string name = RecordName(key.NameBytes(), number);
  uint16_t date = 0, time = 0;
  FileTimeToDos(key.ModificationTime(), date, time);
  if (key.IsDirectory()) {
    auto d = std::make_unique<TNTFSDirectory>();
    d->Drive = &drive;
    d->MFTNumber = static_cast<int64_t>(number);
    d->Name = std::move(name);
    d->Date = date;
    d->Time = time;
    d->ModificationTime = key.ModificationTime();
    d->Parent = &parent;
    if (deleted) {
      d->Flags = ItemDeleted;
      d->Condition = drive.DataCondition(data);
      // Its former contents are what the deleted walk files under it, not its stale index.
      d->Children.emplace();
    }
    return parent.Adopt(std::move(d));
  }
  auto f = std::make_unique<TNTFSFile>();
  f->Drive = &drive;
  f->MFTNumber = static_cast<int64_t>(number);
  f->Attributes = key.Flags();
  f->Compressed = (key.Flags() & FileAttributeCompressed) != 0;
  f->Encrypted = (key.Flags() & FileAttributeEncrypted) != 0;
  f->Size = key.DataSize();
  f->Name = std::move(name);
  f->Date = date;
  f->Time = time;
  f->ModificationTime = key.ModificationTime();
  f->Parent = &parent;
  if (deleted) {
    uint64_t reused = 0;
    f->Condition = drive.DataCondition(data, &reused);
    f->ReusedClusters = static_cast<uint32_t>(std::min<uint64_t>(reused, UINT32_MAX));
    f->Flags = ItemDeleted;
    if (data) f->Size = data->Size();
  }
  if (f->Size > drive.VolumeBytes()) f->Condition = 2;
  return parent.Adopt(std::move(f));
}

std::vector<std::unique_ptr<TItem>> StreamEntries(TNTFSdrive& drive, TCustomDirectory& parent, const TItem& owner,
                                                  std::span<const uint8_t> record, uint64_t number,
                                                  const TStreamJudge& judge) {
  std::vector<std::unique_ptr<TItem>> out;
  bool more = false;
  const std::vector<std::u16string> names = drive.Attributes().DataStreamNames(record, &more);
  if (more)
    drive.NoteCorrupt("named streams of record " + std::to_string(number),
                      std::runtime_error("more than " + std::to_string(TNTFSAttributeReader::kMaxStreamsPerRecord) +
                                         " names: the rest are not listed"));
  if (names.empty()) return out;
  const auto* file = dynamic_cast<const TNTFSFile*>(&owner);
  const auto* dir = dynamic_cast<const TNTFSDirectory*>(&owner);
  if (!file && !dir) return out;
  const bool deleted = ((file ? file->Flags : dir->Flags) & ItemDeleted) != 0;
  for (const std::u16string& name : names) {
    auto s = std::make_unique<TNTFSStreamFile>();
    std::vector<uint8_t> bytes;
    for (char16_t c : name) bytes.insert(bytes.end(), {uint8_t(c & 0xFF), uint8_t(c >> 8)});
    s->Name = (file ? file->Name : dir->Name) + ":" + RecordName(bytes, number);
    s->Stream = name;
    s->Drive = &drive;
    s->Parent = &parent;
    s->MFTNumber = int64_t(number);
    s->ModificationTime = file ? file->ModificationTime : dir->ModificationTime;
    s->Date = file ? file->Date : dir->Date;
    s->Time = file ? file->Time : dir->Time;
    if (file) {
      s->Attributes = file->Attributes;
      s->Encrypted = file->Encrypted;
    }
    TNTFSAttribute data;
    const bool loaded = drive.LoadAttribute(record, number, AttrData, name, data);
    if (loaded) {
      s->Size = data.Size();
      s->Compressed = !data.Resident && data.CompressionUnit != 0;
    }
    if (judge) {
      judge(*s, loaded ? &data : nullptr);
    } else if (!loaded) {
      // Named by the attribute list, but its record could not be read: listed, and poor.
      s->Condition = 2;
    } else if (deleted) {
      uint64_t reused = 0;
      s->Condition = drive.DataCondition(&data, &reused);
      s->ReusedClusters = static_cast<uint32_t>(std::min<uint64_t>(reused, UINT32_MAX));
    }
    if (deleted && !judge) s->Flags = ItemDeleted;
    if (s->Size > drive.VolumeBytes()) s->Condition = 2;
    out.push_back(std::move(s));
  }
  return out;
}

void TNTFSDirectory::ReadChildren() {
  Children.emplace();
  std::vector<int64_t> onPath;
  for (const TCustomDirectory* p = this; p; p = p->Parent)
    if (auto* d = dynamic_cast<const TNTFSDirectory*>(p)) onPath.push_back(d->MFTNumber);
  TNTFSdrive& drive = Volume();
  try {
    EnumerateIndex(drive, static_cast<uint64_t>(MFTNumber), [&](uint64_t reference, std::span<const uint8_t> bytes) {
      TFileNameView key{bytes};
      uint64_t number = RecordNumberOf(reference);
      if (!Listable(key, number)) return true;
      if (key.IsDirectory() && std::find(onPath.begin(), onPath.end(), int64_t(number)) != onPath.end()) return true;
      AddEntry(*this, key, nullptr, number, false);
      return true;
    });
    // Index keys often carry a stale size (NTFS updates them lazily); the record's $DATA is exact.
    // The record read for it also names the entry's streams, listed right after the entry.
    std::vector<uint8_t> record;
    std::vector<std::pair<size_t, std::vector<std::unique_ptr<TItem>>>> streams;
    for (size_t k = 0; k < Children->size(); ++k) {
      TItem& child = *(*Children)[k];
      auto* f = dynamic_cast<TNTFSFile*>(&child);
      auto* d = f ? nullptr : dynamic_cast<TNTFSDirectory*>(&child);
      const int64_t number = f ? f->MFTNumber : d ? d->MFTNumber : 0;
      if (number <= 0 || !drive.ReadMFTRecord(uint64_t(number), record, d != nullptr) ||
          !HasSignature(record, "FILE") || !IsValidRecord(record))
        continue;
      TNTFSAttribute data;
      if (f && drive.LoadAttribute(record, uint64_t(number), AttrData, u"", data)) f->Size = data.Size();
      auto entries = StreamEntries(drive, *this, child, record, uint64_t(number));
      if (!entries.empty()) streams.emplace_back(k, std::move(entries));
    }
    if (!streams.empty()) {
      TChildren listed;
      auto next = streams.begin();
      for (size_t k = 0; k < Children->size(); ++k) {
        listed.push_back(std::move((*Children)[k]));
        if (next != streams.end() && next->first == k) {
          for (auto& s : next->second) listed.push_back(std::move(s));
          ++next;
        }
      }
      Children = std::move(listed);
    }
  } catch (const std::bad_alloc&) {
    // Memory refused is no damage of this index: a part-listed folder would hide the rest.
    Children.reset();
    throw;
  } catch (const std::exception& e) {
    // What was read before stays listed; the rest of this index is reported, not silently lost.
    drive.NoteCorrupt("index of record " + std::to_string(MFTNumber), e);
  }
}

bool TNTFSDirectory::HasChildDirs() {
  if (Children) return HasSubdirectories();
  bool found = false;
  EnumerateIndex(Volume(), static_cast<uint64_t>(MFTNumber), [&](uint64_t reference, std::span<const uint8_t> bytes) {
    TFileNameView key{bytes};
    uint64_t number = RecordNumberOf(reference);
    if (Listable(key, number) && key.IsDirectory() && int64_t(number) != MFTNumber) {
      found = true;
      return false;
    }
    return true;
  });
  return found;
}

void TNTFSDirectory::LoadListing(bool) {
  if (!Children) ReadChildren();
}

void TNTFSDirectory::LoadChildren(bool) {
  if (Children) return;
  if (InDeletedTree()) {
    // The Deleted folder carries the root's number, but its children are the deleted search's,
    // which runs only now that a deleted item is asked for.
    if (this == Volume().DeletedFolder.get())
      Volume().LoadSpecialFolders(nullptr);
    else
      Children.emplace();
    return;
  }
  ReadChildren();
}

TFileMeta TNTFSDirectory::Meta() const {
  TFileMeta meta;
  meta.Location = {TLocation::TKind::Record, uint64_t(MFTNumber)};
  meta.Modified = FileTimeToTimespec(ModificationTime);
  return meta;
}

TListRow TNTFSDirectory::ListRow(const TItem& child) const {
  TListRow row;
  if (auto* d = dynamic_cast<const TNTFSDirectory*>(&child)) {
    row.Icon = (d->Flags & ItemDeleted) ? TRowIcon::DeletedFolder : TRowIcon::Folder;
    row.Caption = d->Name;
    row.Cells = {"", DosDateTimeText(d->Date, d->Time), std::to_string(d->MFTNumber),
                 ConditionText(d->Flags, d->Condition), TypeNameOf(*d)};
  } else if (auto* f = dynamic_cast<const TNTFSFile*>(&child)) {
    row.Icon = (f->Flags & ItemDeleted) ? TRowIcon::DeletedFile : TRowIcon::File;
    row.Caption = f->Name;
    std::string condition = ConditionText(f->Flags, f->Condition);
    if (f->Encrypted) condition += (condition.empty() ? "" : ", ") + LoadText(txt::Encrypted);
    row.Cells = {std::to_string(f->Size), DosDateTimeText(f->Date, f->Time), std::to_string(f->MFTNumber), condition,
                 TypeNameOf(*f)};
  }
  return row;
}

TSortKey TNTFSDirectory::SortKey(const TItem& child, bool withType) const {
  TSortKey key;
  auto* f = dynamic_cast<const TNTFSFile*>(&child);
  auto* d = dynamic_cast<const TNTFSDirectory*>(&child);
  if (auto* any = dynamic_cast<const TCustomFile*>(&child)) key.Name = any->Name;
  if (auto* any = dynamic_cast<const TCustomDirectory*>(&child)) key.Name = any->Name;
  key.Size = f ? f->Size : 0;
  // The full modification time, not only the day of its text.
  key.Stamp = f ? f->ModificationTime : d ? d->ModificationTime : 0;
  // Record numbers are signed: the sign bit flipped keeps their order as unsigned values.
  key.Number = uint64_t(int64_t(f ? f->MFTNumber : d ? d->MFTNumber : 0)) ^ (uint64_t(1) << 63);
  key.Condition = f ? f->Condition : d ? d->Condition : 0;
  if (withType) key.Type = TypeNameOf(child);
  return key;
}

bool TNTFSDirectory::InDeletedTree() const {
  const TCustomDirectory* deleted = Drive ? Volume().DeletedFolder.get() : nullptr;
  for (const TCustomDirectory* d = this; d; d = d->Parent)
    if (d == deleted) return true;
  return false;
}

bool TNTFSDirectory::Search(const std::function<bool(TItem&)>& visitor, bool recursive) {
  bool readHere = false;
  if (!Children && InDeletedTree()) {
    LoadChildren(true);
  } else if (!Children) {
    ReadChildren();
    readHere = true;
  }
  bool result = true;
  if (Children) {
    for (auto& child : *Children) {
      result = visitor(*child);
      if (!result) break;
      if (auto* d = dynamic_cast<TNTFSDirectory*>(child.get()); d && recursive) {
        result = d->Search(visitor, recursive);
        if (!result) break;
      }
    }
  }
  if (readHere) Children.reset();
  return result;
}

}  // namespace salvex
