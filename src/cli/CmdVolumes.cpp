#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>

#include "cli/Cli.h"
#include "cli/MemoryViews.h"
#include "common/CodePage.h"
#include "common/Helpers.h"
#include "common/StringTable.h"
#include "fat/FATdrive.h"

// The commands that work on any volume by driving the model as the main window does: list columns
// from SetupListColumns, rows from FillListView and FillChildListItem, saving via SaveSelectedTo.

namespace salvex::cli {

namespace {

// The command line's answers for one save: the target folder, the FAT choice, and whether the
// rows come from the Deleted tree; everything else is the command line's host.
class TSaveHost : public THost {
 public:
  TSaveHost(TCliHost& inner, bool deleted, int fat) : inner_(inner), deleted_(deleted), fat_(fat) {}
  std::string Target;
  TMsgResult MessageBox(const std::string& text, const std::string& caption, TMsgButtons buttons,
                        TMsgIcon icon) override {
    return inner_.MessageBox(text, caption, buttons, icon);
  }
  void ProcessMessages() override { inner_.ProcessMessages(); }
  bool ConfirmTargetOnExaminedDevice(const std::string& folder) override {
    return inner_.ConfirmTargetOnExaminedDevice(folder);
  }
  bool AskSectorRange(uint64_t& first, uint64_t& last, uint64_t maximum) override {
    return inner_.AskSectorRange(first, last, maximum);
  }
  bool AskClusterRange(uint64_t& first, uint64_t& last, uint64_t minimum, uint64_t maximum) override {
    return inner_.AskClusterRange(first, last, minimum, maximum);
  }
  bool AskTargetFolder(std::string& folder) override {
    folder = Target;
    return !Target.empty();
  }
  bool AskSaveTarget(std::string& folder, const std::vector<std::string>& items, int& choice) override {
    if (fat_ >= 0 && size_t(fat_) < items.size()) choice = fat_;
    return AskTargetFolder(folder);
  }
  TFindDialog& FindDialog() override { return inner_.FindDialog(); }
  bool SelectedNodeIsDeleted() override { return deleted_; }
  std::string TypeName(const std::string& fileName) override { return inner_.TypeName(fileName); }

