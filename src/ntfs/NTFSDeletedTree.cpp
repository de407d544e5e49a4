#include "ntfs/NTFSDeletedTree.h"

#include <algorithm>
#include <bit>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/Debug.h"
#include "common/Host.h"
#include "devices/StatusDialog.h"
#include "ntfs/FoundMFT.h"
#include "ntfs/NTFSDeleted.h"
#include "ntfs/NTFSDirectory.h"
#include "ntfs/NTFSdrive.h"

namespace salvex {

using namespace ntfs;

namespace {
constexpr uint64_t kRecordBitmap = 6;
constexpr uint64_t kRootRecord = 5;
constexpr uint64_t kFirstUserRecord = 16;
// The deleted search reads the $MFT in pieces of this size.
constexpr uint64_t kChunkBytes = 1u << 20;
// A volume bitmap larger than this is not plausible on any volume the program reads.
constexpr uint64_t kMaxVolumeBitmapBytes = 256u << 20;
}  // namespace

bool TNTFSDeletedTree::LoadVolumeBitmap() {
  if (volumeBitmapTried_) return volumeBitmap_.has_value();
  volumeBitmapTried_ = true;
  // The bitmap is the current volume's, also while former records are being read.
  struct TRestore {
    const TFoundMFT*& Reading;
    const TFoundMFT* Former;
    ~TRestore() { Reading = Former; }
  } restore{drive_.ReadingFoundRecords, std::exchange(drive_.ReadingFoundRecords, nullptr)};
  std::vector<uint8_t> record;
  if (!drive_.ReadMFTRecord(kRecordBitmap, record) || !IsValidRecord(record)) return false;
  TNTFSAttribute data;
  if (!drive_.LoadAttribute(record, kRecordBitmap, AttrData, u"", data) || data.Size() > kMaxVolumeBitmapBytes) return false;
  std::vector<uint8_t> bytes(data.Size());
  bytes.resize(drive_.ReadAttributeBytes(data, 0, bytes.size(), bytes.data()));
  volumeBitmap_ = std::move(bytes);
  return true;
}

uint8_t TNTFSDeletedTree::DataCondition(const TNTFSAttribute* data, uint64_t* reused) {
  if (!data) return 0;
  if (data->Resident) return 1;
  if (!LoadVolumeBitmap()) return 0;
  // Any cluster of the data in use again holds another file's bytes now, not only the first.
  const auto& bitmap = *volumeBitmap_;
  const uint64_t clusterSize = drive_.ClusterSize ? drive_.ClusterSize : 1;
  uint64_t left = (data->Size() + clusterSize - 1) / clusterSize, inUse = 0;
  bool placed = false, outside = false;
  for (const TRun& run : data->Runs) {
    if (left == 0) break;
    const uint64_t n = std::min<uint64_t>(run.Length, left);
    left -= n;
    if (run.Hole) continue;
    placed = true;
    const uint64_t lcn = uint64_t(run.Lcn);
    if (run.Lcn < 0 || lcn >= uint64_t(bitmap.size()) * 8 || n > uint64_t(bitmap.size()) * 8 - lcn) {
      outside = true;
      continue;
    }
    for (uint64_t c = lcn; c < lcn + n;) {
      if ((c & 7) == 0 && c + 8 <= lcn + n) {
        inUse += std::popcount(bitmap[c >> 3]);
        c += 8;
      } else {
        inUse += (bitmap[c >> 3] >> (c & 7)) & 1;
        ++c;
      }
    }
  }
  if (reused) *reused = inUse;
  // Only holes (or no runs at all): nothing on disk can have been overwritten.
  if (!placed) return data->Runs.empty() && data->DataSize > 0 ? 2 : 1;
  return outside || inUse ? 2 : 1;
}

TNTFSDirectory* TNTFSDeletedTree::FindDirectoryNode(TNTFSDirectory* top, uint64_t p) {
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

TNTFSDirectory* TNTFSDeletedTree::DeletedNode(uint64_t number) {
  if (nodes_.empty()) return FindDirectoryNode(drive_.Deleted(), number);
  auto it = nodes_.find(number);
  return it == nodes_.end() ? nullptr : it->second;
}

TNTFSDirectory* TNTFSDeletedTree::RebuildParent(const TFileNameView& name) {
  std::vector<uint64_t> path;
  // Outside the deleted walk the tree itself is searched; the walk's index is only its own.
  bool walking = !nodes_.empty();
  TNTFSDirectory* result = drive_.Deleted();
  try {
    result = RebuildParentFrom(name, path);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& e) {
    drive_.NoteCorrupt("parent chain of record " + std::to_string(RecordNumberOf(name.ParentReference())), e);
  }
  if (!walking) nodes_.clear();
  return result;
}

TNTFSDirectory* TNTFSDeletedTree::RebuildParentFrom(const TFileNameView& name, std::vector<uint64_t>& path) {
  uint64_t p = RecordNumberOf(name.ParentReference());
  // The root's place is Deleted itself, whatever its times say.
  if (p == kRootRecord) return drive_.Deleted();
  // A chain of parents that comes back to a record already on it would never end.
  if (std::find(path.begin(), path.end(), p) != path.end() || path.size() >= kMaxRebuildDepth) return drive_.Deleted();
  path.push_back(p);
  std::vector<uint8_t> record;
  std::optional<std::vector<uint8_t>> parentName;
  if (drive_.ReadMFTRecord(p, record) && IsValidRecord(record)) parentName = drive_.FindFileName(record, p);
  std::optional<TFileNameView> m;
  if (parentName) m = TFileNameView{*parentName};
  // The record now holds a file, a directory created after the entry, or nothing readable: the former
  // parent is gone, and its entries are kept together under its number rather than mixed into Deleted.
  if (!m || !m->IsDirectory() || m->CreationTime() > name.CreationTime()) {
    auto placeholder = std::make_unique<TNTFSDirectory>();
    placeholder->MFTNumber = int64_t(p);
    placeholder->Name = PlaceholderName(p);
    placeholder->Drive = &drive_;
    placeholder->Parent = drive_.Deleted();
    placeholder->Flags = ItemDeleted;
    TNTFSDirectory* node = drive_.Deleted()->Adopt(std::move(placeholder));
    nodes_[p] = node;
    return node;
  }
  uint64_t g = RecordNumberOf(m->ParentReference());
  TNTFSDirectory* grand = DeletedNode(g);
  if (!grand) grand = RebuildParentFrom(*m, path);
  if (!grand->Children) grand->Children.emplace();
  auto* node = static_cast<TNTFSDirectory*>(AddEntry(*grand, *m, nullptr, p, false));
  nodes_[p] = node;
  return node;
}

void TNTFSDeletedTree::FileDeletedRecord(uint64_t i, std::span<const uint8_t> record) {
  auto nameBytes = drive_.FindFileName(record, i);
  if (!nameBytes) return;
  TFileNameView n{*nameBytes};
  TNTFSAttribute data;
  bool hasData = drive_.LoadAttribute(record, i, AttrData, u"", data);
  // A directory already rebuilt as the path of an entry met earlier (or while rebuilding its own
  // parents, when the chain loops) is this deleted directory: mark it instead of adding a twin.
  // A deleted record's streams are listed beside it, in its former folder.
  auto addStreams = [&](TNTFSDirectory& folder, const TItem& owner) {
    for (auto& s : StreamEntries(drive_, folder, owner, record, i)) folder.Adopt(std::move(s));
  };
  auto markExisting = [&]() {
    if (!n.IsDirectory()) return false;
    auto it = nodes_.find(i);
    if (it == nodes_.end() || it->second == drive_.Deleted() || (it->second->Flags & ItemDeleted)) return false;
    it->second->Flags = ItemDeleted;
    it->second->Condition = DataCondition(hasData ? &data : nullptr);
    if (auto* folder = dynamic_cast<TNTFSDirectory*>(it->second->Parent)) addStreams(*folder, *it->second);
    return true;
  };
  if (markExisting()) return;
  uint64_t p = RecordNumberOf(n.ParentReference());
  TNTFSDirectory* parent = p == i ? drive_.Deleted() : DeletedNode(p);
  if (!parent) parent = RebuildParent(n);
  if (markExisting()) return;
  if (!parent->Children) parent->Children.emplace();
  TItem* item = AddEntry(*parent, n, hasData ? &data : nullptr, i, true);
  if (auto* d = dynamic_cast<TNTFSDirectory*>(item)) nodes_[i] = d;
  addStreams(*parent, *item);
}

void TNTFSDeletedTree::FindDeleted(TStatusDialog* status) {
  DebugLog("FindDeleted...", 1);
  if (!drive_.Deleted()) return;
  TNTFSAttribute bitmapAttr;
  if (!drive_.LoadAttribute(drive_.MFTRecord, 0, AttrBitmap, u"", bitmapAttr)) return;
  std::vector<uint8_t> bitmap(std::min<uint64_t>(bitmapAttr.Size(), 64u << 20));
  bitmap.resize(drive_.ReadAttributeBytes(bitmapAttr, 0, bitmap.size(), bitmap.data()));
  uint64_t count = drive_.MFTRecordCount();
  if (count == 0) return;
  DebugLog("MFT entries: " + std::to_string(count), 1);
  if (status) {
    status->Max = count;
    status->StepSize = 1;
    status->IntervalMs = 500;
  }
  // Records past the bitmap's end were never handed out, but may still hold old records.
  auto inUse = [&](uint64_t i) { return (i >> 3) < bitmap.size() && ((bitmap[i >> 3] >> (i & 7)) & 1); };
  nodes_.clear();
  nodes_[kRootRecord] = drive_.Deleted();
  const uint64_t rs = drive_.BytesPerFileRecord;
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
      drive_.ReadAttributeBytes(drive_.MFTData, start * rs, chunk.size(), chunk.data());
      for (uint64_t i = start; i < end; ++i) {
        if (inUse(i)) continue;
        std::span<uint8_t> record(chunk.data() + (i - start) * rs, rs);
        if (!HasSignature(record, "FILE")) continue;
        drive_.FixupRecord(record, i * rs);
        if (!IsValidRecord(record) || (RecordFlags(record) & RecordInUse)) continue;
        try {
          FileDeletedRecord(i, record);
        } catch (const std::bad_alloc&) {
          throw;  // memory refused is no damage of this record
        } catch (const std::exception& e) {
          drive_.NoteCorrupt("deleted record " + std::to_string(i), e);
        }
      }
    }
    if (status) {
      status->StepBy(int64_t(end - 1 - last));
      last = end - 1;
    }
    Host().ProcessMessages();
  }
  nodes_.clear();
}

}  // namespace salvex
