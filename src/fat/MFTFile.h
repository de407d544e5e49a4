#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "devices/Model.h"

namespace salvex {

// A lost file found as an NTFS file record with resident data inside a FAT data area.
class TMFTFile : public TCustomFile {
 public:
  uint32_t DataOffset = 0;  // bytes from the start of FirstCluster to the resident data
  uint32_t FirstCluster = 0;
  uint16_t Time = 0;
  uint16_t Date = 0;

  std::unique_ptr<TItem> Clone() const override;
  bool NameHasDeletedMark() const override { return true; }
  std::string GetPath(const TCustomDirectory* stop) const override;
  std::unique_ptr<TDataStream> OpenData(const TReadChoice& choice) override;
  std::unique_ptr<TDataStream> OpenViewData(const TReadChoice& choice) override;
  std::optional<TClusterField> ClusterField() const override;
  void SetClusterField(uint32_t cluster) override;
  TFileMeta Meta() const override;
};

}  // namespace salvex
