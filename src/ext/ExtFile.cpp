#include "ext/ExtFile.h"

#include <algorithm>
#include <cstring>

#include "common/Format.h"
#include "common/StringTable.h"
#include "devices/Device.h"
#include "devices/GapStream.h"
#include "ext/ExtDirectory.h"
#include "salvex/StringIds.h"

namespace salvex {

namespace {
// Whole blocks read at once from consecutive places.
constexpr uint64_t kMaxReadBytes = uint64_t(1) << 20;
}  // namespace

TExtdrive* TExtFile::ExtDrive() const { return dynamic_cast<TExtdrive*>(Drive); }

std::unique_ptr<TItem> TExtFile::Clone() const {
  auto f = std::make_unique<TExtFile>();
  f->Assign(*this);
  return f;
}

void TExtFile::Assign(const TItem& source) {
  TCustomFile::Assign(source);
  if (auto* s = dynamic_cast<const TExtFile*>(&source)) {
    Node = s->Node;
    Size = s->Size;
  }
}

void TExtFile::AssignTo(TItem& target) const {
  if (auto* t = dynamic_cast<TExtFile*>(&target))
    t->Assign(*this);
  else
    TCustomFile::AssignTo(target);
}

bool TExtFile::Rename(const std::string& newName) {
  Name = newName;
  return true;
}

std::string TExtFile::GetPath(const TCustomDirectory* stop) const {
  if (!Parent || Parent == stop) return "";
  return Parent->GetPath(stop);
}

std::unique_ptr<TDataStream> TExtFile::OpenData(const TReadChoice&) {
  TExtdrive* drive = ExtDrive();
  if (!drive) return nullptr;
  return WithGap(OpenExtData(*drive, Node, Flags & (ItemDeleted | ItemLost)), *this);
}

TFileMeta TExtFile::Meta() const { return ExtMeta(Node); }

std::unique_ptr<TDataStream> OpenExtData(TExtdrive& drive, const TExtNode& node, bool deleted) {
  const TExtInode& n = node.Inode;
  const uint16_t t = n.Type();
  if (t != ext::kModeFile && t != ext::kModeLink) return std::make_unique<TExtFileData>(std::vector<uint8_t>{}, 0);
  if (n.HasInlineData() || n.FastLink()) {
    std::vector<uint8_t> bytes(n.Block, n.Block + 60);
    bytes.insert(bytes.end(), n.InlineXattr.begin(), n.InlineXattr.end());
    auto data = std::make_unique<TExtFileData>(bytes, n.Size);
    if (n.Size > bytes.size()) data->Failure = LoadText(txt::InlineDataShort);
    return data;
  }
  TExtMap map = drive.MapOf(node);
  const bool mapless = map.Runs.empty() && n.Size > 0;
  // A file found by content is read from free blocks only already.
  auto data = std::make_unique<TExtFileData>(drive, std::move(map), n.Size, deleted && !node.CarvedBlock && !node.OwnsBlocks);
  if (mapless && deleted) data->Failure = LoadText(txt::DeletedBlockMapCleared);
  return data;
}

TExtFileData::TExtFileData(TExtdrive& drive, TExtMap map, uint64_t size, bool deleted)
    : drive_(&drive), map_(std::move(map)), size_(size), deleted_(deleted) {
  if (!map_.Problem.empty()) Damage = map_.Problem;
}

TExtFileData::TExtFileData(std::vector<uint8_t> inlineBytes, uint64_t size)
    : size_(std::min<uint64_t>(size, inlineBytes.size())), inline_(std::move(inlineBytes)) {}

bool TExtFileData::Seek(uint64_t position) {
  if (position > size_ || !Failure.empty()) return false;
  // Read looks for the run from run_ onwards.
  if (position < position_) run_ = 0;
  position_ = position;
  return true;
}

const TExtRun* TExtFileData::RunAt(uint64_t logical) {
  while (run_ < map_.Runs.size() && map_.Runs[run_].Logical + map_.Runs[run_].Count <= logical) ++run_;
  return run_ < map_.Runs.size() && map_.Runs[run_].Logical <= logical ? &map_.Runs[run_] : nullptr;
}

bool TExtFileData::PlainExtent(TPlainExtent& extent) {
  if (!drive_ || !drive_->Device || position_ >= size_ || !Failure.empty()) return false;
  const uint64_t bs = drive_->Sb.BlockSize;
  const uint64_t logical = position_ / bs;
  const TExtRun* run = RunAt(logical);
  // Holes and unwritten space are zeros the reading path makes.
  if (!run || run->Unwritten) return false;
  const uint64_t physical = run->Physical + (logical - run->Logical);
  const uint64_t within = position_ % bs;
  if (physical >= drive_->Sb.BlocksCount) return false;
  uint64_t blocks = std::min({run->Logical + run->Count - logical, drive_->Sb.BlocksCount - physical,
                              (within + size_ - position_ + bs - 1) / bs});
  // A deleted file's blocks that another file was given since are not its bytes: reading says so.
  if (deleted_) {
    uint64_t own = 0;
    while (own < blocks && !drive_->BlockInUse(physical + own)) ++own;
    blocks = own;
  }
  if (blocks == 0) return false;
  const int fd = drive_->Device->PlainFile();
  if (fd < 0) return false;
  extent = {fd, drive_->FirstSector * drive_->BytesPerSector() + physical * bs + within,
            std::min(blocks * bs - within, size_ - position_)};
  return true;
}

void TExtFileData::Skip(uint64_t count) { position_ += std::min(count, size_ - std::min(size_, position_)); }

bool TExtFileData::ByteRuns(std::vector<TByteRun>& runs) {
  if (!drive_ || !Failure.empty()) return false;  // inline data lives in the inode
  const uint64_t bs = drive_->Sb.BlockSize;
  for (const TExtRun& run : map_.Runs) {
    if (run.Unwritten || run.Logical >= (size_ + bs - 1) / bs) continue;
    const uint64_t start = run.Logical * bs;
    AddByteRun(runs, start, run.Physical * bs, std::min(run.Count * bs, size_ - start));
  }
  return true;
}

size_t TExtFileData::Read(uint8_t* buffer, size_t count) {
  if (position_ >= size_ || !Failure.empty()) return 0;
  count = size_t(std::min<uint64_t>(count, size_ - position_));
  if (!drive_) {
    std::memcpy(buffer, inline_.data() + position_, count);
    position_ += count;
    return count;
  }
  const uint32_t bs = drive_->Sb.BlockSize;
  size_t done = 0;
  while (done < count) {
    const uint64_t logical = position_ / bs;
    const uint32_t within = uint32_t(position_ % bs);
    RunAt(logical);
    const size_t want = count - done;
    if (run_ >= map_.Runs.size() || map_.Runs[run_].Logical > logical || map_.Runs[run_].Unwritten) {
      // A hole, or space the file reserved but never wrote: zeros by definition.
      uint64_t end = run_ < map_.Runs.size() ? map_.Runs[run_].Logical : UINT64_MAX;
      if (run_ < map_.Runs.size() && map_.Runs[run_].Logical <= logical)
        end = map_.Runs[run_].Logical + map_.Runs[run_].Count;
      const uint64_t zeros = std::min<uint64_t>(want, end == UINT64_MAX ? want : end * bs - position_);
      std::memset(buffer + done, 0, zeros);
      done += zeros;
      position_ += zeros;
      continue;
    }
    const TExtRun& run = map_.Runs[run_];
    const uint64_t physical = run.Physical + (logical - run.Logical);
    if (deleted_ && drive_->BlockInUse(physical)) {
      const size_t n = size_t(std::min<uint64_t>(want, bs - within));
      std::memset(buffer + done, 0, n);
      done += n;
      position_ += n;
      Damage = TextF(txt::BlocksTakenByOthers, {++reused_});
      ++DamagedUnits;
      continue;
    }
    if (within == 0 && want >= bs) {
      uint64_t blocks = std::min<uint64_t>(want / bs, run.Logical + run.Count - logical);
      if (deleted_) blocks = 1;
      blocks = std::min<uint64_t>(blocks, kMaxReadBytes / bs);
      const uint64_t bytes = blocks * bs;
      if (!drive_->ReadBytes(physical * bs, size_t(bytes), buffer + done)) {
        for (uint64_t i = 0; i < blocks; ++i)
          if (!drive_->ReadBytes((physical + i) * bs, bs, buffer + done + i * bs)) {
            std::memset(buffer + done + i * bs, 0, bs);
            ZeroFilledSectors += bs / drive_->BytesPerSector() ? bs / drive_->BytesPerSector() : 1;
          }
      }
      done += size_t(bytes);
      position_ += bytes;
      continue;
    }
    if (!drive_->ReadBlock(physical, block_)) {
      std::fill(block_.begin(), block_.end(), 0);
      ZeroFilledSectors += bs / drive_->BytesPerSector() ? bs / drive_->BytesPerSector() : 1;
    }
    const size_t n = size_t(std::min<uint64_t>(want, bs - within));
    std::memcpy(buffer + done, block_.data() + within, n);
    done += n;
    position_ += n;
  }
  return done;
}

TItemHistory ExtHistory(const TExtNode& node) {
  TItemHistory history;
  history.Problem = node.Problem;
  if (node.FromJournal) history.JournalSequence = node.JournalSequence;
  return history;
}

TItemHistory TExtFile::History() const { return ExtHistory(Node); }

}  // namespace salvex
