#include "ntfs/NTFSStreamFile.h"

#include "ntfs/NTFSFileData.h"

namespace salvex {

std::unique_ptr<TItem> TNTFSStreamFile::Clone() const {
  auto s = std::make_unique<TNTFSStreamFile>();
  s->Assign(*this);
  return s;
}

void TNTFSStreamFile::Assign(const TItem& source) {
  TNTFSFile::Assign(source);
  if (auto* s = dynamic_cast<const TNTFSStreamFile*>(&source)) Stream = s->Stream;
}

std::unique_ptr<TDataStream> TNTFSStreamFile::OpenData(const TReadChoice&) {
  auto* drive = dynamic_cast<TNTFSdrive*>(Drive);
  if (!drive || MFTNumber <= 0) return nullptr;
  if (RecordOffset)
    return std::make_unique<TNTFSFileData>(*drive, TNTFSFileData::Source::FoundRecord, RecordOffset, 0, Size,
                                           uint64_t(MFTNumber), Stream);
  return std::make_unique<TNTFSFileData>(*drive, TNTFSFileData::Source::Record, uint64_t(MFTNumber), 0, Size, 0,
                                         Stream);
}

std::unique_ptr<TDataStream> TNTFSStreamFile::OpenViewData(const TReadChoice&) { return NTFSViewStream(Drive, *this); }

}  // namespace salvex
