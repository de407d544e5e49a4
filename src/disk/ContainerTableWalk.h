#pragma once
// Shared by the table checks of each container format (ContainerTables*.cpp); not used elsewhere.
#include <cstdint>
#include <string>
#include <vector>

#include "common/ByteReader.h"
#include "disk/ContainerTables.h"

namespace salvex {

// One walk over a container's allocation tables: where its own metadata lies, which media units
// are damaged, and how far its claims reach past the end of the file.
class TTableWalk {
 public:
  static constexpr uint64_t kMaxTableBytes = uint64_t(256) << 20;

  TTableWalk(uint64_t fileSize, const TContainerFileRead& read, TContainerCheck& check, std::string name);

  uint64_t FileSize() const { return fileSize_; }
  const TContainerFileRead& Read() const { return read_; }
  void SetMediaSize(uint64_t bytes);
  // True when [at, at + length) lies beyond any size an intact container could reach.
  bool Wild(uint64_t at, uint64_t length) const { return at >= plausibleEnd_ || length > plausibleEnd_ - at; }
  // File bytes the container keeps for itself (headers, tables): no data unit may point there.
  void Metadata(uint64_t begin, uint64_t length);
  bool InMetadata(uint64_t begin, uint64_t length) const;
  // Reads a table the header places at `offset` (and marks it as metadata); false when it does
  // not lie inside the file, which is noted as a cut or a refusal.
  bool ReadTable(uint64_t offset, uint64_t length, std::vector<uint8_t>& out, const char* what);
  // A data unit of the media stored at file bytes [at, at + length): true when it is sound. A
  // unit in the metadata or out of reach is damage; one past the end of the file (allowing
  // `slack` bytes of rounding) is a cut.
  bool Unit(uint64_t mediaBegin, uint64_t mediaLength, uint64_t at, uint64_t length, uint64_t slack = 0);
  void Damage(uint64_t mediaBegin, uint64_t mediaLength);
  // Media that reads as zeros whatever the entry's offset says.
  void Zero(uint64_t mediaBegin, uint64_t mediaLength);
  void NoteCut(uint64_t claimedEnd, const std::string& what);
  void Refuse(const std::string& why);
  bool Refused() const { return !check_.Refusal.empty(); }
  // Turns a cut into the refusal that says so.
  void Finish();

 private:
  uint64_t fileSize_;
  const TContainerFileRead& read_;
  TContainerCheck& check_;
  std::string name_;
  TDamagedRanges metadata_;
  uint64_t plausibleEnd_ = UINT64_MAX;
  uint64_t cutEnd_ = 0;
  std::string cutWhat_;
};

uint64_t BigEndian(const ByteReader& r, size_t offset, size_t width);

void CheckQcowTables(uint64_t fileSize, const TContainerFileRead& read, TContainerCheck& check);
void CheckVhdTables(uint64_t fileSize, const TContainerFileRead& read, TContainerCheck& check);
void CheckVhdxTables(uint64_t fileSize, const TContainerFileRead& read, TContainerCheck& check);

}  // namespace salvex
