#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>

#include "cli/Cli.h"
#include "common/TerminalText.h"
#include "cli/CliDfxml.h"
#include "cli/CliOutput.h"
#include "cli/CliSave.h"
#include "common/AlignedBuffer.h"
#include "common/Helpers.h"
#include "disk/DeviceRegistry.h"
#include "recovery/Browse.h"
#include "recovery/SaveEngine.h"

// The commands that work on the files of one volume, through the plain calls of the recovery layer.

namespace salvex::cli {

namespace {

struct TVolumeArgs {
  size_t Volume = 0;
  bool Deleted = false;
  std::string Tree;
  std::string Path;
  bool Recursive = false;
  bool Bodyfile = false;
  std::string Fat;
  std::vector<std::string> Paths;
  std::string Mask = "*";
  std::string Dfxml;
  TSaveArgs Save;

  TTreeKind TreeKind() const {
    if (!Tree.empty()) {
      const TTreeKind t = ParseTree(Tree);
      if (Deleted && t != TTreeKind::Deleted) throw TCliUsageError("--deleted and --tree " + Tree + " contradict");
      return t;
    }
    return Deleted ? TTreeKind::Deleted : TTreeKind::Root;
  }
};

// The top folder of a tree; the Lost tree is filled by the lost-data search over the whole
// volume first.
TCustomDirectory& TreeTop(TCliContext& ctx, TCustomDrive& drive, TTreeKind tree) {
  TCustomDirectory* top = TopFolder(drive, tree);
  if (!top) throw TCliError("the volume has no " + std::string(TreeName(tree)) + " tree");
  // Built here rather than on first look, so that its search shows progress.
  if (tree == TTreeKind::Deleted) drive.LoadSpecialFolders(ctx.Status.get());
  if (tree == TTreeKind::Lost && !(top->Children && !top->Children->empty())) {
    ctx.StatusView->Unit = "clusters";
    if (!drive.FindLostData(ctx.Status.get())) throw TCliError("the lost-data search did not run on this volume");
  }
  return *top;
}

TItem& Resolve(TCliContext& ctx, TCustomDrive& drive, TTreeKind tree, const std::string& path) {
  TreeTop(ctx, drive, tree);
  auto found = ResolvePath(drive, tree, path);
  if (!found) {
    std::string hint = tree == TTreeKind::Root ? "; a deleted file is found with --deleted (or --tree deleted)" : "";
    throw TCliError("no '" + found.Error().What + "' in the " + TreeName(tree) + " tree of the volume: " +
                    found.Error().Why + hint + "; 'salvex-cli find' searches every tree by name");
  }
  return *found.Value();
}

int ListVolumes(TCliContext& ctx) {
  ctx.DetectVolumes();
  std::vector<size_t> all;
  for (size_t i = 0; i < ctx.Drives.Count(); ++i) all.push_back(i);
  if (ctx.Json) {
    nlohmann::json doc = Document("volumes");
    doc["volumes"] = nlohmann::json::array();
    for (size_t i : all) doc["volumes"].push_back(VolumeJson(ctx, i));
    PrintJson(doc);
  } else if (all.empty()) {
    std::printf("no volumes found\n");
  } else {
    PrintVolumeTable(ctx, all);
  }
  // A disk without a usable volume: its partition entries or boot sectors may be gone.
  for (size_t d = 0; d < ctx.Devices.Count(); ++d) {
    TDevice* device = ctx.Devices.Items(d);
    bool any = false;
    for (size_t i = 0; i < ctx.Drives.Count(); ++i)
      if (ctx.Drives.Items(i)->Device == device) any = true;
    if (!any)
      std::cerr << "salvex-cli: no usable volume on " << device->Name
                << "; 'salvex-cli lost-drives' searches it for volumes whose partition entry or boot sector is gone\n";
  }
  return 0;
}

int ListFolder(TCliContext& ctx, const TVolumeArgs& a) {
  TCustomDrive& drive = OpenVolume(ctx, a.Volume);
  const TTreeKind tree = a.TreeKind();
  auto* folder = Resolve(ctx, drive, tree, a.Path).AsFolder();
  if (!folder)
    throw TCliError("'" + a.Path + "' is a file, not a folder; 'salvex-cli cat' writes a file's bytes to stdout");
  const bool recursive = a.Recursive || a.Bodyfile;
  std::unique_ptr<TDfxmlWriter> dfxml = OpenDfxml(a.Dfxml, ctx);
  if (dfxml) dfxml->Volume(drive);
  nlohmann::json doc = Document("ls");
  doc["items"] = nlohmann::json::array();
  if (!ctx.Json && !a.Bodyfile) PrintRowHeader(drive);
  // Depth-first so that -r lists a folder's rows before its subfolders'. Bounded in entries as
  // well as depth: folders of a damaged volume that share clusters would repeat without end.
  uint64_t budget = MaxWalkEntries(drive);
  // A folder that cannot be read is said and fails the listing; it is not shown as empty.
  std::vector<TError> unreadable;
  std::function<void(TCustomDirectory&, int, bool)> walk = [&](TCustomDirectory& dir, int depth, bool deletedOnly) {
    std::vector<TCustomDirectory*> subfolders;
    std::optional<TError> failure;
    // A folder read only for this listing is released once its rows and subfolders are out, so
    // that a listing of millions of entries holds one path's folders, not the volume.
    const bool readHere = !dir.Children;
    std::vector<TItem*> items = ListFolderOrder(dir, &failure);
    if (failure) {
      std::cerr << "salvex-cli: " << TerminalSafe(failure->Text()) << "\n";
      unreadable.push_back(*failure);
    }
    for (TItem* item : items) {
      if (budget == 0) return;
      TItemRow row = RowOf(*item);
      ctx.MarkNeverRead(row);
      --budget;
      if (row.Folder) subfolders.push_back(static_cast<TCustomDirectory*>(row.Item));
      if (deletedOnly && !row.Deleted) continue;
      if (dfxml) dfxml->File(row);
      if (ctx.Json)
        doc["items"].push_back(ItemJson(row, drive, a.Volume));
      else if (a.Bodyfile)
        std::printf("%s\n", BodyLine(row).c_str());
      else
        PrintRow(row, recursive);
    }
    items.clear();
    items.shrink_to_fit();
    if (recursive && depth < 4096)
      for (TCustomDirectory* sub : subfolders) walk(*sub, depth + 1, deletedOnly);
    if (readHere && recursive) dir.Children.reset();
  };
  walk(*folder, 0, false);
  // A body file holds the deleted entries as well, as fls -m does.
  if (a.Bodyfile && tree == TTreeKind::Root && a.Path.empty() && drive.DeletedFolder)
    walk(*drive.DeletedFolder, 0, true);
  if (dfxml) dfxml->Finish();
  if (ctx.Json) {
    doc["failures"] = nlohmann::json::array();
    for (const TError& e : unreadable)
      doc["failures"].push_back({{"kind", "read-error"}, {"what", e.What}, {"reason", e.Why}});
    PrintJson(doc);
  }
  if (budget == 0)
    throw TCliError("the listing stopped after " + std::to_string(MaxWalkEntries(drive)) +
                    " entries, more than the volume can hold: its folders are damaged and repeat each other");
  if (!unreadable.empty()) {
    std::cerr << "salvex-cli: " << unreadable.size() << " folder(s) could not be read whole; "
              << "--on-read-error retry=N may read them\n";
    return 1;
  }
  return 0;
}

int Cat(TCliContext& ctx, const TVolumeArgs& a) {
  TCustomDrive& drive = OpenVolume(ctx, a.Volume);
  const TReadChoice choice = ParseFat(a.Fat, drive);
  const TTreeKind tree = a.TreeKind();
  auto* file = Resolve(ctx, drive, tree, a.Paths.front()).AsFile();
  if (!file) throw TCliError("'" + a.Paths.front() + "' is a folder; 'salvex-cli ls --path' lists it");
  ApplyReadErrorPolicy(ctx, a.Save);
  auto data = file->OpenData(choice);
  if (!data) throw TCliError("'" + a.Paths.front() + "' has no data on the volume");
  if (!data->Failure.empty()) throw TCliError("'" + a.Paths.front() + "': " + data->Failure);
  AlignedBuffer buffer(1 << 20);
  uint64_t left = data->Size();
  TStatusDialog& status = *ctx.Status;
  ctx.StatusView->Unit = "B";
  status.Setup("cat", ShownName(*file), "", "", "", true, true);
  status.Max = left;
  status.StepSize = 1;
  status.Show();
  while (left > 0) {
    const size_t n = data->Read(buffer.data(), size_t(std::min<uint64_t>(buffer.size(), left)));
    if (n == 0) break;
    for (size_t done = 0; done < n;) {
      const ssize_t w = ::write(STDOUT_FILENO, buffer.data() + done, n - done);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) throw TCliError(std::string("cannot write to standard output: ") + std::strerror(errno));
      done += size_t(w);
    }
    left -= n;
    status.StepBy(int64_t(n));
  }
  status.Hide();
  if (left > 0)
    throw TCliError("'" + a.Paths.front() + "': " + (data->Failure.empty() ? "the data ended early" : data->Failure) +
                    "; " + std::to_string(data->Size() - left) + " of " + std::to_string(data->Size()) +
                    " bytes were written");
  // Every byte was written, but not every byte is the file's: the same faults make a save partial.
  std::vector<std::string> faults;
  if (!data->Failure.empty()) faults.push_back(data->Failure + " (the missing bytes were written as zeros)");
  if (data->ZeroFilledSectors > 0)
    faults.push_back(std::to_string(data->ZeroFilledSectors) + " sector(s) could not be read and were written as zeros");
  if (!data->Damage.empty()) faults.push_back(data->Damage + "; those bytes were written as zeros");
  for (const std::string& fault : faults)
    std::cerr << "salvex-cli: '" << TerminalSafe(a.Paths.front()) << "': " << TerminalSafe(fault) << "\n";
  return faults.empty() ? 0 : 1;
}

int SavePaths(TCliContext& ctx, const TVolumeArgs& a) {
  TCustomDrive& drive = OpenVolume(ctx, a.Volume);
  const TTreeKind tree = a.TreeKind();
  TSaveOptions options;
  options.Read = ParseFat(a.Fat, drive);
  std::vector<TItem*> items;
  for (const auto& p : a.Paths) {
    // A tree's top folder is saved as its contents, not as a folder named after the tree.
    items.push_back(&Resolve(ctx, drive, tree, p));
  }
  nlohmann::json doc = Document("save");
  return SaveAndReport(ctx, drive, a.Volume, items, a.Save, options, doc, "the paths name only empty folders");
}

int Undelete(TCliContext& ctx, const TVolumeArgs& a) {
  TCustomDrive& drive = OpenVolume(ctx, a.Volume);
  TSaveOptions options;
  options.Read = ParseFat(a.Fat, drive);
  drive.LoadSpecialFolders(ctx.Status.get());
  std::vector<TItem*> items{drive.DeletedFolder.get()};
  const std::string mask = a.Mask;
  options.Filter = [mask](const TCustomFile& f) { return (f.Flags & ItemDeleted) && MatchMask(ShownName(f), mask); };
  nlohmann::json doc = Document("undelete");
  return SaveAndReport(ctx, drive, a.Volume, items, a.Save, options, doc,
                       mask == "*" ? "the volume has no deleted files"
                                   : "no deleted file matches '" + mask + "'");
}

void AddTreeOptions(CLI::App& cmd, TVolumeArgs& a, const std::string& what) {
  cmd.add_flag("--deleted", a.Deleted, what + " in the Deleted tree (deleted files, all folders); = --tree deleted");
  cmd.add_option("--tree", a.Tree, what + " in this tree: root (default), deleted, or lost (runs the lost-data search)");
}

}  // namespace

