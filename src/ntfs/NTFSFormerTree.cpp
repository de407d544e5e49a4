#include "ntfs/NTFSFormerTree.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "common/ByteReader.h"
#include "common/Format.h"
#include "common/Host.h"
#include "common/StringTable.h"
#include "devices/Model.h"
#include "devices/StatusDialog.h"
#include "ntfs/FoundMFT.h"
#include "ntfs/MFTRecord.h"
#include "ntfs/NTFSCompression.h"
#include "ntfs/NTFSDeleted.h"
#include "ntfs/NTFSDirectory.h"
#include "ntfs/NTFSFile.h"
#include "ntfs/NTFSStreamFile.h"
#include "ntfs/NTFSdrive.h"
#include "salvex/StringIds.h"

namespace salvex {

using namespace ntfs;

namespace {

constexpr uint64_t kRootRecord = 5;
constexpr uint64_t kFirstUserRecord = 16;

// The modification time of $STANDARD_INFORMATION, which every change updates; the one in $FILE_NAME
// may be as old as the last rename.
uint64_t ModificationTimeOf(std::span<const uint8_t> record, const TFileNameView& name) {
  uint64_t time = name.ModificationTime();
  if (auto si = FindAttributeInRecord(record, AttrStandardInformation, 0, u""); si && !si->NonResident()) {
    ByteReader r(si->Value());
    if (const uint64_t t = r.U64(0x08); !r.Failed() && t != 0) time = t;
  }
  return time;
}

uint64_t ClustersOf(uint64_t bytes, uint32_t clusterSize) {
  return clusterSize ? bytes / clusterSize + (bytes % clusterSize != 0) : 0;
}

class TFormerTree {
 public:
  TFormerTree(TNTFSdrive& drive, const TFoundMFT& found, TCustomDirectory& lost,
              std::vector<std::pair<uint64_t, uint64_t>>& clusters)
      : drive_(drive),
        found_(found),
        records_(found.Records()),
        lost_(lost),
        clusters_(clusters),
        folders_(records_.size(), nullptr),
        onChain_(records_.size(), 0) {}

  uint64_t Build(TStatusDialog* status) {
    TFoundRecordScope scope(drive_, found_);
    uint64_t files = 0;
    for (size_t i = 0; i < records_.size(); ++i) {
      if (i % 1024 == 0) {
        Host().ProcessMessages();
        if (status && status->Cancelled) break;
      }
      const TFoundRecord& r = records_[i];
      if (!Listable(r)) continue;
      try {
        if (r.Flags & RecordIsDirectory)
          Folder(i);
        else if (AddFile(r))
          ++files;
      } catch (const std::bad_alloc&) {
        throw;
      } catch (const std::exception& e) {
        drive_.NoteCorrupt("former record " + std::to_string(r.Number), e);
      }
    }
    return files;
  }

 private:
  static bool Listable(const TFoundRecord& r) {
    return r.Base == 0 && (r.Flags & RecordInUse) && r.Number >= kFirstUserRecord && r.Parent != 0;
  }

  // The index of the folder record a parent reference names, when it is there and still that folder.
  std::optional<size_t> FolderIndex(uint64_t parentReference) const {
    const TFoundRecord* f = found_.Find(RecordNumberOf(parentReference));
    if (!f || !Listable(*f) || !(f->Flags & RecordIsDirectory)) return std::nullopt;
    const uint16_t sequence = uint16_t(parentReference >> 48);
    if (sequence != 0 && sequence != f->Sequence) return std::nullopt;
    return size_t(f - records_.data());
  }

  TCustomDirectory* Placeholder(uint64_t number) {
    auto [it, added] = placeholders_.try_emplace(number, nullptr);
    if (added) {
      auto d = std::make_unique<TNTFSDirectory>();
      d->Drive = &drive_;
      d->MFTNumber = int64_t(number);
      d->Name = PlaceholderName(number);
      d->Flags = ItemLost;
      d->Parent = &lost_;
      d->Children.emplace();
      it->second = lost_.Adopt(std::move(d));
    }
    return it->second;
  }

  // Where an entry whose parent reference is `parent` goes. `depth` counts the folders being made
  // above, which bounds the recursion however the references loop.
  TCustomDirectory* Home(uint64_t parent, size_t depth = 0) {
    const uint64_t p = RecordNumberOf(parent);
    if (p == kRootRecord) return &lost_;
    if (auto i = FolderIndex(parent)) return onChain_[*i] ? Placeholder(p) : Folder(*i, depth);
    return Recalled(parent, depth);
  }

