#pragma once
#include <memory>
#include <string>

#include "ntfs/NTFSFile.h"

namespace salvex {

// A named $DATA attribute of a file or folder record (an alternate data stream), listed beside its
// owner as "owner:stream" with the owner's times and read through the same record.
class TNTFSStreamFile : public TNTFSFile {
 public:
  std::u16string Stream;  // the attribute's name

  std::unique_ptr<TItem> Clone() const override;
  void Assign(const TItem& source) override;
  std::unique_ptr<TDataStream> OpenData(const TReadChoice& choice) override;
  std::unique_ptr<TDataStream> OpenViewData(const TReadChoice& choice) override;
  std::u16string_view DataName() const override { return Stream; }
};

}  // namespace salvex
