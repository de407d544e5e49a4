#include "ntfs/NTFSDeleted.h"

#include <algorithm>
#include <exception>
#include <vector>

#include "common/Debug.h"
#include "common/Host.h"
#include "devices/StatusDialog.h"
#include "ntfs/NTFSDirectory.h"
#include "ntfs/NTFSdrive.h"

namespace salvex {

using namespace ntfs;

namespace {
constexpr uint64_t kFirstUserRecord = 16;
constexpr uint64_t kRootRecord = 5;
constexpr uint64_t kChunkBytes = 1u << 20;
}  // namespace

TNTFSDirectory* TNTFSdrive::FindDirectoryNode(TNTFSDirectory* top, uint64_t p) {
  TNTFSDirectory* found = nullptr;
  std::vector<TNTFSDirectory*> stack{top};
  while (!stack.empty()) {
    TNTFSDirectory* d = stack.back();
    stack.pop_back();
    if (d->MFTNumber >= 0 && uint64_t(d->MFTNumber) == p) found = d;
    if (!d->Children) continue;
    // Pushed in reverse so that children are met in list order.
    for (auto it = d->Children->rbegin(); it != d->Children->rend(); ++it)
      if (auto* c = dynamic_cast<TNTFSDirectory*>(it->get())) stack.push_back(c);
  }
  return found;
}

TNTFSDirectory* TNTFSdrive::DeletedNode(uint64_t number) {
  if (deletedNodes_.empty()) return FindDirectoryNode(Deleted(), number);
  auto it = deletedNodes_.find(number);
  return it == deletedNodes_.end() ? nullptr : it->second;
}

TNTFSDirectory* TNTFSdrive::RebuildParent(const TFileNameView& name) {
  std::vector<uint64_t> path;
  // Outside the deleted walk the tree itself is searched; the walk's index is only its own.
  bool walking = !deletedNodes_.empty();
  TNTFSDirectory* result = Deleted();
  try {
    result = RebuildParentFrom(name, path);
  } catch (const std::exception& e) {
    NoteCorrupt("parent chain of record " + std::to_string(RecordNumberOf(name.ParentReference())), e);
  }
  if (!walking) deletedNodes_.clear();
  return result;
}

TNTFSDirectory* TNTFSdrive::RebuildParentFrom(const TFileNameView& name, std::vector<uint64_t>& path) {
  uint64_t p = RecordNumberOf(name.ParentReference());
  // The root's place is Deleted itself, whatever its times say.
  if (p == kRootRecord) return Deleted();
  // A chain of parents that comes back to a record already on it would never end.
  if (std::find(path.begin(), path.end(), p) != path.end() || path.size() >= kMaxRebuildDepth) return Deleted();
  path.push_back(p);
  std::vector<uint8_t> record;
  std::optional<std::vector<uint8_t>> parentName;
  if (ReadMFTRecord(p, record) && IsValidRecord(record)) parentName = FindFileName(record, p);
  if (!parentName) return Deleted();
  TFileNameView m{*parentName};
  if (!m.IsDirectory()) return Deleted();
  if (m.CreationTime() > name.CreationTime()) {
    // The record now holds a directory created after the entry: its former parent is gone.
    auto placeholder = std::make_unique<TNTFSDirectory>();
    placeholder->MFTNumber = int64_t(p);
    placeholder->Name = PlaceholderName(p);
    placeholder->Drive = this;
    placeholder->Parent = Deleted();
    placeholder->Flags = ItemDeleted;
    TNTFSDirectory* node = Deleted()->Adopt(std::move(placeholder));
    deletedNodes_[p] = node;
    return node;
  }
  uint64_t g = RecordNumberOf(m.ParentReference());
  TNTFSDirectory* grand = DeletedNode(g);
  if (!grand) grand = RebuildParentFrom(m, path);
  if (!grand->Children) grand->Children.emplace();
  auto* node = static_cast<TNTFSDirectory*>(AddEntry(*grand, m, nullptr, p, false));
  deletedNodes_[p] = node;
  return node;
}

void TNTFSdrive::FileDeletedRecord(uint64_t i, std::span<const uint8_t> record) {
  auto nameBytes = FindFileName(record, i);
  if (!nameBytes) return;
  TFileNameView n{*nameBytes};
  TNTFSAttribute data;
  bool hasData = LoadAttribute(record, i, AttrData, u"", data);
  // A directory already rebuilt as the path of an entry met earlier (or while rebuilding its own
  // parents, when the chain loops) is this deleted directory: mark it instead of adding a twin.
  auto markExisting = [&]() {
    if (!n.IsDirectory()) return false;
    auto it = deletedNodes_.find(i);
    if (it == deletedNodes_.end() || it->second == Deleted() || (it->second->Flags & ItemDeleted)) return false;
    it->second->Flags = ItemDeleted;
    it->second->Condition = DataCondition(hasData ? &data : nullptr);
    return true;
  };
  if (markExisting()) return;
  uint64_t p = RecordNumberOf(n.ParentReference());
  TNTFSDirectory* parent = p == i ? Deleted() : DeletedNode(p);
  if (!parent) parent = RebuildParent(n);
  if (markExisting()) return;
  if (!parent->Children) parent->Children.emplace();
  TItem* item = AddEntry(*parent, n, hasData ? &data : nullptr, i, true);
  if (auto* d = dynamic_cast<TNTFSDirectory*>(item)) deletedNodes_[i] = d;
}

void TNTFSdrive::FindDeleted(TStatusDialog* status) {
  DebugLog("FindDeleted...", 1);
  if (!Deleted()) return;
  TNTFSAttribute bitmapAttr;
  if (!LoadAttribute(MFTRecord, 0, AttrBitmap, u"", bitmapAttr)) return;
  std::vector<uint8_t> bitmap(std::min<uint64_t>(bitmapAttr.Size(), 64u << 20));
  bitmap.resize(ReadAttributeBytes(bitmapAttr, 0, bitmap.size(), bitmap.data()));
  uint64_t count = MFTRecordCount();
  if (count == 0) return;
  DebugLog("MFT entries: " + std::to_string(count), 1);
  if (status) {
    status->Max = count;
    status->StepSize = 1;
    status->IntervalMs = 500;
  }
  // Records past the bitmap's end were never handed out, but may still hold old records.
  auto inUse = [&](uint64_t i) { return (i >> 3) < bitmap.size() && ((bitmap[i >> 3] >> (i & 7)) & 1); };
  deletedNodes_.clear();
  deletedNodes_[kRootRecord] = Deleted();
  const uint64_t rs = BytesPerFileRecord;
  const uint64_t perChunk = std::max<uint64_t>(1, kChunkBytes / rs);
  std::vector<uint8_t> chunk;
  uint64_t last = 0;
  for (uint64_t start = kFirstUserRecord; start < count; start += perChunk) {
    if (status && status->Cancelled) break;
    uint64_t end = std::min(count, start + perChunk);
    bool anyFree = false;
    for (uint64_t i = start; i < end && !anyFree; ++i) anyFree = !inUse(i);
    if (anyFree) {
      // One read for the whole piece of the $MFT instead of one per record.
      chunk.resize((end - start) * rs);
      ReadAttributeBytes(MFTData, start * rs, chunk.size(), chunk.data());
      for (uint64_t i = start; i < end; ++i) {
        if (inUse(i)) continue;
        std::span<uint8_t> record(chunk.data() + (i - start) * rs, rs);
        if (!HasSignature(record, "FILE")) continue;
        FixupRecord(record, i * rs);
        if (!IsValidRecord(record) || (RecordFlags(record) & RecordInUse)) continue;
        try {
          FileDeletedRecord(i, record);
        } catch (const std::exception& e) {
          NoteCorrupt("deleted record " + std::to_string(i), e);
        }
      }
    }
    if (status) {
      status->StepBy(int64_t(end - 1 - last));
      last = end - 1;
    }
    Host().ProcessMessages();
  }
  deletedNodes_.clear();
}

}  // namespace salvex
