#include "ntfs/NTFSFile.h"

#include "common/Helpers.h"
#include "devices/GapStream.h"
#include "ntfs/NTFSFileData.h"
#include "ntfs/NTFSFormerTree.h"
#include "ntfs/NTFSStreamFile.h"

#include <algorithm>
#include <cstddef>
#include <ctime>
#include <mutex>
#include <vector>

#include "common/CodePage.h"
#include "common/Format.h"
#include "common/Options.h"
#include "common/StringTable.h"
#include "salvex/StringIds.h"

namespace salvex {

namespace {
constexpr uint64_t kFileTimeUnixEpoch = 116444736000000000ull;  // 1970-01-01 in 100 ns since 1601

// Slots of TNTFSFile size, carved from large blocks and kept for reuse once given back. Under
// AddressSanitizer every file is its own allocation, so that a use after free is still caught.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kPooled = false;
#else
constexpr bool kPooled = true;
#endif
struct TSlotPool {
  static constexpr size_t kSlotsPerBlock = 2048;
  std::mutex Lock;
  void* Free = nullptr;  // the free slots, each holding the next one's address
  std::vector<std::unique_ptr<std::byte[]>> Blocks;
};
// Never destroyed: files may be freed by other objects' destructors after static destruction.
TSlotPool& Pool() {
  static TSlotPool* pool = new TSlotPool;
  return *pool;
}
}  // namespace

void* TNTFSFile::operator new(size_t size) {
  if (!kPooled || size != sizeof(TNTFSFile)) return ::operator new(size);
  static_assert(sizeof(TNTFSFile) % alignof(TNTFSFile) == 0 && alignof(TNTFSFile) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
  TSlotPool& pool = Pool();
  std::lock_guard<std::mutex> hold(pool.Lock);
  if (!pool.Free) {
    pool.Blocks.push_back(std::make_unique<std::byte[]>(TSlotPool::kSlotsPerBlock * sizeof(TNTFSFile)));
    std::byte* block = pool.Blocks.back().get();
    for (size_t k = TSlotPool::kSlotsPerBlock; k-- > 0;) {
      void* slot = block + k * sizeof(TNTFSFile);
      *static_cast<void**>(slot) = pool.Free;
      pool.Free = slot;
    }
  }
  void* slot = pool.Free;
  pool.Free = *static_cast<void**>(slot);
  return slot;
}

void TNTFSFile::operator delete(void* p, size_t size) noexcept {
  if (!p) return;
  if (!kPooled || size != sizeof(TNTFSFile)) {
    ::operator delete(p);
    return;
  }
  TSlotPool& pool = Pool();
  std::lock_guard<std::mutex> hold(pool.Lock);
  *static_cast<void**>(p) = pool.Free;
  pool.Free = p;
}

void FileTimeToDos(uint64_t fileTime, uint16_t& date, uint16_t& time) {
  date = time = 0;
  if (fileTime < kFileTimeUnixEpoch) return;
  time_t seconds = static_cast<time_t>((fileTime - kFileTimeUnixEpoch) / 10000000ull);
  struct tm local {};
  if (!localtime_r(&seconds, &local)) return;
  int year = local.tm_year + 1900;
  if (year < 1980 || year > 2107) return;
  date = static_cast<uint16_t>(((year - 1980) << 9) | ((local.tm_mon + 1) << 5) | local.tm_mday);
  time = static_cast<uint16_t>((local.tm_hour << 11) | (local.tm_min << 5) | (local.tm_sec / 2));
}

std::unique_ptr<TItem> TNTFSFile::Clone() const {
  auto f = std::make_unique<TNTFSFile>();
  f->Assign(*this);
  return f;
}

void TNTFSFile::Assign(const TItem& source) {
  TCustomFile::Assign(source);
  if (auto* s = dynamic_cast<const TNTFSFile*>(&source)) {
    Attributes = s->Attributes;
    MFTNumber = s->MFTNumber;
    StartCluster = s->StartCluster;
    RecordOffset = s->RecordOffset;
    Time = s->Time;
    Date = s->Date;
    ModificationTime = s->ModificationTime;
    Compressed = s->Compressed;
    Encrypted = s->Encrypted;
    ReusedClusters = s->ReusedClusters;
  }
}

bool TNTFSFile::Rename(const std::string& newName) {
  Name = newName;
  return true;
}

std::string TNTFSFile::GetPath(const TCustomDirectory* stop) const {
  std::string path;
  for (const TCustomDirectory* p = Parent; p && p != stop; p = p->Parent)
    path = path.empty() ? p->Name : p->Name + "\\" + path;
  return path;
}

std::unique_ptr<TItem> TNTFSMFTFile::Clone() const {
  auto f = std::make_unique<TNTFSMFTFile>();
  f->Assign(*this);
  return f;
}

void TNTFSMFTFile::Assign(const TItem& source) {
  TCustomFile::Assign(source);
  if (auto* s = dynamic_cast<const TNTFSMFTFile*>(&source)) {
    DataOffset = s->DataOffset;
    Cluster = s->Cluster;
  }
}

bool TNTFSMFTFile::Rename(const std::string& newName) {
  Name = newName;
  return true;
}

std::string TNTFSMFTFile::GetPath(const TCustomDirectory* stop) const {
  std::string path;
  for (const TCustomDirectory* p = Parent; p && p != stop; p = p->Parent)
    path = path.empty() ? p->Name : p->Name + "\\" + path;
  return path;
}

int64_t TNTFSReadStream::Seek(int64_t offset, Origin origin) {
  int64_t base = origin == FromBeginning ? 0 : origin == FromCurrent ? int64_t(Position) : int64_t(Size);
  int64_t target = base + offset;
  Position = uint64_t(std::clamp<int64_t>(target, 0, int64_t(Size)));
  return int64_t(Position);
}

TNTFSStream::TNTFSStream(TNTFSdrive& drive, uint64_t size, uint64_t reference, uint64_t recordOffset,
                         std::u16string_view stream)
    : TNTFSReadStream(drive), Reference(reference) {
  Size = size;
  const bool opened = recordOffset ? OpenFoundDataPos(drive, DataPos, recordOffset, reference, stream)
                                   : drive.OpenDataPos(DataPos, size, reference, stream);
  if (opened) Size = DataPos.Size;
}

uint64_t TNTFSStream::Read(uint8_t* buffer, uint64_t count) {
  if (!Drive.SeekDataPos(DataPos, Position)) return 0;
  uint64_t delivered = 0;
  Drive.ReadDataPos(DataPos, count, delivered, buffer);
  Position += delivered;
  return delivered;
}

TNTFSMFTStream::TNTFSMFTStream(TNTFSdrive& drive, uint32_t base, uint64_t size, uint64_t cluster)
    : TNTFSReadStream(drive), Cluster(cluster), Base(base) {
  Size = size;
}

uint64_t TNTFSMFTStream::Read(uint8_t* buffer, uint64_t count) {
  if (Position >= Size) return 0;
  uint64_t n = std::min(count, Size - Position);
  Drive.ReadContiguous(buffer, n, Base + Position, Cluster);
  Position += n;
  return n;
}

TNTFSContiguousStream::TNTFSContiguousStream(TNTFSdrive& drive, uint64_t size, uint64_t cluster)
    : TNTFSReadStream(drive), Cluster(cluster) {
  Size = size;
}

uint64_t TNTFSContiguousStream::Read(uint8_t* buffer, uint64_t count) {
  if (Position >= Size) return 0;
  uint64_t n = std::min(count, Size - Position);
  Drive.ReadContiguous(buffer, n, Position, Cluster);
  Position += n;
  return n;
}

std::unique_ptr<TNTFSReadStream> OpenNTFSStream(TNTFSdrive& drive, const TItem& item) {
  if (auto* m = dynamic_cast<const TNTFSMFTFile*>(&item))
    return std::make_unique<TNTFSMFTStream>(drive, m->DataOffset, m->Size, m->Cluster);
  if (auto* s = dynamic_cast<const TNTFSStreamFile*>(&item))
    return std::make_unique<TNTFSStream>(drive, s->Size, uint64_t(s->MFTNumber), s->RecordOffset, s->Stream);
  if (auto* f = dynamic_cast<const TNTFSFile*>(&item)) {
    if (f->MFTNumber > 0)
      return std::make_unique<TNTFSStream>(drive, f->Size, uint64_t(f->MFTNumber), f->RecordOffset);
    return std::make_unique<TNTFSContiguousStream>(drive, f->Size, uint64_t(f->StartCluster));
  }
  return nullptr;
}

// The viewer's stream of an NTFS list row: the NTFS read stream in the shape every volume's data has.
std::unique_ptr<TDataStream> NTFSViewStream(TCustomDrive* volume, const TItem& item) {
  auto* drive = dynamic_cast<TNTFSdrive*>(volume);
  std::unique_ptr<TNTFSReadStream> stream = drive ? OpenNTFSStream(*drive, item) : nullptr;
  if (!stream) return nullptr;
  struct TView : TDataStream {
    std::unique_ptr<TNTFSReadStream> s;
    uint64_t Size() const override { return s->Size; }
    size_t Read(uint8_t* buffer, size_t count) override {
      if (s->Position >= s->Size) return 0;
      return size_t(s->Read(buffer, count));
    }
    bool Seek(uint64_t position) override {
      s->Seek(int64_t(position), TNTFSReadStream::FromBeginning);
      return true;
    }
  };
  auto view = std::make_unique<TView>();
  view->s = std::move(stream);
  return view;
}

std::unique_ptr<TDataStream> TNTFSFile::OpenViewData(const TReadChoice&) { return NTFSViewStream(Drive, *this); }

std::unique_ptr<TDataStream> TNTFSMFTFile::OpenViewData(const TReadChoice&) { return NTFSViewStream(Drive, *this); }

std::unique_ptr<TDataStream> TNTFSFile::OpenData(const TReadChoice&) {
  auto* drive = dynamic_cast<TNTFSdrive*>(Drive);
  if (!drive) return nullptr;
  if (RecordOffset)
    return std::make_unique<TNTFSFileData>(*drive, TNTFSFileData::Source::FoundRecord, RecordOffset, 0, Size,
                                           uint64_t(MFTNumber));
  if (MFTNumber >= 0)
    return std::make_unique<TNTFSFileData>(*drive, TNTFSFileData::Source::Record, uint64_t(MFTNumber), 0, Size);
  return WithGap(std::make_unique<TNTFSFileData>(*drive, TNTFSFileData::Source::Contiguous, uint64_t(StartCluster), 0,
                                                 Size + GapBytes),
                 *this);
}

TFileMeta TNTFSFile::Meta() const {
  constexpr uint32_t kReadOnly = 0x01;
  TFileMeta meta;
  meta.Modified = FileTimeToTimespec(ModificationTime);
  meta.ReadOnly = Attributes & kReadOnly;
  meta.Attributes = Attributes;
  if (Encrypted) meta.Warning = LoadText(txt::EncryptedAsStored);
  if (ReusedClusters) meta.Damage = TextF(txt::ClustersTakenByOthers, {ReusedClusters});
  if (auto* drive = dynamic_cast<const TNTFSdrive*>(Drive); drive && Size > drive->VolumeBytes())
    meta.Warning = OversizeWarning(Size, drive->VolumeBytes());
  // A former file listed poor gives the reason its save fails with, not a doubt about its content.
  if (auto* drive = dynamic_cast<TNTFSdrive*>(Drive); drive && RecordOffset && Condition == 2 && meta.Damage.empty()) {
    TNTFSDataPos pos;
    meta.Damage = OpenFoundDataPos(*drive, pos, RecordOffset, uint64_t(MFTNumber), DataName())
                      ? pos.Failure
                      : LoadText(txt::FormerDataAttributeUnreadable);
  }
  if (MFTNumber >= 0)
    meta.Location = {TLocation::TKind::Record, uint64_t(MFTNumber)};
  else
    meta.Location = {TLocation::TKind::Cluster, uint64_t(StartCluster)};
  return meta;
}

TFileMeta TNTFSMFTFile::Meta() const {
  TFileMeta meta;
  meta.Location = {TLocation::TKind::Cluster, Cluster};
  return meta;
}

std::unique_ptr<TDataStream> TNTFSMFTFile::OpenData(const TReadChoice&) {
  auto* drive = dynamic_cast<TNTFSdrive*>(Drive);
  if (!drive) return nullptr;
  return std::make_unique<TNTFSFileData>(*drive, TNTFSFileData::Source::Contiguous, Cluster, DataOffset, Size);
}

// A file with a record is read through it; only one found by the cluster scan has a start to change.
std::optional<TClusterField> TNTFSFile::ClusterField() const {
  const bool editable = MFTNumber <= 0;
  return TClusterField{editable, editable ? uint32_t(uint64_t(StartCluster)) : 0};
}

void TNTFSFile::SetClusterField(uint32_t cluster) {
  if (MFTNumber <= 0) StartCluster = int64_t(cluster);
}

std::optional<TClusterField> TNTFSMFTFile::ClusterField() const { return TClusterField{true, uint32_t(Cluster)}; }

void TNTFSMFTFile::SetClusterField(uint32_t cluster) { Cluster = cluster; }

}  // namespace salvex
