#include <CLI/CLI.hpp>
#include <cstdio>
#include <functional>
#include <iostream>

#include "cli/Cli.h"
#include "common/TerminalText.h"
#include "cli/CliDfxml.h"
#include "cli/CliOutput.h"
#include "cli/CliSave.h"
#include "common/Options.h"
#include "devices/ClusterVolume.h"
#include "recovery/Browse.h"

namespace salvex::cli {

namespace {

struct TLostDataArgs {
  size_t Volume = 0;
  uint64_t First = 0;
  uint64_t Last = UINT64_MAX;
  bool NoFiles = false;
  TSaveArgs Save;
  std::string Fat = "none";
  std::vector<std::string> Mask;
  std::string Dfxml;  // find's; lost-data's is the save options'
};

// Every row below a folder, depth-first; bounds on depth and on entries (`budget`, counted down)
// keep a crafted tree finite.
void WalkRows(TCustomDirectory& folder, int depth, uint64_t& budget,
              const std::function<void(const TItemRow&)>& visit) {
  if (depth > 64) return;
  for (const TItemRow& row : ListFolder(folder)) {
    if (budget == 0) return;
    --budget;
    visit(row);
    if (row.Folder) WalkRows(*static_cast<TCustomDirectory*>(row.Item), depth + 1, budget, visit);
  }
}

int RunLostData(TCliContext& ctx, const TLostDataArgs& args) {
  ctx.DetectVolumes();
  TCustomDrive& drive = ctx.Volume(args.Volume);
  if (!drive.HasSpecialFolders())
    throw TCliError("volume " + std::to_string(args.Volume) + " (" + drive.FileSystemName() +
                    ") could not be read; 'salvex-cli lost-drives' searches for a copy of its boot sector");
  WarnOfMount(drive, args.Volume);
  if (drive.ChoosableFATs()) {
    const TReadChoice choice = ParseFat(args.Fat, drive);
    drive.SetFATChoice(choice.FATCopy < 0 ? 0 : choice.FATCopy);
  } else if (args.Fat != "none") {
    ParseFat(args.Fat, drive);  // explains that --fat is for FAT volumes
  }
  // A report that cannot be written is said before the search, not after it.
  if (!args.Save.Report.empty()) {
    if (args.Save.To.empty()) throw TCliUsageError("--report describes what is saved: give --to as well");
    CheckReportWritable(args.Save.Report);
  }
  // Without --to the rows found are what the DFXML file lists; with it, the files saved.
  std::unique_ptr<TDfxmlWriter> dfxml = args.Save.To.empty() ? OpenDfxml(args.Save.Dfxml, ctx) : nullptr;
  if (dfxml) dfxml->Volume(drive);
  Options().FindLostFiles = !args.NoFiles;
  ctx.Host.RangeFirst = args.First;
  ctx.Host.RangeLast = args.Last;
  ctx.Host.RangeGiven = true;
  drive.Progress = ctx.Status.get();
  // ext counts its allocation units as blocks, and also looks at the inodes of the range's groups.
  const bool ext = drive.FileSystemName().rfind("ext", 0) == 0;
  const std::string unit = ext ? "blocks" : "clusters";
  ctx.StatusView->Unit = unit;
  if (!drive.FindLostData(ctx.Status.get())) throw TCliError("the lost-data search did not run on this volume");
  if (ctx.Status->Cancelled) throw TCliError("the lost-data search was cancelled");

  TCustomDirectory& lost = *drive.LostFolder;
  nlohmann::json doc = Document("lost-data");
  doc["items"] = nlohmann::json::array();
  size_t count = 0;
  if (!ctx.Json) PrintRowHeader(drive);
  uint64_t budget = MaxWalkEntries(drive);
  WalkRows(lost, 0, budget, [&](TItemRow row) {
    ++count;
    ctx.MarkNeverRead(row);
    if (dfxml) dfxml->File(row);
    if (ctx.Json)
      doc["items"].push_back(ItemJson(row, drive, args.Volume));
    else
      PrintRow(row, true);
  });
  // A search that broke off (a damaged structure, memory refused) is an error, not an empty result.
  if (dfxml) dfxml->Finish();
  const std::string failure = drive.LastLostSearch.Failure;
  if (!failure.empty()) {
    if (ctx.Json) PrintJson(doc);
    throw TCliError("the lost-data search ended early: " + failure + "; " + std::to_string(count) +
                    " item(s) were found before");
  }
  // Files in two pieces are the fragmented photos of a card: worth saying how many came back whole.
  uint64_t reassembled = 0;
  if (lost.Children)
    for (const auto& item : *lost.Children)
      if (auto* file = item->AsFile(); file && file->GapBytes != 0) ++reassembled;
  doc["reassembled"] = reassembled;
  if (reassembled != 0 && !ctx.Json)
    std::cerr << "salvex-cli: " << reassembled << (reassembled == 1 ? " file" : " files")
              << " found in two pieces, put back together and checked\n";
  if (count == 0) {
    const bool whole = args.First == 0 && args.Last == UINT64_MAX;
    std::string searched = whole ? "the " + unit + " of the whole volume"
                                 : unit + " " + std::to_string(args.First) + " to " +
                                       (args.Last == UINT64_MAX ? std::string("the last") : std::to_string(args.Last));
    // A volume cut short by its device is searched only as far as the device goes.
    if (auto* cv = dynamic_cast<const TClusterVolume*>(&drive); whole && cv && cv->ClustersOnDevice < cv->ClusterCount)
      searched = "clusters 2 to " + std::to_string(uint64_t(cv->ClustersOnDevice) + 1) +
                 " (the device ends there; the volume claims " + std::to_string(cv->ClusterCount) + " clusters)";
    std::cerr << "salvex-cli: the search found no lost folders or files; it searched " << searched
              << " for former folders" << (args.NoFiles ? "" : " and for files by their content")
              << (ext ? ", and their groups' inodes for files no name reaches" : "") << ". Try "
              << (args.NoFiles ? "without --no-files, " : "") << (whole ? "" : "the whole volume (no --first/--last), ")
              << "'salvex-cli undelete' for deleted entries, or 'salvex-cli lost-drives' for volumes whose boot sector is gone\n";
  }

  if (args.Save.To.empty()) {
    if (ctx.Json) PrintJson(doc);
    return 0;
  }
  return SaveAndReport(ctx, drive, args.Volume, {&lost}, args.Save, TSaveOptions{}, doc, "there was nothing to save");
}

int RunFind(TCliContext& ctx, const TLostDataArgs& args) {
  TCustomDrive& drive = OpenVolume(ctx, args.Volume);
  const std::string mask = args.Mask.front();
  nlohmann::json doc = Document("find");
  doc["items"] = nlohmann::json::array();
  std::unique_ptr<TDfxmlWriter> dfxml = OpenDfxml(args.Dfxml, ctx);
  if (dfxml) dfxml->Volume(drive);
  // Paths are given from the top of their tree, so that a hit can be handed to 'save --tree'.
  bool bounded = false;
  // Each hit is printed as the walk meets it (its folder, and the byte runs read through it, may be
  // released after).
  StreamItems(
      drive, PrepareFindMask(mask),
      [&](const TItemRow& hit) {
        if (dfxml) dfxml->File(hit);
        TItemRow row = hit;
        TItemRow marked = hit;
        ctx.MarkNeverRead(marked);
        if (!marked.ConditionWhy.empty()) {
          row.Condition = TItemRow::TCondition::Poor;
          row.ConditionWhy = marked.ConditionWhy;
        }
        if (ctx.Json)
          doc["items"].push_back(ItemJson(row, drive, args.Volume));
        else if (row.Folder)
          std::printf("%s\t%s/\t\n", TreeName(row.Tree), TerminalSafe(row.Path).c_str());
        else
          std::printf("%s\t%s\t%llu\n", TreeName(row.Tree), TerminalSafe(row.Path).c_str(),
                      static_cast<unsigned long long>(row.Size));
        return true;
      },
      &bounded);
  if (dfxml) dfxml->Finish();
  if (ctx.Json) PrintJson(doc);
  if (bounded)
    throw TCliError("the search stopped after " + std::to_string(MaxWalkEntries(drive)) +
                    " entries, more than the volume can hold: its folders are damaged and repeat each other");
  return 0;
}

}  // namespace

void RegisterLostDataCommands(CLI::App& app, TCliContext& ctx) {
  static TLostDataArgs lostArgs;
  auto* lost = app.add_subcommand("lost-data", "search a volume's clusters for lost folders and files");
  AddImageOptions(*lost, ctx, true);
  AddVolumeOption(*lost, lostArgs.Volume);
  lost->add_option("--first", lostArgs.First, "first cluster of the search (default: the first of the volume)")
      ->check(WholeNumber("a cluster number"));
  lost->add_option("--last", lostArgs.Last, "last cluster of the search (default: the last of the volume)")
      ->check(WholeNumber("a cluster number"));
  lost->add_flag("--no-files", lostArgs.NoFiles, "look for lost folders only, not for files by their content");
  AddThreadsOption(*lost);
  AddFatOption(*lost, lostArgs.Fat);
  AddSaveOptions(*lost, lostArgs.Save, false);
  AddJsonOption(*lost, ctx);
  AddQuietOption(*lost, ctx);
  SetExample(*lost, "salvex-cli lost-data disk.img --volume 0 --to ./lost --report lost.json");
  lost->callback([&ctx] { ctx.Action = [&ctx] { return RunLostData(ctx, lostArgs); }; });

  static TLostDataArgs findArgs;
  auto* find = app.add_subcommand(
      "find", "search a volume's folders, deleted entries and Lost folder by name; prints tree, path and size");
  AddImageOptions(*find, ctx, true);
  if (auto* image = find->get_option_no_throw("IMAGE")) image->allow_extra_args(false);
  find->add_option("MASK", findArgs.Mask, "name pattern with ? and *, letter case ignored")->required()->expected(1);
  AddVolumeOption(*find, findArgs.Volume);
  AddJsonOption(*find, ctx);
  AddDfxmlOption(*find, findArgs.Dfxml);
  AddQuietOption(*find, ctx);
  SetExample(*find, "salvex-cli find disk.img --volume 0 '*.doc'   (then: salvex-cli save disk.img --tree TREE --to out PATH)");
  find->callback([&ctx] { ctx.Action = [&ctx] { return RunFind(ctx, findArgs); }; });
}

}  // namespace salvex::cli
