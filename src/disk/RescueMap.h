#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace salvex {

// What an imaging run knows of each byte of its source, in GNU ddrescue's mapfile terms.
enum TRescueStatus : char {
  RescueNonTried = '?',
  RescueNonTrimmed = '*',
  RescueNonScraped = '/',
  RescueBadSector = '-',
  RescueFinished = '+',
};
bool IsRescueStatus(char c);

struct TRescueBlock {
  uint64_t Pos = 0;
  uint64_t Size = 0;
  char Status = RescueNonTried;
  uint64_t End() const { return Pos + Size; }
};

// A GNU ddrescue mapfile: the run's position, phase and pass, and the status of every byte from 0
// to Size() as contiguous blocks. Neighbouring blocks of one status are kept merged, so that the
// map written is the one ddrescue would write.
class TRescueMap {
 public:
  uint64_t CurrentPos = 0;
  char CurrentStatus = RescueNonTried;  // the phase: ? * / - +, or F and G of ddrescue's other modes
  int CurrentPass = 1;

  // A map of `size` bytes, all non-tried.
  explicit TRescueMap(uint64_t size = 0);

  // Parses a mapfile's text; false with `why` naming the line when it is not one.
  static bool Parse(std::string_view text, TRescueMap& map, std::string& why);
  // The mapfile's text, with `comment` lines (without '#') above the data.
  std::string Format(const std::vector<std::string>& comment = {}) const;

  uint64_t Size() const { return size_; }
  // Extends with non-tried bytes, or cuts what lies past `size`.
  void Resize(uint64_t size);
  // Sets [pos, pos + size) (clamped to the map) to `status`.
  void Set(uint64_t pos, uint64_t size, char status);
  char StatusAt(uint64_t pos) const;
  // The blocks, in order; with a status, only blocks of that status.
  std::vector<TRescueBlock> Blocks() const;
  std::vector<TRescueBlock> Blocks(char status) const;
  // The block holding `pos` (Size 0 past the end).
  TRescueBlock BlockAt(uint64_t pos) const;
  uint64_t Total(char status) const;
  // The blocks of [pos, pos + size) that are not finished, clipped to the range.
  std::vector<TRescueBlock> Unrescued(uint64_t pos, uint64_t size) const;

 private:
  std::map<uint64_t, TRescueBlock> blocks_;  // by Pos
  uint64_t size_ = 0;
  void Split(uint64_t pos);
  void MergeAround(uint64_t pos);
};

// Writes `text` to `path` through a temporary file beside it that is synced and renamed over the
// old one, so that a crash leaves either the old map or the new one, never half of one.
bool WriteFileAtomically(const std::string& path, const std::string& text, std::string& why);
// Reads a mapfile; false with `why` when it cannot be read or parsed.
bool LoadRescueMap(const std::string& path, TRescueMap& map, std::string& why);

}  // namespace salvex
