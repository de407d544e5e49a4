#include "filetypes/JpegReassembly.h"

#include <algorithm>
#include <vector>

#include "filetypes/JpegCheck.h"

namespace salvex {

namespace {

constexpr uint64_t kMaxGapClusters = 1024;  // how far a continuation is looked for
constexpr uint64_t kSplitsTried = 4;        // the cluster of the first bad byte and the three before
// Full decodes per photo, and the bytes they may take in all. A wrong continuation is mostly noticed
// only at the end marker, so each costs a whole decode; a photo whose rest is gone must not cost a
// card of them.
constexpr unsigned kMaxDecodes = 64;
constexpr uint64_t kMaxDecodedBytes = 32ull << 20;
constexpr uint64_t kMaxJpegBytes = 64ull << 20;
// The decoder takes the last bytes of the first piece and the first foreign byte for a marker, and
// then complains a byte or two before the piece ends.
constexpr uint64_t kMarkerSlack = 8;
// Candidate continuations are read this many clusters at a time, as the gap grows.
constexpr uint64_t kWindowStep = 64;

// A cluster from inside a JPEG's entropy-coded data: each 0xFF is stuffed (00), a restart marker or
// the end marker; a cleared cluster is no photo's.
bool LooksLikeScanData(const uint8_t* c, size_t n) {
  bool anyNonZero = false;
  for (size_t i = 0; i < n; ++i) {
    anyNonZero = anyNonZero || c[i] != 0;
    if (c[i] != 0xFF || i + 1 == n) continue;
    const uint8_t next = c[i + 1];
    if (next == 0xD9) return anyNonZero || i > 0;
    if (next != 0x00 && !(next >= 0xD0 && next <= 0xD7) && next != 0xFF) return false;
  }
  return anyNonZero;
}

// Where the entropy-coded data of the first scan starts: after the SOS segment; 0 when the
// segments do not lead there within the first 256 KiB.
uint64_t ScanDataStart(TByteSource& from) {
  std::vector<uint8_t> head(256 * 1024);
  head.resize(from.ReadAt(0, head.data(), head.size()));
  size_t p = 2;
  while (p + 4 <= head.size() && head[p] == 0xFF) {
    const uint8_t marker = head[p + 1];
    const size_t length = size_t(head[p + 2]) << 8 | head[p + 3];
    if (marker == 0xFF) {
      ++p;
      continue;
    }
    if (length < 2) return 0;
    if (marker == 0xDA) return p + 2 + length;
    p += 2 + length;
  }
  return 0;
}

bool ReadAll(TByteSource& source, uint64_t size, std::vector<uint8_t>& out) {
  out.resize(size_t(size));
  size_t have = 0;
  while (have < out.size()) {
    const size_t n = source.ReadAt(have, out.data() + have, out.size() - have);
    if (n == 0) return false;
    have += n;
  }
  return true;
}

}  // namespace

size_t TGappedSource::ReadAt(uint64_t offset, uint8_t* out, size_t count) {
  size_t done = 0;
  if (offset < first_) {
    const size_t n = size_t(std::min<uint64_t>(count, first_ - offset));
    const size_t got = inner_.ReadAt(offset, out, n);
    if (got < n) return got;
    done = n;
  }
  if (done < count) done += inner_.ReadAt(offset + done + gap_, out + done, count - done);
  return done;
}

bool JpegDecodesStraight(TByteSource& from, uint64_t end, uint64_t& firstBad) {
  std::vector<uint8_t> bytes;
  if (end > kMaxJpegBytes || !ReadAll(from, end, bytes)) {
    firstBad = 0;
    return false;
  }
  const TJpegCheck check = CheckJpegDecodes(bytes);
  firstBad = check.FirstBad;
  return check.Clean;
}

std::optional<TTwoPieces> ReassembleJpeg(TByteSource& from, uint32_t clusterBytes, uint64_t firstBad) {
  if (clusterBytes == 0) return std::nullopt;
  // Splits to try: the first whole cluster of scan data that cannot be scan data (noise, zeros: the
  // decoder may take those in without a word until the end marker), then the cluster of the first
  // bad byte and the few before it.
  std::vector<uint64_t> splits;
  const uint64_t scanStart = ScanDataStart(from);
  const uint64_t badCluster = (firstBad + kMarkerSlack) / clusterBytes;
  std::vector<uint8_t> cluster(clusterBytes);
  const uint64_t firstScanCluster = (scanStart + clusterBytes - 1) / clusterBytes;
  for (uint64_t c = firstScanCluster; scanStart != 0 && c < badCluster; ++c) {
    if (from.ReadAt(c * clusterBytes, cluster.data(), clusterBytes) != clusterBytes) break;
    if (!LooksLikeScanData(cluster.data(), clusterBytes)) {
      splits.push_back(c);
      break;
    }
  }
  const bool allLookRight = splits.empty();
  for (uint64_t c = badCluster + 1; c-- > 1 && c + kSplitsTried > badCluster;)
    if (std::find(splits.begin(), splits.end(), c) == splits.end()) splits.push_back(c);
  // Another photo's scan data between the pieces looks right and may decode without a word until
  // the end marker: then every cluster of the scan is a possible split, nearest the start first.
  if (allLookRight && scanStart != 0)
    for (uint64_t c = std::max<uint64_t>(firstScanCluster, 1); c + kSplitsTried <= badCluster; ++c) splits.push_back(c);
  if (splits.empty()) return std::nullopt;  // the header's own cluster: nothing to continue
  const uint64_t lowest = *std::min_element(splits.begin(), splits.end());
  const uint64_t highest = *std::max_element(splits.begin(), splits.end());
  // The clusters a continuation may start in, read as the gap grows.
  const uint64_t windowFirst = lowest + 1, windowCount = highest - lowest + kMaxGapClusters;
  std::vector<uint8_t> window;
  std::vector<int8_t> scanData;
  uint64_t available = 0;
  bool sourceEnded = false;
  auto looksRight = [&](uint64_t c) {
    const uint64_t i = c - windowFirst;
    while (i >= available && !sourceEnded && available < windowCount) {
      const uint64_t step = std::min(std::max(kWindowStep, i + 1 - available), windowCount - available);
      window.resize(size_t(available + step) * clusterBytes);
      const size_t got = from.ReadAt((windowFirst + available) * clusterBytes, window.data() + available * clusterBytes,
                                     size_t(step) * clusterBytes);
      sourceEnded = got < step * clusterBytes;
      available += got / clusterBytes;
      scanData.resize(size_t(available), -1);
    }
    if (i >= available) return false;
    int8_t& known = scanData[size_t(i)];
    if (known < 0) known = LooksLikeScanData(window.data() + i * clusterBytes, clusterBytes);
    return known == 1;
  };
  unsigned decodes = 0;
  uint64_t decoded = 0;
  std::vector<uint8_t> bytes;
  for (uint64_t gap = 1; gap <= kMaxGapClusters && decodes < kMaxDecodes; ++gap) {
    for (size_t i = 0; i < splits.size() && decodes < kMaxDecodes; ++i) {
      const uint64_t split = splits[i], next = split + gap;
      if (!looksRight(next)) continue;
      TGappedSource joined(from, split * clusterBytes, gap * clusterBytes);
      const auto end = FindFileEnd("JPG", joined);
      if (!end || *end <= split * clusterBytes) continue;
      if (decoded + *end > kMaxDecodedBytes) return std::nullopt;
      ++decodes;
      decoded += *end;
      if (!ReadAll(joined, *end, bytes) || !CheckJpegDecodes(bytes).Clean) continue;
      return TTwoPieces{split, gap, *end};
    }
  }
  return std::nullopt;
}

}  // namespace salvex