void RegisterVolumeCommands(CLI::App& app, TCliContext& ctx) {
  // Owned by the subcommands' callbacks, which live as long as the parser.
  auto argsPtr = std::make_shared<TVolumeArgs>();
  TVolumeArgs& args = *argsPtr;

  auto* volumes = app.add_subcommand("volumes", "list the volumes of the images: partitions and whole-image volumes");
  AddImageOptions(*volumes, ctx, false);
  AddLostSearchOptions(*volumes, ctx);
  AddJsonOption(*volumes, ctx);
  AddQuietOption(*volumes, ctx);
  SetExample(*volumes, "salvex-cli volumes disk.img --json");
  volumes->callback([&ctx, argsPtr] { ctx.Action = [&ctx] { return ListVolumes(ctx); }; });

  auto* ls = app.add_subcommand("ls", "list a folder's files and folders");
  AddImageOptions(*ls, ctx, true);
  AddLostSearchOptions(*ls, ctx);
  AddVolumeOption(*ls, args.Volume);
  AddTreeOptions(*ls, args, "list");
  auto* path =
      ls->add_option("--path", args.Path, "folder to list, '/' or '\\' between names, case ignored (default: the top)");
  // The folder may also follow the image, as the path does for cat and save.
  if (auto* image = ls->get_option_no_throw("IMAGE")) image->allow_extra_args(false);
  ls->add_option("FOLDER", args.Path, "the same as --path")->excludes(path);
  ls->add_flag("-r,--recursive", args.Recursive, "list the subfolders too, by their full paths");
  AddJsonOption(*ls, ctx);
  ls->add_flag("--bodyfile", args.Bodyfile,
               "print the whole tree (and the deleted entries) in the body format of The Sleuth Kit's mactime")
      ->excludes("--json");
  AddDfxmlOption(*ls, args.Dfxml);
  AddQuietOption(*ls, ctx);
  SetExample(*ls, "salvex-cli ls disk.img --volume 0 --deleted -r");
  ls->callback([&ctx, argsPtr] { ctx.Action = [&ctx, argsPtr] { return ListFolder(ctx, *argsPtr); }; });

  auto* cat = app.add_subcommand("cat", "write one file's bytes to standard output (deleted and lost files too)");
  AddImageOptions(*cat, ctx, true);
  AddLostSearchOptions(*cat, ctx);
  AddVolumeOption(*cat, args.Volume);
  AddTreeOptions(*cat, args, "the path is");
  AddFatOption(*cat, args.Fat);
  cat->add_option("--on-read-error", args.Save.OnReadError, "unreadable sectors: abort, ignore (write zeros) or retry=N");
  if (auto* image = cat->get_option_no_throw("IMAGE")) image->allow_extra_args(false);
  cat->add_option("PATH", args.Paths, "the file, '/' or '\\' between names, case ignored")->required()->expected(1);
  AddQuietOption(*cat, ctx);
  SetExample(*cat, "salvex-cli cat disk.img --volume 0 --deleted 'Work/report.doc' > report.doc");
  cat->callback([&ctx, argsPtr] { ctx.Action = [&ctx, argsPtr] { return Cat(ctx, *argsPtr); }; });

  auto* save = app.add_subcommand("save", "save files and folders by their paths ('/' = everything)");
  AddImageOptions(*save, ctx, true);
  AddLostSearchOptions(*save, ctx);
  AddVolumeOption(*save, args.Volume);
  AddTreeOptions(*save, args, "the paths are");
  AddFatOption(*save, args.Fat);
  AddSaveOptions(*save, args.Save, true);
  AddJsonOption(*save, ctx);
  AddQuietOption(*save, ctx);
  // The image takes one argument so that the paths after it are not swallowed.
  if (auto* image = save->get_option_no_throw("IMAGE")) image->allow_extra_args(false);
  save->add_option("PATH", args.Paths, "paths of files or folders to save ('/' or '\\' between names, case ignored)")
      ->required();
  SetExample(*save, "salvex-cli save disk.img --volume 0 --to ./out --report out.json 'Documents\\letter.txt'");
  save->callback([&ctx, argsPtr] { ctx.Action = [&ctx, argsPtr] { return SavePaths(ctx, *argsPtr); }; });

  auto* undelete = app.add_subcommand("undelete", "save every deleted file of the Deleted tree with its folder path");
  AddImageOptions(*undelete, ctx, true);
  AddLostSearchOptions(*undelete, ctx);
  AddVolumeOption(*undelete, args.Volume);
  undelete->add_option("--mask", args.Mask, "only names matching this mask (? and *, letter case ignored)");
  AddFatOption(*undelete, args.Fat);
  AddSaveOptions(*undelete, args.Save, true);
  AddJsonOption(*undelete, ctx);
  AddQuietOption(*undelete, ctx);
  SetExample(*undelete, "salvex-cli undelete disk.img --volume 0 --to ./out --mask '*.jpg' --report out.json");
  undelete->callback([&ctx, argsPtr] { ctx.Action = [&ctx, argsPtr] { return Undelete(ctx, *argsPtr); }; });
}

}  // namespace salvex::cli