  // A folder whose record is gone, rebuilt from an entry of its parent's former index when one is
  // left: its name, below its own parent.
  TCustomDirectory* Recalled(uint64_t reference, size_t depth) {
    const uint64_t p = RecordNumberOf(reference);
    if (auto it = recalled_.find(p); it != recalled_.end()) return it->second;
    const TIndexedFolder* entry = found_.FindIndexed(reference);
    if (!entry || depth >= kMaxRebuildDepth || recalling_.count(p)) return Placeholder(p);
    recalling_.insert(p);
    TCustomDirectory* above = Home(entry->Parent, depth + 1);
    recalling_.erase(p);
    // Making the folders above may have come back to this one through a loop.
    if (auto it = recalled_.find(p); it != recalled_.end()) return it->second;
    auto d = std::make_unique<TNTFSDirectory>();
    d->Drive = &drive_;
    d->MFTNumber = int64_t(p);
    d->Name = entry->Name;
    d->Flags = ItemLost;
    d->Parent = above;
    d->Children.emplace();
    TCustomDirectory* made = above->Adopt(std::move(d));
    recalled_[p] = made;
    return made;
  }

  // The folder of record index i, made with the folders above it that are not made yet.
  TCustomDirectory* Folder(size_t i, size_t depth = 0) {
    if (folders_[i]) return folders_[i];
    std::vector<size_t> chain{i};
    onChain_[i] = 1;
    TCustomDirectory* top = nullptr;
    while (!top) {
      const uint64_t parent = records_[chain.back()].Parent;
      const uint64_t p = RecordNumberOf(parent);
      auto j = p == kRootRecord ? std::nullopt : FolderIndex(parent);
      if (p == kRootRecord)
        top = &lost_;
      else if (!j)
        top = depth + chain.size() >= kMaxRebuildDepth ? Placeholder(p) : Recalled(parent, depth + chain.size());
      else if (folders_[*j])
        top = folders_[*j];
      else if (onChain_[*j] || depth + chain.size() >= kMaxRebuildDepth)
        top = Placeholder(p);  // the parents loop: the chain is cut where it comes back
      else {
        chain.push_back(*j);
        onChain_[*j] = 1;
      }
    }
    for (size_t k : chain) onChain_[k] = 0;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) top = folders_[*it] = MakeFolder(records_[*it], *top);
    return folders_[i];
  }

  TNTFSDirectory* MakeFolder(const TFoundRecord& r, TCustomDirectory& parent) {
    auto d = std::make_unique<TNTFSDirectory>();
    d->Drive = &drive_;
    d->MFTNumber = int64_t(r.Number);
    d->Flags = ItemLost;
    d->Parent = &parent;
    d->Children.emplace();
    d->Name = PlaceholderName(r.Number);
    std::optional<std::vector<uint8_t>> name;
    const bool read = found_.ReadAt(drive_, r.Offset, record_);
    if (read) name = drive_.FindFileName(record_, r.Number);
    if (name) {
      TFileNameView n{*name};
      d->Name = RecordName(n.NameBytes(), r.Number);
      d->ModificationTime = ModificationTimeOf(record_, n);
      FileTimeToDos(d->ModificationTime, d->Date, d->Time);
    }
    TNTFSDirectory* made = parent.Adopt(std::move(d));
    if (read) AddStreams(r, *made, parent);
    return made;
  }

  // The named streams of a former record go beside its entry, judged and read like its data.
  void AddStreams(const TFoundRecord& r, const TItem& owner, TCustomDirectory& home) {
    auto judge = [&](TNTFSStreamFile& s, TNTFSAttribute* data) {
      s.RecordOffset = r.Offset;
      s.Flags = ItemLost;
      s.Condition = 1;
      if (!data) {
        s.Condition = 2;
        return;
      }
      if (!data->Resident && ClusterCondition(*data) > 0) s.Condition = 2;
      for (const TRun& run : data->Runs)
        if (!run.Hole && run.Lcn >= 0) clusters_.emplace_back(uint64_t(run.Lcn), run.Length);
    };
    for (auto& s : StreamEntries(drive_, home, owner, record_, r.Number, judge)) home.Adopt(std::move(s));
  }

  bool AddFile(const TFoundRecord& r) {
    if (!found_.ReadAt(drive_, r.Offset, record_)) return false;
    auto name = drive_.FindFileName(record_, r.Number);
    if (!name) return false;
    TFileNameView n{*name};
    TCustomDirectory* home = Home(r.Parent);
    // Reading the folders above may have used the buffer.
    if (!found_.ReadAt(drive_, r.Offset, record_)) return false;
    auto f = std::make_unique<TNTFSFile>();
    f->Drive = &drive_;
    f->MFTNumber = int64_t(r.Number);
    f->RecordOffset = r.Offset;
    f->Name = RecordName(n.NameBytes(), r.Number);
    f->Attributes = n.Flags();
    f->Compressed = (n.Flags() & FileAttributeCompressed) != 0;
    f->Encrypted = (n.Flags() & FileAttributeEncrypted) != 0;
    f->ModificationTime = ModificationTimeOf(record_, n);
    FileTimeToDos(f->ModificationTime, f->Date, f->Time);
    f->Flags = ItemLost;
    f->Condition = 1;
    TNTFSAttribute data;
    if (drive_.LoadAttribute(record_, r.Number, AttrData, u"", data)) {
      f->Size = data.Size();
      if (!data.Resident && ClusterCondition(data) > 0) f->Condition = 2;
      for (const TRun& run : data.Runs)
        if (!run.Hole && run.Lcn >= 0) clusters_.emplace_back(uint64_t(run.Lcn), run.Length);
    } else {
      f->Size = n.DataSize();
      f->Condition = 2;  // no data to read: saving it says so
    }
    if (f->Size > drive_.VolumeBytes()) f->Condition = 2;
    f->Parent = home;
    const TNTFSFile* owner = home->Adopt(std::move(f));
    AddStreams(r, *owner, *home);
    return true;
  }