 private:
  TCliHost& inner_;
  bool deleted_;
  int fat_;  // -1: the preselection
};

struct TVolumeArgs {
  size_t Volume = 0;
  bool Deleted = false;
  std::string Path;
  bool Recursive = false;
  bool Json = false;
  std::string Fat;
  std::string To;
  std::vector<std::string> Paths;
  std::string Mask = "*";
  std::string Overwrite = "ask";
  std::string OnReadError = "abort";
};

// One path component as a Linux name (the same rule the file systems' savers apply).
std::string SafeComponent(std::string name) {
  for (char& c : name)
    if (c == '/' || c == '\0') c = '_';
  if (name.empty() || name == "." || name == "..") name = "_" + name;
  return name;
}

std::vector<std::string> SplitPath(const std::string& path) {
  std::vector<std::string> parts;
  std::string cur;
  for (char c : path) {
    if (c == '/' || c == '\\') {
      if (!cur.empty()) parts.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) parts.push_back(cur);
  return parts;
}

// Texts on one line for the tab-separated listing.
std::string Cell(std::string text) {
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20) c = '?';
  return text;
}

struct TOpenVolume {
  TCustomDrive* Drive = nullptr;
  TMemTree Tree;
  TMemList List;
  TCustomDirectory* Start = nullptr;
  bool Deleted = false;
};

void OpenVolume(TCliContext& ctx, const TVolumeArgs& a, TOpenVolume& v) {
  ctx.DetectVolumes();
  TCustomDrive& drive = ctx.Volume(a.Volume);
  if (!drive.HasSpecialFolders())
    throw TCliError("volume " + std::to_string(a.Volume) + " could not be mounted (see 'salvex-cli volumes')");
  drive.Progress = ctx.Status.get();
  v.Drive = &drive;
  v.Drive->ScanDrive(v.Tree, ctx.Status.get());
  v.Drive->SetupListColumns(v.List);
  v.Deleted = a.Deleted;
  v.Start = a.Deleted ? drive.DeletedFolder.get() : drive.RootFolder.get();
}

// The row of `folder`'s child that shows `caption`; -1 when none (kind: 1 folders only).
long FindRow(TOpenVolume& v, TCustomDirectory* folder, const std::string& caption, bool foldersOnly) {
  folder->FillListView(v.List, v.Deleted);
  for (size_t i = 0; i < v.List.Count; ++i) {
    TListItem item;
    folder->FillChildListItem(item, i);
    if (item.Caption != caption) continue;
    if (foldersOnly && !dynamic_cast<TCustomDirectory*>(item.Object)) continue;
    return long(i);
  }
  return -1;
}

TCustomDirectory* ResolveFolder(TOpenVolume& v, const std::vector<std::string>& parts, size_t count) {
  TCustomDirectory* folder = v.Start;
  std::string walked;
  for (size_t i = 0; i < count; ++i) {
    long row = FindRow(v, folder, parts[i], true);
    walked += "/" + parts[i];
    if (row < 0) throw TCliError("no folder '" + walked + "' in the " + (v.Deleted ? "Deleted" : "Root") + " tree");
    folder = dynamic_cast<TCustomDirectory*>((*folder->Children)[size_t(row)].get());
  }
  return folder;
}

void ApplyPolicies(TCliContext& ctx, const TVolumeArgs& a) {
  ctx.Host.Overwrite = a.Overwrite == "all" ? TOverwrite::All : a.Overwrite == "none" ? TOverwrite::None : TOverwrite::Ask;
  if (a.OnReadError == "ignore") {
    ctx.Host.OnReadError = TReadErrorPolicy::Ignore;
  } else if (a.OnReadError.rfind("retry=", 0) == 0) {
    ctx.Host.OnReadError = TReadErrorPolicy::Retry;
    try {
      ctx.Host.RetriesLeft = std::stoi(a.OnReadError.substr(6));
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

int ListFolder(TCliContext& ctx, const TVolumeArgs& a) {
  TOpenVolume v;
  OpenVolume(ctx, a, v);
  auto parts = SplitPath(a.Path);
  TCustomDirectory* folder = ResolveFolder(v, parts, parts.size());
  std::vector<std::string> captions;
  for (const auto& c : v.List.Columns) captions.push_back(c.Caption);
  nlohmann::json rows = nlohmann::json::array();
  if (!a.Json) {
    std::string header;
    for (size_t i = 0; i < captions.size(); ++i) header += (i ? "\t" : "") + captions[i];
    std::printf("%s\n", header.c_str());
  }
  // Depth-first so that -r lists a folder's rows before its subfolders'.
  std::function<void(TCustomDirectory*, const std::string&)> walk = [&](TCustomDirectory* dir,
                                                                        const std::string& prefix) {
    dir->FillListView(v.List, v.Deleted);
    std::vector<std::pair<TCustomDirectory*, std::string>> subfolders;
    for (size_t i = 0; i < v.List.Count; ++i) {
      TListItem item;
      dir->FillChildListItem(item, i);
      auto* sub = dynamic_cast<TCustomDirectory*>(item.Object);
      const std::string path = prefix + item.Caption;
      std::vector<std::string> cells{a.Recursive ? path : item.Caption};
      for (const auto& s : item.SubItems) cells.push_back(s);
      cells.resize(std::max(cells.size(), captions.size()));
      if (a.Json) {
        nlohmann::json row;
        for (size_t c = 0; c < captions.size(); ++c) row[captions[c]] = c == 0 ? item.Caption : cells[c];
        row["path"] = path;
        row["kind"] = sub ? "dir" : "file";
        rows.push_back(std::move(row));
      } else {
        std::string line;
        for (size_t c = 0; c < cells.size(); ++c) line += (c ? "\t" : "") + Cell(cells[c]);
        std::printf("%s\n", line.c_str());
      }
      if (sub) subfolders.emplace_back(sub, path + "/");
    }
    if (a.Recursive)
      for (auto& [sub, subPrefix] : subfolders) walk(sub, subPrefix);
  };
  std::string prefix;
  for (const auto& p : parts) prefix += p + "/";
  walk(folder, prefix);
  if (a.Json) std::printf("%s\n", rows.dump(2).c_str());
  return 0;
}

struct TSaveTotals {
  uint64_t Files = 0, Bytes = 0, Failures = 0;
  bool Cancelled = false;
  void Add(const TSaveStats& s) {
    Files += s.Files;
    Bytes += s.Bytes;
    Failures += s.Failures;
    Cancelled = Cancelled || s.Cancelled;
  }
};

// Saves the rows of `folder` that hold the given objects into `target`.
void SaveRows(TOpenVolume& v, TSaveHost& host, TCustomDirectory* folder, const std::vector<TItem*>& objects,
              const std::string& target, TSaveTotals& totals) {
  folder->FillListView(v.List, v.Deleted);
  v.List.Selected.clear();
  for (size_t i = 0; i < folder->Children->size(); ++i)
    for (TItem* o : objects)
      if ((*folder->Children)[i].get() == o) v.List.Selected.push_back(i);
  if (v.List.Selected.empty()) return;
  host.Target = target;
  v.Drive->SaveSelectedTo(v.List);
  totals.Add(v.Drive->LastSave);
}

int FinishSave(TCliContext& ctx, const TSaveTotals& t, int messagesBefore) {
  std::printf("saved: %llu files, %llu bytes, %llu failures\n", static_cast<unsigned long long>(t.Files),
              static_cast<unsigned long long>(t.Bytes), static_cast<unsigned long long>(t.Failures));
  if (t.Cancelled) std::fprintf(stderr, "salvex-cli: %s\n", LoadText(713).c_str());
  return (t.Failures > 0 || t.Cancelled || ctx.Host.Messages > messagesBefore) ? 1 : 0;
}

int ParseFat(const TVolumeArgs& a, TCustomDrive& drive) {
  if (a.Fat.empty()) return -1;
  if (a.Fat == "none") return 0;
  int k = 0;
  try {
    k = std::stoi(a.Fat);
  } catch (const std::exception&) {
    throw TCliError("--fat takes none, 1 or 2");
  }
  if (auto* fat = dynamic_cast<TFATdrive*>(&drive); fat && (k < 1 || uint32_t(k) > fat->NumberOfFATs))
    throw TCliError("--fat " + a.Fat + ": the volume has " + std::to_string(fat->NumberOfFATs) + " FAT(s)");
  return k;
}

std::string PrepareTarget(const std::string& to) {
  std::error_code ec;
  std::filesystem::create_directories(to, ec);
  if (!std::filesystem::is_directory(to)) throw TCliError("cannot use '" + to + "' as the target folder");
  return to.back() == '/' ? to : to + "/";
}

int SavePaths(TCliContext& ctx, const TVolumeArgs& a) {
  ApplyPolicies(ctx, a);
  TOpenVolume v;
  OpenVolume(ctx, a, v);
  const std::string target = PrepareTarget(a.To);
  // Group the objects by their folder, in the order given.
  std::vector<std::pair<TCustomDirectory*, std::vector<TItem*>>> groups;
  auto add = [&](TCustomDirectory* folder, TItem* object) {
    for (auto& g : groups)
      if (g.first == folder) {
        g.second.push_back(object);
        return;
      }
    groups.push_back({folder, {object}});
  };
  for (const auto& p : a.Paths) {
    auto parts = SplitPath(p);
    if (parts.empty()) {
      v.Start->FillListView(v.List, v.Deleted);
      for (auto& child : *v.Start->Children) add(v.Start, child.get());
      continue;
    }
    TCustomDirectory* folder = ResolveFolder(v, parts, parts.size() - 1);
    long row = FindRow(v, folder, parts.back(), false);
    if (row < 0) throw TCliError("no '" + p + "' in the " + (v.Deleted ? "Deleted" : "Root") + " tree");
    add(folder, (*folder->Children)[size_t(row)].get());
  }
  TSaveHost host(ctx.Host, a.Deleted, ParseFat(a, *v.Drive));
  ScopedHost scope(host);
  const int messagesBefore = ctx.Host.Messages;
  TSaveTotals totals;
  for (auto& [folder, objects] : groups) {
    SaveRows(v, host, folder, objects, target, totals);
    if (totals.Cancelled) break;
  }
  return FinishSave(ctx, totals, messagesBefore);
}

int Undelete(TCliContext& ctx, TVolumeArgs a) {
  ApplyPolicies(ctx, a);
  a.Deleted = true;
  TOpenVolume v;
  OpenVolume(ctx, a, v);
  const std::string target = PrepareTarget(a.To);
  TSaveHost host(ctx.Host, true, -1);
  ScopedHost scope(host);
  const int messagesBefore = ctx.Host.Messages;
  TSaveTotals totals;
  std::function<void(TCustomDirectory*, const std::string&)> walk = [&](TCustomDirectory* dir,
                                                                        const std::string& relative) {
    dir->FillListView(v.List, true);
    std::vector<TItem*> files;
    std::vector<std::pair<TCustomDirectory*, std::string>> subfolders;
    for (size_t i = 0; i < v.List.Count && !totals.Cancelled; ++i) {
      TListItem item;
      dir->FillChildListItem(item, i);
      if (auto* sub = dynamic_cast<TCustomDirectory*>(item.Object)) {
        subfolders.emplace_back(sub, relative + SafeComponent(item.Caption) + "/");
      } else if (auto* f = dynamic_cast<TCustomFile*>(item.Object);
                 f && (f->Flags & ItemDeleted) && MatchMask(item.Caption, a.Mask)) {
        files.push_back(f);
      }
    }
    if (!files.empty()) {
      std::error_code ec;
      std::filesystem::create_directories(target + relative, ec);
      SaveRows(v, host, dir, files, target + relative, totals);
    }
    for (auto& [sub, subRelative] : subfolders) {
      if (totals.Cancelled) break;
      walk(sub, subRelative);
    }
  };
  walk(v.Start, "");
  return FinishSave(ctx, totals, messagesBefore);
}

void AddVolumeOption(CLI::App& cmd, TVolumeArgs& a) {
  cmd.add_option("--volume", a.Volume, "volume index as listed by 'salvex-cli volumes'")->required();
}

void AddSaveOptions(CLI::App& cmd, TVolumeArgs& a) {
  cmd.add_option("--to", a.To, "target folder (created when missing)")->required();
  cmd.add_option("--overwrite", a.Overwrite,
                 "existing files: ask (on a terminal; otherwise keep), all, none; an existing folder that is "
                 "not to be overwritten ends the save")
      ->check(CLI::IsMember({"ask", "all", "none"}));
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

  auto* ls = app.add_subcommand("ls", "list a folder as the file list shows it");
  AddImageOptions(*ls, ctx, true);
  AddLostSearchOptions(*ls, ctx);
  AddVolumeOption(*ls, args);
  ls->add_flag("--deleted", args.Deleted, "list the Deleted tree (deleted files, all folders)");
  ls->add_option("--path", args.Path, "folder to list, by its shown names (default: the top)");
  ls->add_flag("-r,--recursive", args.Recursive, "list the subfolders too");
  ls->add_flag("--json", args.Json, "JSON array of rows keyed by the column captions, plus path and kind");
  ls->callback([&ctx, argsPtr] { ctx.Action = [&ctx, argsPtr] { return ListFolder(ctx, *argsPtr); }; });

  auto* save = app.add_subcommand("save", "save files and folders (by their shown paths; '/' = everything)");
  AddImageOptions(*save, ctx, true);
  AddLostSearchOptions(*save, ctx);
  AddVolumeOption(*save, args);
  save->add_flag("--deleted", args.Deleted, "the paths name rows of the Deleted tree");
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
