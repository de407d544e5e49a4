#include <CLI/CLI.hpp>
#include <cstdio>
#include <ctime>
#include <functional>
#include <nlohmann/json.hpp>

#include "cli/Cli.h"
#include "cli/CliSave.h"
#include "common/Helpers.h"
#include "common/StringTable.h"
#include "fat/FATdrive.h"
#include "recovery/Browse.h"

// The commands that work on the files of one volume, through the plain calls of the recovery layer.

namespace salvex::cli {

namespace {

struct TVolumeArgs {
  size_t Volume = 0;
  bool Deleted = false;
  std::string Path;
  bool Recursive = false;
  bool Json = false;
  std::string Fat;
  std::vector<std::string> Paths;
  std::string Mask = "*";
  std::string OnReadError = "abort";
  TSaveArgs Save;
};

// Texts on one line for the tab-separated listing.
std::string Cell(std::string text) {
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20) c = '?';
  return text;
}

std::string LocalTimeText(const std::optional<timespec>& t) {
  if (!t) return "";
  std::tm tm{};
  if (!localtime_r(&t->tv_sec, &tm)) return "";
  char text[64];
  std::snprintf(text, sizeof text, "%02d.%02d.%04d %02d:%02d", tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900,
                tm.tm_hour, tm.tm_min);
  return text;
}

std::string IsoTime(const std::optional<timespec>& t) {
  if (!t) return "";
  std::tm tm{};
  if (!gmtime_r(&t->tv_sec, &tm)) return "";
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

std::string ConditionText(const TItemRow& row) {
  switch (row.Condition) {
    case TItemRow::TCondition::Good: return LoadText(726);
    case TItemRow::TCondition::Poor: return LoadText(727);
    default: return "";
  }
}

TCustomDrive& OpenVolume(TCliContext& ctx, size_t index) {
  ctx.DetectVolumes();
  TCustomDrive& drive = ctx.Volume(index);
  drive.Progress = ctx.Status.get();
  auto prepared = PrepareVolume(drive, ctx.Status.get());
  if (!prepared)
    throw TCliError("volume " + std::to_string(index) + " could not be mounted (see 'salvex-cli volumes')");
  return drive;
}

TItem& Resolve(TCustomDrive& drive, TTreeKind tree, const std::string& path) {
  auto found = ResolvePath(drive, tree, path);
  if (!found)
    throw TCliError("no '" + found.Error().What + "' in the " + (tree == TTreeKind::Deleted ? "Deleted" : "Root") +
                    " tree: " + found.Error().Why);
  return *found.Value();
}

void ApplyReadErrorPolicy(TCliContext& ctx, const std::string& policy) {
  if (policy == "ignore") {
    ctx.Host.OnReadError = TReadErrorPolicy::Ignore;
  } else if (policy.rfind("retry=", 0) == 0) {
    ctx.Host.OnReadError = TReadErrorPolicy::Retry;
    try {
      ctx.Host.RetriesLeft = std::stoi(policy.substr(6));
    } catch (const std::exception&) {
      throw TCliError("--on-read-error retry=N needs a number");
    }
  } else {
    ctx.Host.OnReadError = TReadErrorPolicy::Abort;
  }
}

int ListVolumes(TCliContext& ctx) {
  ctx.DetectVolumes();
  std::vector<size_t> all;
  for (size_t i = 0; i < ctx.Drives.Count(); ++i) all.push_back(i);
  if (all.empty()) {
    std::printf("no volumes found\n");
    return 0;
  }
  PrintVolumeTable(ctx, all);
  return 0;
}

nlohmann::json RowJson(const TItemRow& row) {
  nlohmann::json j;
  j["name"] = row.Name;
  j["path"] = row.Path;
  j["kind"] = row.Folder ? "dir" : "file";
  if (!row.Folder) j["size"] = row.Size;
  j["modified"] = row.Modified ? nlohmann::json(IsoTime(row.Modified)) : nlohmann::json(nullptr);
  j["deleted"] = row.Deleted;
  if (row.Lost) j["lost"] = true;
  j["condition"] = row.Condition == TItemRow::TCondition::Good   ? nlohmann::json("good")
                   : row.Condition == TItemRow::TCondition::Poor ? nlohmann::json("poor")
                                                                 : nlohmann::json(nullptr);
  if (row.Location.Kind == TLocation::TKind::Cluster) j["cluster"] = row.Location.Value;
  if (row.Location.Kind == TLocation::TKind::Record) j["record"] = row.Location.Value;
  j["attributes"] = row.Attributes;
  return j;
}

int ListFolder(TCliContext& ctx, const TVolumeArgs& a) {
  TCustomDrive& drive = OpenVolume(ctx, a.Volume);
  const TTreeKind tree = a.Deleted ? TTreeKind::Deleted : TTreeKind::Root;
  auto* folder = dynamic_cast<TCustomDirectory*>(&Resolve(drive, tree, a.Path));
  if (!folder) throw TCliError("'" + a.Path + "' is a file, not a folder");
  const bool records = drive.FileSystemName() == "NTFS";
  nlohmann::json rows = nlohmann::json::array();
  if (!a.Json)
    std::printf("%s\t%s\t%s\t%s\t%s\t%s\n", LoadText(721).c_str(), LoadText(722).c_str(), LoadText(723).c_str(),
                records ? "MFT entry" : LoadText(724).c_str(), LoadText(725).c_str(), LoadText(728).c_str());
  // Depth-first so that -r lists a folder's rows before its subfolders'.
  std::function<void(TCustomDirectory&, int)> walk = [&](TCustomDirectory& dir, int depth) {
    std::vector<TCustomDirectory*> subfolders;
    for (const TItemRow& row : ListFolder(dir)) {
      if (a.Json) {
        rows.push_back(RowJson(row));
      } else {
        const std::string type = row.Folder ? std::string() : Host().TypeName(row.Name);
        std::printf("%s\t%s\t%s\t%s\t%s\t%s\n", Cell(a.Recursive ? row.Path : row.Name).c_str(),
                    row.Folder ? "" : std::to_string(row.Size).c_str(), LocalTimeText(row.Modified).c_str(),
                    row.Location.Kind == TLocation::TKind::None ? "" : std::to_string(row.Location.Value).c_str(),
                    ConditionText(row).c_str(), Cell(type).c_str());
      }
      if (row.Folder) subfolders.push_back(static_cast<TCustomDirectory*>(row.Item));
    }
    if (a.Recursive && depth < 4096)
      for (TCustomDirectory* sub : subfolders) walk(*sub, depth + 1);
  };
  walk(*folder, 0);
  if (a.Json) std::printf("%s\n", rows.dump(2).c_str());
  return 0;
}

TReadChoice ParseFat(const TVolumeArgs& a, TCustomDrive& drive) {
  TReadChoice choice;
  if (a.Fat.empty()) return choice;
  if (a.Fat == "none") {
    choice.FATCopy = 0;
    return choice;
  }
  int k = 0;
  try {
    k = std::stoi(a.Fat);
  } catch (const std::exception&) {
    throw TCliError("--fat takes none, 1 or 2");
  }
  // The read choice lists "no FAT" and then each FAT copy the volume has.
  const size_t copies = drive.ReadChoiceItems().size();
  if (copies == 0) throw TCliError("--fat applies to FAT and exFAT volumes only");
  if (k < 1 || size_t(k) >= copies)
    throw TCliError("--fat " + a.Fat + ": the volume has " + std::to_string(copies - 1) + " FAT(s)");
  choice.FATCopy = k;
  return choice;
}

int SavePaths(TCliContext& ctx, const TVolumeArgs& a) {
  ApplyReadErrorPolicy(ctx, a.OnReadError);
  TCustomDrive& drive = OpenVolume(ctx, a.Volume);
  const TTreeKind tree = a.Deleted ? TTreeKind::Deleted : TTreeKind::Root;
  TSaveOptions options;
  options.Read = ParseFat(a, drive);
  std::vector<TItem*> items;
  for (const auto& p : a.Paths) {
    TItem& item = Resolve(drive, tree, p);
    if (auto* top = dynamic_cast<TCustomDirectory*>(&item); top && !top->Parent) {
      // The whole tree: its contents, not a folder named after the tree.
      for (const TItemRow& row : ListFolder(*top)) items.push_back(row.Item);
    } else {
      items.push_back(&item);
    }
  }
  return SaveAndReport(ctx, drive.Device, items, a.Save, options);
}

int Undelete(TCliContext& ctx, const TVolumeArgs& a) {
  ApplyReadErrorPolicy(ctx, a.OnReadError);
  TCustomDrive& drive = OpenVolume(ctx, a.Volume);
  std::vector<TItem*> items;
  for (const TItemRow& row : ListFolder(*drive.DeletedFolder)) items.push_back(row.Item);
  TSaveOptions options;
  const std::string mask = a.Mask;
  options.Filter = [mask](const TCustomFile& f) { return (f.Flags & ItemDeleted) && MatchMask(ShownName(f), mask); };
  return SaveAndReport(ctx, drive.Device, items, a.Save, options);
}

void AddVolumeOption(CLI::App& cmd, TVolumeArgs& a) {
  cmd.add_option("--volume", a.Volume, "volume index as listed by 'salvex-cli volumes'")->required();
}

void AddSaveOptions(CLI::App& cmd, TVolumeArgs& a) {
  cmd.add_option("--to", a.Save.To, "target folder (created when missing)")->required();
  cmd.add_option("--overwrite", a.Save.Overwrite,
                 "existing files: ask (on a terminal; otherwise they are kept), all, none")
      ->check(CLI::IsMember({"ask", "all", "none"}));
  cmd.add_flag("--allow-examined-device", a.Save.AllowExaminedDevice,
               "save even into a folder on the device being examined");
  cmd.add_option("--on-read-error", a.OnReadError, "unreadable sectors: abort, ignore or retry=N")
      ->check([](const std::string& s) {
        if (s == "abort" || s == "ignore") return std::string();
        if (s.rfind("retry=", 0) == 0 && s.size() > 6 && s.find_first_not_of("0123456789", 6) == std::string::npos)
          return std::string();
        return std::string("expected abort, ignore or retry=N");
      });
}

}  // namespace

void RegisterVolumeCommands(CLI::App& app, TCliContext& ctx) {
  // Owned by the subcommands' callbacks, which live as long as the parser.
  auto argsPtr = std::make_shared<TVolumeArgs>();
  TVolumeArgs& args = *argsPtr;

  auto* volumes = app.add_subcommand("volumes", "list the volumes of the images: partitions and whole-image volumes");
  AddImageOptions(*volumes, ctx, false);
  AddLostSearchOptions(*volumes, ctx);
  volumes->callback([&ctx, argsPtr] { ctx.Action = [&ctx] { return ListVolumes(ctx); }; });

  auto* ls = app.add_subcommand("ls", "list a folder's files and folders");
  AddImageOptions(*ls, ctx, true);
  AddLostSearchOptions(*ls, ctx);
  AddVolumeOption(*ls, args);
  ls->add_flag("--deleted", args.Deleted, "list the Deleted tree (deleted files, all folders)");
  ls->add_option("--path", args.Path, "folder to list, '/' or '\\' between names, case ignored (default: the top)");
  ls->add_flag("-r,--recursive", args.Recursive, "list the subfolders too");
  ls->add_flag("--json", args.Json, "a JSON array of rows with typed values");
  ls->callback([&ctx, argsPtr] { ctx.Action = [&ctx, argsPtr] { return ListFolder(ctx, *argsPtr); }; });

  auto* save = app.add_subcommand("save", "save files and folders by their paths ('/' = everything)");
  AddImageOptions(*save, ctx, true);
  AddLostSearchOptions(*save, ctx);
  AddVolumeOption(*save, args);
  save->add_flag("--deleted", args.Deleted, "the paths name items of the Deleted tree");
  save->add_option("--fat", args.Fat, "FAT used to follow clusters: none (consecutive), 1 or 2");
  AddSaveOptions(*save, args);
  // The image takes one argument so that the paths after it are not swallowed.
  if (auto* image = save->get_option_no_throw("IMAGE")) image->allow_extra_args(false);
  save->add_option("PATH", args.Paths, "paths of files or folders to save")->required();
  save->callback([&ctx, argsPtr] { ctx.Action = [&ctx, argsPtr] { return SavePaths(ctx, *argsPtr); }; });

  auto* undelete = app.add_subcommand("undelete", "save every deleted file of the Deleted tree with its folder path");
  AddImageOptions(*undelete, ctx, true);
  AddLostSearchOptions(*undelete, ctx);
  AddVolumeOption(*undelete, args);
  undelete->add_option("--mask", args.Mask, "only names matching this mask (? and *, letter case ignored)");
  AddSaveOptions(*undelete, args);
  undelete->callback([&ctx, argsPtr] { ctx.Action = [&ctx, argsPtr] { return Undelete(ctx, *argsPtr); }; });
}

}  // namespace salvex::cli
