// Saving crafted trees: the input fills a small FAT16 volume as in the directory target; the Root
// tree (along FAT 1) and the Deleted tree (no FAT) are saved into a fresh folder. Nothing may be
// written outside it, and every save must end.
#include <ftw.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "fuzz/FuzzFat.h"
#include "recovery/Wrappers.h"

namespace {

class SaveHost : public salvex::THost {
 public:
  std::string target;
  bool deleted = false;
  int answer = 0;
  salvex::TMsgResult MessageBox(const std::string&, const std::string&, salvex::TMsgButtons b, salvex::TMsgIcon) override {
    if (b != salvex::TMsgButtons::YesNoAll) return salvex::TMsgResult::Ok;
    static const salvex::TMsgResult answers[] = {salvex::TMsgResult::Yes, salvex::TMsgResult::No, salvex::TMsgResult::All};
    return answers[answer++ % 3];
  }
  bool AskSectorRange(uint64_t&, uint64_t&, uint64_t) override { return false; }
  bool AskClusterRange(uint64_t&, uint64_t&, uint64_t, uint64_t) override { return false; }
  bool AskTargetFolder(std::string& folder) override {
    folder = target;
    return true;
  }
  salvex::TFindDialog& FindDialog() override { return salvex::Host().FindDialog(); }
};

// Files claim up to 4 GiB; the fuzzer only needs the first bytes to exercise the copy.
void ClampSizes(salvex::TCustomDirectory& dir, bool deleted) {
  auto* fat = dynamic_cast<salvex::TFATDirectory*>(&dir);
  if (!fat) return;
  if (!fat->Children) fat->ReadChildren(deleted, deleted);
  for (auto& c : *fat->Children) {
    if (auto* f = dynamic_cast<salvex::TFATFile*>(c.get())) f->Size = std::min<uint64_t>(f->Size, 70000);
    if (auto* d = dynamic_cast<salvex::TFATDirectory*>(c.get())) ClampSizes(*d, deleted);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace fs = std::filesystem;
  using namespace salvex;
  auto& io = fuzzfat::Io();
  io.images["/fuzz"].bytes = fuzzfat::VolumeWith(data, size);
  static const fs::path base = [] {
    char tmpl[] = "/tmp/salvex-fuzz-save-XXXXXX";
    return fs::path(mkdtemp(tmpl));
  }();
  const fs::path target = base / "target";
  fs::remove_all(base);
  fs::create_directories(target);
  SaveHost host;
  host.target = target.string();
  ScopedHost scope(host);
  fuzzfat::Volume v;
  for (bool deleted : {false, true}) {
    host.deleted = deleted;
    TFATDirectory* root = deleted ? v.drive.DeletedRoot() : v.drive.Root();
    ClampSizes(*root, deleted);
    fuzzfat::AllRows list;
    list.all = true;
    list.Show(*root, deleted);
    SaveSelectedTo(v.drive, root, list.Selected());
  }
  // Everything written lies below the target.
  for (const auto& e : fs::directory_iterator(base))
    if (e.path() != target) __builtin_trap();
  return 0;
}
