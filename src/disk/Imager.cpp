#include "disk/Imager.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "disk/RawIO.h"

namespace salvex {

namespace {

double Now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

constexpr uint64_t kFirstSkip = 64 * 1024;

}  // namespace

TImager::TImager(TRawIO& io, int source, int target, TRescueMap& map, TImagerOptions options)
    : io_(io), source_(source), target_(target), map_(map), options_(options) {
  if (options_.SectorSize == 0) options_.SectorSize = 512;
  if (options_.ClusterSectors == 0) options_.ClusterSectors = 1;
  const size_t bytes = size_t(options_.SectorSize) * std::max(options_.ClusterSectors, options_.LargeReadSectors);
  buffer_ = std::make_unique<AlignedBuffer>(bytes);
  spare_ = std::make_unique<AlignedBuffer>(bytes);
}

// The bytes of [pos, pos + size) in buffer_: from the read started ahead when it was this one, else
// read now. A read ahead that is not wanted after all is waited for and dropped unseen; the source
// layer is never called from two threads at once.
ssize_t TImager::Fetch(uint64_t pos, uint64_t size) {
  if (ahead_.Got.valid()) {
    const auto [got, err] = ahead_.Got.get();
    if (ahead_.Pos == pos && ahead_.Size == size) {
      std::swap(buffer_, spare_);
      errno = err;
      return got;
    }
  }
  errno = 0;
  return io_.PRead(source_, buffer_->data(), size, pos);
}

TImagerProgress TImager::Progress() const {
  TImagerProgress p;
  p.Size = map_.Size();
  for (const TRescueBlock& b : map_.Blocks()) {
    switch (b.Status) {
      case RescueFinished: p.Rescued += b.Size; break;
      case RescueNonTried: p.NonTried += b.Size; break;
      case RescueNonTrimmed: p.NonTrimmed += b.Size; ++p.BadAreas; break;
      case RescueNonScraped: p.NonScraped += b.Size; ++p.BadAreas; break;
      default: p.BadSector += b.Size; ++p.BadAreas; break;
    }
  }
  p.Reads = reads_;
  p.ReadErrors = readErrors_;
  p.Phase = map_.CurrentStatus;
  p.Pass = map_.CurrentPass;
  p.Position = map_.CurrentPos;
  const double now = Now();
  p.Seconds = start_ > 0 ? now - start_ : 0;
  p.SecondsSinceGoodRead = lastGood_ > 0 ? now - lastGood_ : p.Seconds;
  p.RescuedThisRun = rescuedThisRun_;
  return p;
}

void TImager::Report(bool force) {
  if (!OnProgress) return;
  const double now = Now();
  if (!force && now - lastReport_ < 0.5) return;
  lastReport_ = now;
  OnProgress(Progress());
}

bool TImager::Checkpoint(bool force) {
  if (failed_) return false;
  const double now = Now();
  if (!force && now - lastSave_ < options_.MapIntervalSeconds) return true;
  lastSave_ = now;
  std::string why;
  if (SaveMap && !SaveMap(map_, why)) {
    Error = why;
    failed_ = mapFailed_ = true;
    return false;
  }
  return true;
}

bool TImager::Stopped() {
  if (failed_) return true;
  if (Cancelled && Cancelled()) WasCancelled = true;
  return WasCancelled;
}

// Reads [pos, pos + size) and writes what was read to the target at the same offset. `good` is
// the length of the readable start (whole sectors) when the read fails part way.
TImager::ReadOutcome TImager::ReadRange(uint64_t pos, uint64_t size, uint64_t& good, uint64_t next,
                                        uint64_t nextSize) {
  good = 0;
  if (size > buffer_->size()) size = buffer_->size();
  ++reads_;
  const ssize_t got = Fetch(pos, size);
  const bool whole = got >= 0 && uint64_t(got) == size;
  if (whole && nextSize > 0) {
    ahead_.Pos = next;
    ahead_.Size = std::min<uint64_t>(nextSize, spare_->size());
    ahead_.Got = std::async(std::launch::async, [this, at = ahead_.Pos, n = ahead_.Size, out = spare_->data()] {
      errno = 0;
      const ssize_t r = io_.PRead(source_, out, n, at);
      return std::make_pair(r, errno);
    });
  }
  if (whole) {
    good = size;
  } else if (got > 0) {
    good = uint64_t(got) / options_.SectorSize * options_.SectorSize;
  }
  if (!whole) ++readErrors_;
  if (good > 0) {
    size_t done = 0;
    while (done < good) {
      const ssize_t n = ::pwrite(target_, buffer_->data() + done, good - done, off_t(pos + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        Error = "cannot write the image at byte " + std::to_string(pos + done) + ": " +
                std::strerror(n < 0 ? errno : ENOSPC);
        failed_ = true;
        return ReadOutcome::Stop;
      }
      done += size_t(n);
    }
    map_.Set(pos, good, RescueFinished);
    rescuedThisRun_ += good;
    lastGood_ = Now();
  }
  map_.CurrentPos = pos + good;
  return whole ? ReadOutcome::Good : ReadOutcome::Bad;
}

bool TImager::CopyPass(bool reverse, bool skipping) {
  const uint64_t cluster = uint64_t(options_.SectorSize) * options_.ClusterSectors;
  const uint64_t large = std::max<uint64_t>(cluster, uint64_t(options_.SectorSize) * options_.LargeReadSectors);
  uint64_t clustersLeft = 0;  // bytes still to read in clusters since the last failure
  const uint64_t maxSkip = std::max<uint64_t>(kFirstSkip, std::min<uint64_t>(map_.Size() / 100, 1ull << 30));
  std::vector<TRescueBlock> blocks = map_.Blocks(RescueNonTried);
  if (reverse) std::reverse(blocks.begin(), blocks.end());
  uint64_t skip = kFirstSkip;
  for (const TRescueBlock& b : blocks) {
    // Forward the cursor moves from b.Pos up; backwards from b.End() down.
    uint64_t cursor = reverse ? b.End() : b.Pos;
    while (reverse ? cursor > b.Pos : cursor < b.End()) {
      if (Stopped()) return false;
      const uint64_t size = clustersLeft > 0 ? cluster : large;
      const uint64_t n = std::min(size, reverse ? cursor - b.Pos : b.End() - cursor);
      const uint64_t at = reverse ? cursor - n : cursor;
      // Where this read succeeds and no cluster reads are due, the next large one is known.
      uint64_t next = 0, nextSize = 0;
      if (clustersLeft <= n) {
        const uint64_t left = reverse ? at - b.Pos : b.End() - (at + n);
        nextSize = std::min(large, left);
        next = reverse ? at - nextSize : at + n;
      }
      uint64_t good = 0;
      const ReadOutcome r = ReadRange(at, n, good, next, nextSize);
      if (r == ReadOutcome::Stop) return false;
      if (r == ReadOutcome::Good) {
        skip = kFirstSkip;
        cursor = reverse ? at : at + n;
        clustersLeft = clustersLeft > n ? clustersLeft - n : 0;
      } else if (n > cluster) {
        // Where a large read fails, clusters narrow the failure down before any skipping.
        clustersLeft = 2 * large;
        if (!reverse) cursor = at + good;
      } else {
        clustersLeft = 2 * large;
        map_.Set(at + good, n - good, RescueNonTrimmed);
        uint64_t jump = n;
        if (skipping) {
          jump += skip;
          skip = std::min(skip * 2, maxSkip);
        }
        cursor = reverse ? (cursor - b.Pos > jump ? cursor - jump : b.Pos) : std::min(b.End(), cursor + jump);
      }
      Report(false);
      if (!Checkpoint(false)) return false;
    }
  }
  return true;
}

bool TImager::Trim() {
  const uint64_t ss = options_.SectorSize;
  for (const TRescueBlock& b : map_.Blocks(RescueNonTrimmed)) {
    uint64_t first = b.Pos, end = b.End();
    uint64_t good = 0;
    // The leading edge, forwards until a sector fails.
    while (first < end) {
      if (Stopped()) return false;
      const uint64_t n = std::min(ss - first % ss, end - first);
      const ReadOutcome r = ReadRange(first, n, good);
      if (r == ReadOutcome::Stop) return false;
      if (r == ReadOutcome::Bad) map_.Set(first, n, RescueBadSector);
      first += n;
      if (r == ReadOutcome::Bad) break;
    }
    // The trailing edge, backwards until a sector fails.
    while (end > first) {
      if (Stopped()) return false;
      const uint64_t within = end % ss ? end % ss : ss;
      const uint64_t n = std::min(within, end - first);
      const ReadOutcome r = ReadRange(end - n, n, good);
      if (r == ReadOutcome::Stop) return false;
      if (r == ReadOutcome::Bad) map_.Set(end - n, n, RescueBadSector);
      end -= n;
      if (r == ReadOutcome::Bad) break;
    }
    if (end > first) map_.Set(first, end - first, RescueNonScraped);
    Report(false);
    if (!Checkpoint(false)) return false;
  }
  return true;
}

// Reads every sector of the blocks of `status` once: scraping the non-scraped ones, or one retry
// pass over the bad sectors.
bool TImager::Scrape(char status) {
  const uint64_t ss = options_.SectorSize;
  for (const TRescueBlock& b : map_.Blocks(status)) {
    for (uint64_t at = b.Pos; at < b.End();) {
      if (Stopped()) return false;
      const uint64_t n = std::min(ss - at % ss, b.End() - at);
      uint64_t good = 0;
      const ReadOutcome r = ReadRange(at, n, good);
      if (r == ReadOutcome::Stop) return false;
      if (r == ReadOutcome::Bad && status != RescueBadSector) map_.Set(at, n, RescueBadSector);
      at += n;
      Report(false);
      if (!Checkpoint(false)) return false;
    }
  }
  return true;
}

bool TImager::Run() {
  start_ = lastSave_ = Now();
  auto phase = [this](char status, int pass) {
    map_.CurrentStatus = status;
    map_.CurrentPass = pass;
    Report(true);
    return Checkpoint(true);
  };
  bool ok = phase(RescueNonTried, 1) && CopyPass(options_.Reverse, true) && phase(RescueNonTried, 2) &&
            CopyPass(!options_.Reverse, true) && phase(RescueNonTried, 3) && CopyPass(options_.Reverse, false) &&
            phase(RescueNonTrimmed, 1) && Trim() && phase(RescueNonScraped, 1) &&
            Scrape(RescueNonScraped);
  for (int pass = 1; ok && pass <= options_.Retries && map_.Total(RescueBadSector) > 0; ++pass)
    ok = phase(RescueBadSector, pass) && Scrape(RescueBadSector);
  if (ok) {
    map_.CurrentStatus = RescueFinished;
    map_.CurrentPos = 0;
    map_.CurrentPass = 1;
  }
  // The map is saved however the run ends (a failed write was not marked as rescued), unless
  // saving it is what failed.
  if (!mapFailed_) {
    std::string why;
    if (SaveMap && !SaveMap(map_, why)) {
      if (Error.empty()) Error = why;
      failed_ = true;
    }
  }
  Report(true);
  return !failed_;
}

}  // namespace salvex
