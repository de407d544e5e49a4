#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <filesystem>
#include <iostream>

#include "cli/Cli.h"
#include "common/TerminalText.h"
#include "mount/FuseMount.h"
#include "mount/MountTree.h"
#include "recovery/Browse.h"
#include "recovery/SaveNames.h"

// salvex-cli mount: the volumes' trees as a read-only file system any program can read.

namespace salvex::cli {

namespace {

struct TMountArgs {
  std::string MountPoint;
  std::optional<size_t> Volume;
  bool Foreground = false;
};

// The volumes to show and their folders: one volume given, or a single-volume image, fills the top
// folder with its trees; a disk gets a folder per volume.
std::vector<TMountTree::TVolume> MountVolumes(TCliContext& ctx, const TMountArgs& args) {
  std::vector<TMountTree::TVolume> volumes;
  if (args.Volume) {
    volumes.push_back({&OpenVolume(ctx, *args.Volume), ""});
    return volumes;
  }
  ctx.DetectVolumes();
  const bool disk = ctx.Drives.Count() != 1 || !ctx.Drives.Items(0)->Device ||
                    ctx.Drives.Items(0)->Device->Kind == KindPhysical;
  for (size_t i = 0; i < ctx.Drives.Count(); ++i) {
    TCustomDrive& drive = *ctx.Drives.Items(i);
    drive.Progress = ctx.Status.get();
    if (!PrepareVolume(drive, ctx.Status.get())) {
      std::cerr << "salvex-cli: volume " << i << " (" << drive.FileSystemName()
                << ") could not be mounted and is left out; 'salvex-cli lost-drives' searches for a copy of its boot sector\n";
      continue;
    }
    WarnOfMount(drive, i);
    volumes.push_back({&drive, disk ? SafeSaveName("volume-" + std::to_string(i) + "-" + drive.FileSystemName()) : ""});
  }
  if (volumes.empty()) throw TCliError("no volume of the image could be mounted; 'salvex-cli volumes' lists what was found");
  return volumes;
}

int RunMount(TCliContext& ctx, const TMountArgs& args) {
  struct stat st {};
  if (::stat(args.MountPoint.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    throw TCliError("the mount point '" + args.MountPoint + "' is not a folder; make an empty folder first");
  if (!FuseAvailable())
    throw TCliError("this salvex-cli was built without FUSE; install libfuse3-dev and build again");
  // Going to the background changes the working folder: the image is found by its full path.
  for (std::string& image : ctx.Images) image = std::filesystem::absolute(image).string();
  // A read error inside a request never waits for an answer at the terminal: the sectors come
  // back as zeros, counted, and the read fails with EIO.
  ctx.Host.Interactive = false;
  std::vector<TMountTree::TVolume> volumes = MountVolumes(ctx, args);
  // The lost-data search over each whole volume, the first time its Lost folder is entered.
  ctx.Host.RangeFirst = 0;
  ctx.Host.RangeLast = UINT64_MAX;
  ctx.Host.RangeGiven = true;
  auto findLost = [&ctx](TCustomDrive& drive) {
    std::cerr << "salvex-cli: searching " << TerminalSafe(drive.Name) << " for lost folders and files...\n";
    ctx.StatusView->Unit = "clusters";
    if (!drive.FindLostData(ctx.Status.get()))
      std::cerr << "salvex-cli: the lost-data search did not run on this volume\n";
    else if (!drive.LastLostSearch.Failure.empty())
      std::cerr << "salvex-cli: the lost-data search ended early: " << TerminalSafe(drive.LastLostSearch.Failure) << "\n";
    const size_t found = drive.LostFolder && drive.LostFolder->Children ? drive.LostFolder->Children->size() : 0;
    std::cerr << "salvex-cli: the lost-data search found " << found << " folder(s) and file(s)\n";
  };
  TMountTree tree(std::move(volumes), findLost);
  TFuseMountOptions options;
  options.MountPoint = args.MountPoint;
  options.Source = "salvex:" + ctx.Images.front();
  options.Foreground = args.Foreground;
  std::string error;
  if (!ServeMount(tree, options, error)) throw TCliError(error);
  return 0;
}

}  // namespace

void RegisterMountCommand(CLI::App& app, TCliContext& ctx) {
  auto args = std::make_shared<TMountArgs>();
  auto* mount = app.add_subcommand(
      "mount", "show the volumes' Root, Deleted and Lost trees as a read-only file system (FUSE)");
  AddImageOptions(*mount, ctx, true);
  if (auto* image = mount->get_option_no_throw("IMAGE")) image->allow_extra_args(false);
  mount->add_option("MOUNTPOINT", args->MountPoint, "an empty folder to show the trees in")->required();
  AddLostSearchOptions(*mount, ctx);
  mount->add_option("--volume", args->Volume, "show this volume only (default: every volume, a folder each on a disk)")
      ->check(WholeNumber("a volume index (0, 1, ... as 'salvex-cli volumes' lists them)"));
  mount->add_flag("-f,--foreground", args->Foreground,
                  "stay in the foreground until unmounted or interrupted (without it, the command returns once "
                  "mounted and later messages, such as the lost-data search's progress, still go to this stderr)");
  SetExample(*mount, "salvex-cli mount disk.img /mnt/salvex -f   (then: fusermount3 -u /mnt/salvex)");
  mount->callback([&ctx, args] { ctx.Action = [&ctx, args] { return RunMount(ctx, *args); }; });
}

}  // namespace salvex::cli
