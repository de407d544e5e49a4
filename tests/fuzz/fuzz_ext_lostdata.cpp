// The ext lost-data search: the input is the start of a 1 MiB volume (zeros after it), mounted and
// searched over all its blocks, files by their content included; the folders and files found in
// Lost are then listed and read. Every search and walk must end, and nothing found may lie outside
// the volume.
#include "common/Host.h"
#include "ext/Extdrive.h"
#include "fuzz/FuzzFat.h"

namespace {

// Answers the range question with the whole volume; every other question with its default.
class WholeRangeHost : public salvex::THost {
 public:
  salvex::TMsgResult MessageBox(const std::string&, const std::string&, salvex::TMsgButtons,
                                salvex::TMsgIcon) override {
    return salvex::TMsgResult::Ok;
  }
  bool AskSectorRange(uint64_t&, uint64_t&, uint64_t) override { return false; }
  bool AskClusterRange(uint64_t&, uint64_t&, uint64_t, uint64_t) override { return true; }
  bool AskTargetFolder(std::string&) override { return false; }
  salvex::TFindDialog& FindDialog() override { return salvex::Host().FindDialog(); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace salvex;
  if (size == 0) return 0;
  auto& io = fuzzfat::Io();
  auto& img = io.images["/fuzz"].bytes;
  std::fill(img.begin(), img.end(), 0);
  std::memcpy(img.data(), data, std::min(size, img.size()));
  WholeRangeHost host;
  ScopedHost scope(host);
  fuzzfat::VolumeOf<TExtdrive> v;
  if (!v.mounted) return 0;
  TExtdrive& drive = v.drive;
  fuzzfat::NullTree tree;
  tree.Show(drive);
  if (!drive.FindLostData(nullptr)) __builtin_trap();  // the whole range was given
  for (const auto& [ino, blocks] : drive.FoundFolders)
    for (uint64_t b : blocks)
      if (b >= drive.Sb.BlocksCount) __builtin_trap();
  if (!drive.LostFolder) __builtin_trap();
  fuzzfat::VisitTree(*drive.LostFolder, true, true);
  return 0;
}
