#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>

#include "cli/Cli.h"
#include "cli/CliSave.h"
#include "recovery/Browse.h"
#include "recovery/SaveEngine.h"
#include "common/CodePage.h"
#include "common/Options.h"
#include "exfat/ExFATDirectory.h"
#include "fat/FATDirectory.h"
#include "fat/FATFile.h"
#include "fat/FATdrive.h"
#include "fat/FATLostData.h"
#include "ntfs/NTFSFile.h"
#include "ntfs/NTFSLostData.h"

namespace salvex::cli {

namespace {

struct TLostDataArgs {
  size_t Volume = 0;
  uint64_t First = 0;
  uint64_t Last = UINT64_MAX;
  bool NoFiles = false;
  TSaveArgs Save;
  int FAT = 0;
  std::string Mask;
};

std::string TypeOf(const TItem& item) {
  if (dynamic_cast<const TCustomDirectory*>(&item)) return "folder";
  if (dynamic_cast<const TMFTFile*>(&item) || dynamic_cast<const TNTFSMFTFile*>(&item)) return "mft-record";
  if (auto* f = dynamic_cast<const TCustomFile*>(&item)) {
    auto dot = f->Name.rfind('.');
    return dot == std::string::npos ? "file" : f->Name.substr(dot + 1);
  }
  return "?";
}

// Folders below the top are read from the disk as the tree is printed; a depth bound keeps a
// crafted tree finite.
void PrintTree(TCustomDirectory& folder, int depth) {
  if (depth > 64) return;
  if (!folder.Children) {
    if (auto* fat = dynamic_cast<TFATDirectory*>(&folder)) fat->ReadChildren(true, false);
    if (auto* exfat = dynamic_cast<TExFATDirectory*>(&folder)) exfat->ReadChildren(true, false);
  }
  if (!folder.Children) return;
  for (auto& child : *folder.Children) {
    std::string indent(size_t(depth) * 2, ' ');
    if (auto* d = dynamic_cast<TCustomDirectory*>(child.get())) {
      std::printf("%s%s/\n", indent.c_str(), ShownName(*d).c_str());
      PrintTree(*d, depth + 1);
    } else if (auto* f = dynamic_cast<TCustomFile*>(child.get())) {
      std::printf("%s%-40s %12llu  %s%s\n", indent.c_str(), ShownName(*f).c_str(),
                  static_cast<unsigned long long>(f->Size), TypeOf(*f).c_str(),
                  (f->Flags & ItemDeleted) ? "  (deleted)" : "");
    }
  }
}

int RunLostData(TCliContext& ctx, const TLostDataArgs& args) {
  ctx.DetectVolumes();
  TCustomDrive& drive = ctx.Volume(args.Volume);
  if (!drive.HasSpecialFolders()) throw TCliError("volume " + std::to_string(args.Volume) + " could not be read");
  if (auto* fat = dynamic_cast<TFATdrive*>(&drive)) {
    if (args.FAT < 0 || uint32_t(args.FAT) > fat->NumberOfFATs)
      throw TCliError("--fat must be 0 (none) or 1.." + std::to_string(fat->NumberOfFATs));
    fat->FATCopy = uint8_t(args.FAT);
  }
  Options().FindLostFiles = !args.NoFiles;
  ctx.Host.RangeFirst = args.First;
  ctx.Host.RangeLast = args.Last;
  ctx.Host.RangeGiven = true;
  drive.Progress = ctx.Status.get();
  if (!drive.FindLostData(ctx.Status.get())) throw TCliError("the lost-data search did not run on this volume");

  TCustomDirectory& lost = *drive.LostFolder;
  size_t top = lost.Children ? lost.Children->size() : 0;
  std::printf("Lost (%zu item%s at the top)\n", top, top == 1 ? "" : "s");
  PrintTree(lost, 1);

  if (args.Save.To.empty()) return 0;
  std::vector<TItem*> items;
  for (const TItemRow& row : ListFolder(lost)) items.push_back(row.Item);
  return SaveAndReport(ctx, drive.Device, items, args.Save, TSaveOptions{});
}

int RunFind(TCliContext& ctx, TLostDataArgs args) {
  // The image and the mask arrive as two positionals.
  if (ctx.Images.size() != 2) throw TCliError("usage: find IMAGE [--volume N] MASK");
  args.Mask = ctx.Images.back();
  ctx.Images.pop_back();
  ctx.DetectVolumes();
  TCustomDrive& drive = ctx.Volume(args.Volume);
  if (!PrepareVolume(drive, ctx.Status.get()))
    throw TCliError("volume " + std::to_string(args.Volume) + " could not be read");
  // Paths are given from the top of their tree, so that a hit can be handed to 'save'.
  for (const TItemRow& hit : FindItems(drive, PrepareFindMask(args.Mask))) {
    const char* tree = hit.Tree == TTreeKind::Deleted ? "Deleted" : hit.Tree == TTreeKind::Lost ? "Lost" : "Root";
    if (hit.Folder)
      std::printf("%s\t%s/\t\n", tree, hit.Path.c_str());
    else
      std::printf("%s\t%s\t%llu\n", tree, hit.Path.c_str(), static_cast<unsigned long long>(hit.Size));
  }
  return 0;
}

}  // namespace

void RegisterLostDataCommands(CLI::App& app, TCliContext& ctx) {
  static TLostDataArgs lostArgs;
  auto* lost = app.add_subcommand("lost-data", "search a volume's clusters for lost folders and files");
  AddImageOptions(*lost, ctx, true);
  lost->add_option("--volume", lostArgs.Volume, "index of the volume (see 'volumes'); default 0");
  lost->add_option("--first", lostArgs.First, "first cluster of the search (default: the first of the volume)");
  lost->add_option("--last", lostArgs.Last, "last cluster of the search (default: the last of the volume)");
  lost->add_flag("--no-files", lostArgs.NoFiles, "look for lost folders only, not for files by their content");
  lost->add_option("--to", lostArgs.Save.To, "save the whole Lost folder into this folder");
  lost->add_flag("--allow-examined-device", lostArgs.Save.AllowExaminedDevice,
                 "save even into a folder on the device being examined");
  lost->add_option("--fat", lostArgs.FAT,
                   "FAT volumes: the FAT that chains are followed in; 0 (default) reads clusters one after "
                   "another, the usual choice after a quick format");
  lost->callback([&ctx] { ctx.Action = [&ctx] { return RunLostData(ctx, lostArgs); }; });

  static TLostDataArgs findArgs;
  auto* find = app.add_subcommand("find", "search a volume's folders, deleted entries and Lost folder by name");
  AddImageOptions(*find, ctx, true);
  find->add_option("--volume", findArgs.Volume, "index of the volume (see 'volumes'); default 0");
  // IMAGE takes both positionals (image, then the name pattern with ? and *, case ignored).
  find->get_option("IMAGE")->expected(2)->description("the image, then the name pattern (? and *, case ignored)");
  find->callback([&ctx] { ctx.Action = [&ctx] { return RunFind(ctx, findArgs); }; });
}

}  // namespace salvex::cli
