#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>
#include <vector>

#include "cli/Cli.h"
#include "common/CodePage.h"
#include "devices/PartitionTable.h"

namespace salvex::cli {

namespace {

const char* KindText(const TDevice& d) {
  if (d.Kind == KindLogical) return "drive";
  switch (d.DriveType) {
    case DriveFloppy: return "floppy";
    case DriveRemovable: return "removable";
    case DriveCDROM: return "cd-rom";
    default: return "disk";
  }
}

std::string NumberText(const TDevice& d) {
  char buf[16];
  if (d.Kind == KindLogical)
    std::snprintf(buf, sizeof buf, "%c:", char('A' + d.Number - 1));
  else
    std::snprintf(buf, sizeof buf, "0x%02X", d.Number);
  return buf;
}

int ListDevices(TCliContext& ctx) {
  ctx.OpenDevices();
  std::printf("%-3s %-40s %-9s %-6s %14s %6s\n", "#", "name", "kind", "number", "sectors", "bytes");
  for (size_t i = 0; i < ctx.Devices.Count(); ++i) {
    const TDevice& d = *ctx.Devices.Items(i);
    std::printf("%-3zu %-40s %-9s %-6s %14llu %6u\n", i, d.Name.c_str(), KindText(d), NumberText(d).c_str(),
                static_cast<unsigned long long>(d.TotalSectors), unsigned(d.BytesPerSector));
  }
  return 0;
}

const char* PartitionKindText(TPartitionKind k) {
  switch (k) {
    case TPartitionKind::FAT: return "FAT";
    case TPartitionKind::NTFS: return "NTFS";
    case TPartitionKind::Extended: return "extended";
    default: return "other";
  }
}

int ListPartitions(TCliContext& ctx) {
  ctx.OpenDevices();
  TDevice* disk = nullptr;
  for (size_t i = 0; i < ctx.Devices.Count(); ++i)
    if (ctx.Devices.Items(i)->Partitioned) {
      disk = ctx.Devices.Items(i);
      break;
    }
  if (!disk) throw TCliError("'" + ctx.Images.front() + "' holds no partition table (it is a single volume)");
  // The scheme is known only after the walk; rows are kept until then.
  std::vector<TPartitionEntry> rows;
  TPartitionWalk walk = WalkPartitionTables(*disk, [&rows](const TPartitionEntry& e) { rows.push_back(e); });
  if (walk.Scheme == TPartitionScheme::GPT) {
    std::printf("GPT, %u-byte sectors, header at sector %llu", unsigned(disk->BytesPerSector),
                static_cast<unsigned long long>(walk.GPTHeaderSector));
    if (walk.GPTBackupUsed) std::printf(" (backup header used: primary %s)", walk.GPTPrimaryFault.c_str());
    std::printf("\n%-5s %14s %14s %14s  %-20s %-36s %-36s %-6s %s\n", "entry", "start", "end", "sectors", "type",
                "type guid", "unique guid", "kind", "name");
    for (const auto& e : rows) {
      std::string type = GPTTypeName(e.TypeGuid);
      std::printf("%-5d %14llu %14llu %14llu  %-20s %-36s %-36s %-6s %s\n", e.Slot,
                  static_cast<unsigned long long>(e.FirstSector),
                  static_cast<unsigned long long>(e.FirstSector + e.SectorCount - 1),
                  static_cast<unsigned long long>(e.SectorCount), type.empty() ? "unknown" : type.c_str(),
                  GuidText(e.TypeGuid).c_str(), GuidText(e.UniqueGuid).c_str(), PartitionKindText(e.Kind),
                  e.Name.c_str());
    }
    return 0;
  }
  std::printf("%-6s %-5s %-5s %12s %12s %12s  %s\n", "table", "slot", "type", "start", "end", "sectors", "kind");
  for (const auto& e : rows) {
    unsigned long long end = e.SectorCount ? e.FirstSector + e.SectorCount - 1 : e.FirstSector;
    std::printf("%-6llu %-5d 0x%02X  %12llu %12llu %12llu  %s\n", static_cast<unsigned long long>(e.TableSector),
                e.Slot, unsigned(e.Type), static_cast<unsigned long long>(e.FirstSector), end,
                static_cast<unsigned long long>(e.SectorCount), PartitionKindText(e.Kind));
  }
  return 0;
}

}  // namespace

void RegisterDeviceCommands(CLI::App& app, TCliContext& ctx) {
  auto* devices = app.add_subcommand("devices", "list the devices: images given, else the machine's disks");
  AddImageOptions(*devices, ctx, false);
  devices->callback([&ctx] { ctx.Action = [&ctx] { return ListDevices(ctx); }; });

  auto* partitions = app.add_subcommand("partitions", "list the partition entries of a disk image: MBR with extended chains, or GPT");
  AddImageOptions(*partitions, ctx, true);
  partitions->callback([&ctx] { ctx.Action = [&ctx] { return ListPartitions(ctx); }; });
}

}  // namespace salvex::cli
