#include <CLI/CLI.hpp>
#include <cstdio>

#include "cli/Cli.h"
#include "cli/CliOutput.h"
#include "cli/CliSave.h"
#include "common/StringTable.h"
#include "common/TerminalText.h"
#include "salvex/StringIds.h"

namespace salvex::cli {

void PrintVolumeTable(TCliContext& ctx, const std::vector<size_t>& indices) {
  std::printf("%-3s %-36s %-7s %12s %12s %-6s %-5s %s\n", "#", "name", "device", "first", "sectors", "fs",
              "fat", "fats");
  for (size_t i : indices) {
    TCustomDrive& v = *ctx.Drives.Items(i);
    std::string name = TerminalSafe(v.Name.empty() ? LoadText(txt::NoVolumeLabel) : v.Name);
    int device = v.Device ? ctx.Devices.IndexOf(v.Device) : -1;
    std::string fatType = "-", fats = "-";
    if (const std::optional<uint32_t> copies = v.ChoosableFATs()) {
      const std::string fs = v.FileSystemName();
      fatType = fs == "FAT12" ? "12" : fs == "FAT16" ? "16" : fs == "FAT32" ? "32" : "?";
      fats = std::to_string(*copies);
    }
    std::printf("%-3zu %-36s %-7d %12llu %12llu %-6s %-5s %s\n", i, name.c_str(), device,
                static_cast<unsigned long long>(v.FirstSector), static_cast<unsigned long long>(v.SectorCount),
                v.FileSystemName().c_str(), fatType.c_str(), fats.c_str());
  }
}

namespace {

// Exit status: a search that stopped early fails; one that skipped unreadable regions fails only
// when it found nothing, since a volume there may be what the user looks for.
int FindLost(TCliContext& ctx) {
  ctx.SearchLost = false;  // DetectVolumes must not run it a second time
  ctx.DetectVolumes();
  ApplyReadErrorPolicy(ctx, ctx.LostOnReadError);
  size_t before = ctx.Drives.Count();
  ctx.StatusView->Unit = "sectors";
  ctx.SearchLostDrives();
  std::vector<size_t> found;
  for (size_t i = before; i < ctx.Drives.Count(); ++i) found.push_back(i);
  bool skipped = false, stopped = ctx.Status->Cancelled;
  for (const auto& search : ctx.LostSearches) {
    skipped = skipped || !search.Skipped.empty();
    stopped = stopped || search.Aborted || search.Cancelled;
  }
  const int status = stopped || (skipped && found.empty()) ? 1 : 0;
  for (const auto& search : ctx.LostSearches)
    if (const std::string gaps = LostSearchGaps(search); !gaps.empty())
      std::fprintf(stderr, "salvex-cli: lost-drive search: %s%s\n", gaps.c_str(),
                   found.empty() ? "; image the disk first (salvex-cli image) or try --on-read-error retry=N" : "");
  if (ctx.Json) {
    nlohmann::json doc = Document("lost-drives");
    doc["volumes"] = nlohmann::json::array();
    for (size_t i : found) doc["volumes"].push_back(VolumeJson(ctx, i));
    doc["unreadable"] = nlohmann::json::array();
    for (size_t d = 0; d < ctx.LostSearches.size(); ++d) {
      const TLostDriveSearch& search = ctx.LostSearches[d];
      for (const auto& r : search.Skipped)
        doc["unreadable"].push_back({{"device", d}, {"first_sector", r.First}, {"last_sector", r.Last}});
      if (search.Aborted || search.Cancelled) doc["search_stopped_at"] = search.StoppedAt;
    }
    PrintJson(doc);
    return status;
  }
  if (found.empty())
    std::printf("no lost volumes found\n");
  else
    PrintVolumeTable(ctx, found);
  return status;
}

}  // namespace

void RegisterLostDriveCommands(CLI::App& app, TCliContext& ctx) {
  auto* lost = app.add_subcommand(
      "lost-drives",
      "search a disk sector by sector for volumes whose partition entry or boot sector is gone; "
      "other commands reach them with --search-lost and the same --first/--last");
  AddImageOptions(*lost, ctx, true);
  lost->add_option("--first", ctx.LostFirst, "first sector to search (default 0)")->check(WholeNumber("a sector number"));
  AddThreadsOption(*lost);
  lost->add_option("--last", ctx.LostLast, "last sector to search (default: the last of the disk)")
      ->check(WholeNumber("a sector number"));
  lost->add_option("--on-read-error", ctx.LostOnReadError,
                   "unreadable regions: ignore (skip them, said once each, and search on; the default), "
                   "abort (stop the search there) or retry=N")
      ->check(ReadErrorPolicyValidator());
  AddJsonOption(*lost, ctx);
  AddQuietOption(*lost, ctx);
  SetExample(*lost, "salvex-cli lost-drives disk.img --first 0 --last 409599");
  lost->callback([&ctx] { ctx.Action = [&ctx] { return FindLost(ctx); }; });
}

}  // namespace salvex::cli