  uint64_t ClusterCondition(TNTFSAttribute& data) {
    const std::vector<uint8_t>* bitmap = drive_.VolumeBitmap();
    if (!bitmap || drive_.SectorsPerCluster == 0) return 0;
    return HideClustersInUse(data.Runs, ClustersOf(data.Size(), drive_.ClusterSize), *bitmap,
                             drive_.VolumeSectors / drive_.SectorsPerCluster)
        .Count;
  }

  TNTFSdrive& drive_;
  const TFoundMFT& found_;
  const std::vector<TFoundRecord>& records_;
  TCustomDirectory& lost_;
  std::vector<std::pair<uint64_t, uint64_t>>& clusters_;
  std::vector<TCustomDirectory*> folders_;  // by index into records_
  std::vector<uint8_t> onChain_;            // records whose folders are being made
  std::unordered_map<uint64_t, TCustomDirectory*> placeholders_;
  std::unordered_map<uint64_t, TCustomDirectory*> recalled_;  // folders rebuilt from index entries
  std::unordered_set<uint64_t> recalling_;
  std::vector<uint8_t> record_;
};

}  // namespace

uint64_t AddFormerTree(TNTFSdrive& drive, const TFoundMFT& found, TCustomDirectory& lost, TStatusDialog* status,
                       std::vector<std::pair<uint64_t, uint64_t>>& clusters) {
  return TFormerTree(drive, found, lost, clusters).Build(status);
}

TClustersInUse HideClustersInUse(std::vector<TRun>& runs, uint64_t clusters, std::span<const uint8_t> bitmap,
                                 uint64_t volumeClusters) {
  TClustersInUse result;
  std::vector<TRun> out;
  out.reserve(runs.size());
  auto inUse = [&](uint64_t lcn) {
    return lcn >= volumeClusters || (lcn >> 3) >= bitmap.size() || ((bitmap[lcn >> 3] >> (lcn & 7)) & 1);
  };
  // Every cluster examined is one the file's size needs, so the work stays within the volume's size.
  uint64_t budget = std::min(clusters, volumeClusters);
  for (const TRun& run : runs) {
    if (run.Hole || run.Vcn < 0 || uint64_t(run.Vcn) >= clusters || run.Lcn < 0 || budget == 0) {
      out.push_back(run);
      continue;
    }
    const uint64_t examined = std::min({run.Length, clusters - uint64_t(run.Vcn), budget});
    budget -= examined;
    uint64_t k = 0;
    while (k < examined) {
      const bool used = inUse(uint64_t(run.Lcn) + k);
      uint64_t end = k + 1;
      while (end < examined && inUse(uint64_t(run.Lcn) + end) == used) ++end;
      out.push_back({run.Vcn + int64_t(k), end - k, run.Lcn + int64_t(k), used});
      if (used) {
        if (result.Count == 0) result.First = uint64_t(run.Lcn) + k;
        result.Count += end - k;
      }
      k = end;
    }
    if (examined < run.Length)
      out.push_back({run.Vcn + int64_t(examined), run.Length - examined, run.Lcn + int64_t(examined), false});
  }
  runs = std::move(out);
  return result;
}

bool OpenFoundDataPos(TNTFSdrive& drive, TNTFSDataPos& pos, uint64_t recordOffset, uint64_t number,
                      std::u16string_view stream) {
  pos = TNTFSDataPos{};
  pos.Reference = number;
  pos.Stream = stream;
  if (!drive.FoundRecords) return false;
  const TFoundMFT& found = *drive.FoundRecords;
  TFoundRecordScope scope(drive, found);
  std::vector<uint8_t> record;
  if (!found.ReadAt(drive, recordOffset, record)) return false;
  if (!drive.LoadAttribute(record, number, AttrData, stream, pos.Data)) return false;
  pos.Size = pos.Data.Size();
  if (!pos.Data.Resident && drive.SectorsPerCluster > 0) {
    const std::vector<uint8_t>* bitmap = drive.VolumeBitmap();
    const uint64_t volumeClusters = drive.VolumeSectors / drive.SectorsPerCluster;
    const TClustersInUse used =
        bitmap ? HideClustersInUse(pos.Data.Runs, ClustersOf(pos.Size, drive.ClusterSize), *bitmap, volumeClusters)
               : TClustersInUse{};
    if (used.Count > 0) pos.Failure = TextF(txt::ClustersOverwrittenByFormat, {used.Count, used.First});
  }
  AttachDataDecoder(drive, record, number, pos);
  pos.Opened = true;
  return true;
}

}  // namespace salvex
