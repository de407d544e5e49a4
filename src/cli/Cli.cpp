#include "cli/Cli.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <iostream>

#include "devices/LostDrives.h"
#include "disk/DeviceRegistry.h"
#include "disk/LogicalDrive.h"
#include "disk/PhysicalDisk.h"
#include "exfat/ExFATdrive.h"
#include "fat/FATAnalyser.h"
#include "fat/FATdrive.h"
#include "ntfs/NTFSdrive.h"

namespace salvex::cli {

void TCliContext::OpenDevices() {
  if (Opened) return;
  Opened = true;
  auto& registry = TDeviceRegistry::Instance();
  registry.Clear();
  TImageKind kind = ForceKind == "disk"     ? TImageKind::Disk
                    : ForceKind == "drive"  ? TImageKind::Drive
                    : ForceKind == "floppy" ? TImageKind::Floppy
                                            : TImageKind::Auto;
  for (const auto& image : Images) {
    try {
      registry.AddImage(image, kind);
    } catch (const std::exception& e) {
      throw TCliError(e.what());
    }
  }
  if (Images.empty() || SystemDisks) registry.AddSystemDisks();
  Devices.DetectDevices(nullptr);
  if (Devices.Count() == 0)
    throw TCliError(Images.empty() ? "no readable disks found (give an image, or run with the rights to read /dev)"
                                   : "no readable device among the images given");
}

void TCliContext::DetectVolumes() {
  if (VolumesDetected) return;
  VolumesDetected = true;
  OpenDevices();
  for (size_t i = 0; i < Devices.Count(); ++i) {
    TDevice* d = Devices.Items(i);
    if (d->DriveType != DriveCDROM) Drives.DetectDrives(*d);
  }
  if (SearchLost) SearchLostDrives();
}

void TCliContext::SearchLostDrives() {
  // Long scans read ahead through the block cache.
  blockcache::SetEnabled(true);
  for (size_t i = 0; i < Devices.Count(); ++i) {
    TDevice* d = Devices.Items(i);
    if (d->DriveType == DriveCDROM || d->TotalSectors == 0) continue;
    uint64_t last = LostLast < d->TotalSectors ? LostLast : d->TotalSectors - 1;
    if (LostFirst > last) continue;
    FindLostDrives(*d, LostFirst, last, Drives, *Status);
    if (Status->Cancelled) break;
  }
}

void AddLostSearchOptions(CLI::App& command, TCliContext& ctx) {
  command.add_flag("--search-lost", ctx.SearchLost,
                   "run the lost-drive search first, so that --volume can name a volume it finds");
  command.add_option("--first", ctx.LostFirst, "first sector of the lost-drive search (default 0)");
  command.add_option("--last", ctx.LostLast, "last sector of the lost-drive search (default: the last of the disk)");
}

TCustomDrive& TCliContext::Volume(size_t n) {
  if (n >= Drives.Count())
    throw TCliError("no volume " + std::to_string(n) + " (the images hold " + std::to_string(Drives.Count()) +
                    " volume" + (Drives.Count() == 1 ? "" : "s") + "; see 'salvex-cli volumes')");
  return *Drives.Items(n);
}

void AddImageOptions(CLI::App& command, TCliContext& ctx, bool oneImage) {
  auto* images = command.add_option("IMAGE", ctx.Images, oneImage ? "disk or volume image" : "disk or volume images");
  if (oneImage) images->required()->expected(1);
  command.add_flag("--system-disks", ctx.SystemDisks, "also use the machine's own readable disks");
  command.add_option("--as", ctx.ForceKind, "treat the images as whole disks, single volumes or floppies")
      ->check(CLI::IsMember({"disk", "drive", "floppy"}));
}

int RunCli(int argc, char** argv) {
  TCliContext ctx;
  ctx.Host.Interactive = isatty(STDIN_FILENO) && isatty(STDERR_FILENO);
  ctx.StatusView = std::make_unique<TCliStatusView>(isatty(STDERR_FILENO));
  ctx.Status = std::make_unique<TStatusDialog>(ctx.StatusView.get());
  ScopedHost hostScope(ctx.Host);
  TVolumeFactory volumeFactory;
  volumeFactory.NewFAT = NewFATDrive;
  volumeFactory.NewNTFS = NewNTFSDrive;
  volumeFactory.NewExFAT = NewExFATDrive;
  volumeFactory.NewAnalyser = NewFATAnalyser;
  SetVolumeFactory(volumeFactory);

  CLI::App app{"Salvex: find and save deleted and lost files on FAT and NTFS disks and images (read-only)",
               "salvex-cli"};
  app.set_version_flag("--version", std::string("salvex-cli ") + SALVEX_VERSION);
  app.require_subcommand(1);
  RegisterDeviceCommands(app, ctx);
  RegisterLostDataCommands(app, ctx);
  RegisterLostDriveCommands(app, ctx);
  RegisterVolumeCommands(app, ctx);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int status = app.exit(e);
    return status == 0 ? 0 : 2;
  }
  try {
    int status = ctx.Action ? ctx.Action() : 0;
    ClosePhysicalDrive();
    CloseLogicalDrive();
    return status;
  } catch (const TCliError& e) {
    std::cerr << "salvex-cli: " << e.what() << "\n";
  } catch (const std::exception& e) {
    std::cerr << "salvex-cli: error: " << e.what() << "\n";
  }
  return 1;
}

}  // namespace salvex::cli
