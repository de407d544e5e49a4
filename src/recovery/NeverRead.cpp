#include "recovery/NeverRead.h"

#include <algorithm>

#include "devices/Model.h"
#include "disk/RescueMap.h"

namespace salvex {

TNeverRead NeverReadOf(TCustomFile& file, const TReadChoice& choice, const TRescueMap& map) {
  TNeverRead out;
  std::unique_ptr<TDataStream> data = file.OpenData(choice);
  std::vector<TByteRun> runs;
  if (!file.Drive || !data || !data->ByteRuns(runs)) {
    out.Known = file.Size == 0;
    return out;
  }
  for (const TByteRun& volumeRun : runs) {
    const uint64_t pos = file.Drive->DeviceByte(volumeRun.VolumeOffset), end = pos + volumeRun.Length;
    // Bytes past the map's end were never read either: the image does not reach there.
    if (end > map.Size()) {
      const uint64_t from = std::max(pos, map.Size());
      out.Bytes += end - from;
      out.Ranges.push_back({from, end - from});
    }
    if (pos >= map.Size()) continue;
    for (const TRescueBlock& b : map.Unrescued(pos, std::min(end, map.Size()) - pos)) {
      out.Bytes += b.Size;
      out.Ranges.push_back({b.Pos, b.Size});
    }
  }
  std::sort(out.Ranges.begin(), out.Ranges.end(), [](const TNeverRead::TRange& a, const TNeverRead::TRange& b) { return a.Pos < b.Pos; });
  std::vector<TNeverRead::TRange> merged;
  for (const TNeverRead::TRange& r : out.Ranges) {
    if (!merged.empty() && r.Pos <= merged.back().End())
      merged.back().Size = std::max(merged.back().End(), r.End()) - merged.back().Pos;
    else
      merged.push_back(r);
  }
  out.Ranges = std::move(merged);
  return out;
}

std::string NeverReadReason(const TNeverRead& unread, uint32_t sectorSize) {
  if (unread.Bytes == 0 || unread.Ranges.empty()) return "";
  const uint64_t ss = sectorSize ? sectorSize : 512;
  // Neighbouring byte ranges can share a sector: the text names each sector once.
  std::vector<std::pair<uint64_t, uint64_t>> sectors;
  for (const TNeverRead::TRange& r : unread.Ranges) {
    const uint64_t first = r.Pos / ss, last = (r.End() - 1) / ss;
    if (!sectors.empty() && first <= sectors.back().second + 1)
      sectors.back().second = std::max(sectors.back().second, last);
    else
      sectors.push_back({first, last});
  }
  constexpr size_t kShown = 3;
  std::string text = std::to_string(unread.Bytes) + (unread.Bytes == 1 ? " byte was" : " bytes were") +
                     " never read from the disk (sector" + (sectors.size() == 1 && sectors[0].first == sectors[0].second ? "" : "s") + " ";
  for (size_t i = 0; i < sectors.size() && i < kShown; ++i) {
    if (i) text += ", ";
    text += std::to_string(sectors[i].first);
    if (sectors[i].second != sectors[i].first) text += "\u2013" + std::to_string(sectors[i].second);
  }
  if (sectors.size() > kShown) text += " and " + std::to_string(sectors.size() - kShown) + " more ranges";
  return text + ")";
}

}  // namespace salvex
