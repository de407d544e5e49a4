#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <iostream>

#include "cli/Cli.h"
#include "cli/CliOutput.h"
#include "cli/CliSave.h"
#include "common/TerminalText.h"
#include "disk/MappedRawIO.h"
#include "disk/RescueMap.h"
#include "recovery/Browse.h"
#include "recovery/NeverRead.h"

// map-files: which files an imaging run left incomplete, by the map it wrote.

namespace salvex::cli {

namespace {

struct TMapFilesArgs {
  bool NoLost = false;
};

struct THit {
  size_t Volume;
  TCustomDrive* Drive;
  TItemRow Row;  // its Item may be released once the walk is over: only the row's data is used
  TNeverRead Unread;
};

// Adds [pos, pos + size) to the ranges of `unread` (kept sorted and merged) and its byte count.
void AddUnread(TNeverRead& unread, uint64_t pos, uint64_t size) {
  std::vector<TNeverRead::TRange>& ranges = unread.Ranges;
  ranges.push_back({pos, size});
  std::sort(ranges.begin(), ranges.end(), [](const auto& x, const auto& y) { return x.Pos < y.Pos; });
  std::vector<TNeverRead::TRange> merged;
  for (const TNeverRead::TRange& r : ranges) {
    if (!merged.empty() && r.Pos <= merged.back().End())
      merged.back().Size = std::max(merged.back().End(), r.End()) - merged.back().Pos;
    else
      merged.push_back(r);
  }
  ranges = std::move(merged);
  unread.Bytes = 0;
  for (const TNeverRead::TRange& r : ranges) unread.Bytes += r.Size;
}

// A folder's entries are read between its row and the walk's next row: the reads the map refused
// in between are the folder's. Folders have no byte runs to check, so this is how they are named.
struct TFolderWatch {
  bool Active = false;
  THit Hit{};
  void Start(size_t volume, TCustomDrive* drive, const TItemRow& row) {
    Active = true;
    Hit = {volume, drive, row, {}};
  }
  void Finish(std::vector<THit>& folders) {
    if (Active && Hit.Unread.Bytes > 0) folders.push_back(std::move(Hit));
    Active = false;
  }
};

int RunMapFiles(TCliContext& ctx, const TMapFilesArgs& a) {
  if (ctx.Map.empty()) throw TCliUsageError("map-files needs the image's rescue map: --map MAPFILE");
  // The unread sectors are known; each would otherwise stop the lost-data search with a question.
  ApplyReadErrorPolicy(ctx, "ignore");
  ctx.Host.QuietIgnoredReads = true;
  ctx.DetectVolumes();
  std::vector<THit> hits, folders;
  uint64_t checked = 0, unknown = 0;
  TFolderWatch watch;
  if (ctx.MappedIO)
    ctx.MappedIO->OnRefusal = [&watch](const TMappedRawIO::TRefusal& r) {
      if (!watch.Active || !r.Map) return;
      for (const TRescueBlock& b : r.Map->Unrescued(r.Offset, r.Length)) AddUnread(watch.Hit.Unread, b.Pos, b.Size);
    };
  std::vector<std::string> skipped;
  for (size_t v = 0; v < ctx.Drives.Count(); ++v) {
    TCustomDrive& drive = *ctx.Drives.Items(v);
    const TRescueMap* map = ctx.MapOf(drive);
    if (!map) continue;
    drive.Progress = ctx.Status.get();
    auto prepared = PrepareVolume(drive, ctx.Status.get());
    if (!prepared) {
      skipped.push_back("volume " + std::to_string(v) + " (" + drive.FileSystemName() +
                        ") could not be mounted: " + prepared.Error().Why);
      continue;
    }
    WarnOfMount(drive, v);
    if (!a.NoLost && drive.LostFolder && !(drive.LostFolder->Children && !drive.LostFolder->Children->empty())) {
      ctx.StatusView->Unit = "clusters";
      drive.FindLostData(ctx.Status.get());
    }
    bool bounded = false;
    if (drive.RootFolder && !drive.RootFolder->Children) {
      TItemRow root = RowOf(*drive.RootFolder);
      root.Path.clear();
      root.Tree = TTreeKind::Root;
      watch.Start(v, &drive, root);
      LoadFolder(*drive.RootFolder);
      watch.Finish(folders);
    }
    // Checked while the walk holds the file's folder: it may be released after.
    FindItems(drive, "*", [&](const TItemRow& row) {
      watch.Finish(folders);
      if (row.Folder) watch.Start(v, &drive, row);
      auto* file = AsFile(row.Item);
      if (!file) return true;
      ++checked;
      TNeverRead unread = NeverReadOf(*file, TReadChoice{}, *map);
      if (!unread.Known) ++unknown;
      if (unread.Bytes > 0) hits.push_back({v, &drive, row, std::move(unread)});
      return true;
    }, &bounded);
    watch.Finish(folders);
    if (bounded)
      skipped.push_back("volume " + std::to_string(v) + ": the walk stopped at " +
                        std::to_string(MaxWalkEntries(drive)) + " entries; its folders are damaged");
  }

  const TRescueMap* anyMap = ctx.Drives.Count() ? ctx.MapOf(*ctx.Drives.Items(0)) : nullptr;
  uint64_t unreadTotal = 0;
  if (anyMap)
    for (const TRescueBlock& b : anyMap->Blocks())
      if (b.Status != RescueFinished) unreadTotal += b.Size;
  uint64_t unreadOfFiles = 0;
  for (const THit& h : hits) unreadOfFiles += h.Unread.Bytes;

  if (ctx.Json) {
    nlohmann::json doc = Document("map-files");
    auto unreadJson = [](const THit& h, const std::string& prefix) {
      const uint32_t ss = h.Drive->Device ? h.Drive->Device->BytesPerSector : 512;
      nlohmann::json j = ItemJson(h.Row, *h.Drive, h.Volume);
      j["condition"] = "poor";
      j["unread_bytes"] = h.Unread.Bytes;
      j["reason"] = prefix + NeverReadReason(h.Unread, ss);
      j["unread_sectors"] = nlohmann::json::array();
      for (const TNeverRead::TRange& r : h.Unread.Ranges)
        j["unread_sectors"].push_back({{"first_sector", r.Pos / ss}, {"last_sector", (r.End() - 1) / ss}});
      return j;
    };
    doc["files"] = nlohmann::json::array();
    for (const THit& h : hits) doc["files"].push_back(unreadJson(h, ""));
    doc["folders"] = nlohmann::json::array();
    for (const THit& h : folders) doc["folders"].push_back(unreadJson(h, "its entries lie on unread sectors: "));
    doc["map_unread_bytes"] = unreadTotal;
    doc["files_checked"] = checked;
    doc["files_unchecked"] = unknown;
    PrintJson(doc);
  } else {
    for (const THit& h : hits) {
      const uint32_t ss = h.Drive->Device ? h.Drive->Device->BytesPerSector : 512;
      std::printf("%zu\t%s\t%s\t%llu\t%s\n", h.Volume, TreeName(h.Row.Tree), TerminalSafe(h.Row.Path).c_str(),
                  static_cast<unsigned long long>(h.Unread.Bytes), NeverReadReason(h.Unread, ss).c_str());
    }
    for (const THit& h : folders) {
      const uint32_t ss = h.Drive->Device ? h.Drive->Device->BytesPerSector : 512;
      std::printf("%zu\t%s\t%s/\t%llu\tfolder: its entries lie on unread sectors, entries may be missing: %s\n", h.Volume,
                  TreeName(h.Row.Tree), TerminalSafe(h.Row.Path).c_str(), static_cast<unsigned long long>(h.Unread.Bytes),
                  NeverReadReason(h.Unread, ss).c_str());
    }
  }
  for (const std::string& s : skipped) std::cerr << "salvex-cli: " << TerminalSafe(s) << "\n";
  if (!ctx.Quiet || !ctx.Json)
    std::cerr << "salvex-cli: " << hits.size() << " of " << checked << " files touch sectors the map marks unread ("
              << unreadOfFiles << " of their bytes; " << unreadTotal << " bytes of the disk are unread)"
              << (folders.empty() ? "" : "; " + std::to_string(folders.size()) + " folder(s) have entries on unread sectors")
              << "\n";
  if (unknown > 0)
    std::cerr << "salvex-cli: " << unknown << " file(s) could not be checked: their file system does not say where "
              << "all their data lies (data inside its record, compressed, or a chain that ends early); saving reports "
              << "any of their sectors that cannot be read\n";
  if (ctx.MappedIO) ctx.MappedIO->OnRefusal = nullptr;
  return skipped.empty() ? 0 : 1;
}

}  // namespace

void RegisterMapFilesCommand(CLI::App& app, TCliContext& ctx) {
  auto args = std::make_shared<TMapFilesArgs>();
  auto* cmd = app.add_subcommand(
      "map-files",
      "list every file (live, deleted, lost) whose data lies on sectors a rescue map marks unread, with the bytes "
      "missing");
  AddImageOptions(*cmd, ctx, true);
  cmd->add_flag("--no-lost", args->NoLost, "leave out the lost-data search (lost files are not checked)");
  AddJsonOption(*cmd, ctx);
  AddQuietOption(*cmd, ctx);
  SetExample(*cmd, "salvex-cli map-files disk.img --map disk.map");
  cmd->callback([&ctx, args] { ctx.Action = [&ctx, args] { return RunMapFiles(ctx, *args); }; });
}

}  // namespace salvex::cli
