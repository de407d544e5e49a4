#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <vector>

#include "cli/Cli.h"
#include "cli/CliOutput.h"
#include "common/TerminalText.h"
#include "disk/DeviceRegistry.h"
#include "devices/FileSystemRegistry.h"
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

// The image file or block device a device reads.
std::string PathOf(const TDevice& d) {
  const auto& registry = TDeviceRegistry::Instance();
  const TRegisteredDevice* r = d.Kind == KindLogical ? registry.FindLogical(d.Number) : registry.FindPhysical(d.Number);
  return r ? r->Path : std::string();
}

// A block device's model from sysfs ("" for images and devices without one).
std::string ModelOf(const std::string& path) {
  if (path.rfind("/dev/", 0) != 0) return "";
  std::ifstream in("/sys/class/block/" + path.substr(5) + "/device/model");
  std::string model;
  std::getline(in, model);
  while (!model.empty() && model.back() == ' ') model.pop_back();
  return model;
}

int ListDevices(TCliContext& ctx) {
  ctx.OpenDevices();
  nlohmann::json doc = Document("devices");
  doc["devices"] = nlohmann::json::array();
  if (!ctx.Json)
    std::printf("%-3s %-24s %-9s %-6s %14s %6s %14s  %s\n", "#", "name", "kind", "number", "sectors", "bytes",
                "size", "path");
  for (size_t i = 0; i < ctx.Devices.Count(); ++i) {
    const TDevice& d = *ctx.Devices.Items(i);
    const std::string path = PathOf(d), model = ModelOf(path);
    const uint64_t size = d.TotalSectors * d.BytesPerSector;
    if (ctx.Json) {
      nlohmann::json j;
      j["index"] = i;
      j["name"] = d.Name;
      j["kind"] = KindText(d);
      j["number"] = NumberText(d);
      j["sectors"] = d.TotalSectors;
      j["bytes_per_sector"] = d.BytesPerSector;
      j["size"] = size;
      j["path"] = path;
      j["model"] = model.empty() ? nlohmann::json(nullptr) : nlohmann::json(model);
      doc["devices"].push_back(j);
    } else {
      std::printf("%-3zu %-24s %-9s %-6s %14llu %6u %14llu  %s%s\n", i, d.Name.c_str(), KindText(d),
                  NumberText(d).c_str(), static_cast<unsigned long long>(d.TotalSectors), unsigned(d.BytesPerSector),
                  static_cast<unsigned long long>(size), path.c_str(), model.empty() ? "" : (" (" + model + ")").c_str());
    }
  }
  if (ctx.Json) PrintJson(doc);
  return 0;
}

// The file system that opens the partition, named by the table of file systems (an MBR 0x07
// entry holds NTFS or exFAT, as its boot sector says).
std::string PartitionKindText(TDevice& disk, const TPartitionEntry& e) {
  if (e.Kind == TPartitionKind::Extended) return "extended";
  if (const TFileSystem* fs = FileSystemForPartition(disk, e)) return fs->Name;
  return "other";
}

// Said on stderr, below its row, so that the table itself stays as mmls prints it.
void WarnPastEnd(const TPartitionEntry& e, const TDevice& disk) {
  if (!e.RunsPastEnd) return;
  std::fprintf(stderr, "salvex-cli: warning: partition %d of the table at sector %llu %s\n", e.Slot,
               static_cast<unsigned long long>(e.TableSector), PastEndWarning(e, disk.TotalSectors).c_str());
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
  nlohmann::json doc = Document("partitions");
  doc["partitions"] = nlohmann::json::array();
  // The scheme is known only after the walk; rows are kept until then.
  std::vector<TPartitionEntry> rows;
  TPartitionWalk walk = WalkPartitionTables(*disk, [&rows](const TPartitionEntry& e) { rows.push_back(e); });
  if (walk.Scheme == TPartitionScheme::GPT) {
    doc["scheme"] = "GPT";
    if (walk.GPTBackupUsed) doc["gpt_backup_used"] = walk.GPTPrimaryFault;
    if (!ctx.Json) {
      std::printf("GPT, %u-byte sectors, header at sector %llu", unsigned(disk->BytesPerSector),
                  static_cast<unsigned long long>(walk.GPTHeaderSector));
      if (walk.GPTBackupUsed) std::printf(" (backup header used: primary %s)", walk.GPTPrimaryFault.c_str());
      std::printf("\n%-5s %14s %14s %14s  %-20s %-36s %-36s %-6s %s\n", "entry", "start", "end", "sectors", "type",
                  "type guid", "unique guid", "kind", "name");
    }
    for (const auto& e : rows) {
      const std::string type = GPTTypeName(e.TypeGuid);
      const unsigned long long last = e.FirstSector + e.SectorCount - 1;
      if (ctx.Json) {
        doc["partitions"].push_back({{"table_sector", walk.GPTHeaderSector}, {"slot", e.Slot},
                                     {"first_sector", e.FirstSector}, {"last_sector", last},
                                     {"sectors", e.SectorCount}, {"kind", PartitionKindText(*disk, e)},
                                     {"type_guid", GuidText(e.TypeGuid)}, {"type_name", type},
                                     {"unique_guid", GuidText(e.UniqueGuid)}, {"name", e.Name}});
        if (e.RunsPastEnd) doc["partitions"].back()["warning"] = PastEndWarning(e, disk->TotalSectors);
        continue;
      }
      std::printf("%-5d %14llu %14llu %14llu  %-20s %-36s %-36s %-6s %s\n", e.Slot,
                  static_cast<unsigned long long>(e.FirstSector), last,
                  static_cast<unsigned long long>(e.SectorCount), type.empty() ? "unknown" : type.c_str(),
                  GuidText(e.TypeGuid).c_str(), GuidText(e.UniqueGuid).c_str(), PartitionKindText(*disk, e).c_str(),
                  TerminalSafe(e.Name).c_str());
      WarnPastEnd(e, *disk);
    }
    if (ctx.Json) PrintJson(doc);
    return 0;
  }
  doc["scheme"] = "MBR";
  if (!ctx.Json)
    std::printf("%-6s %-5s %-5s %12s %12s %12s  %s\n", "table", "slot", "type", "start", "end", "sectors", "kind");
  for (const auto& e : rows) {
    unsigned long long end = e.SectorCount ? e.FirstSector + e.SectorCount - 1 : e.FirstSector;
    if (ctx.Json) {
      doc["partitions"].push_back({{"table_sector", e.TableSector}, {"slot", e.Slot}, {"type", e.Type},
                                   {"first_sector", e.FirstSector}, {"last_sector", end},
                                   {"sectors", e.SectorCount}, {"kind", PartitionKindText(*disk, e)}});
      if (e.RunsPastEnd) doc["partitions"].back()["warning"] = PastEndWarning(e, disk->TotalSectors);
      continue;
    }
    std::printf("%-6llu %-5d 0x%02X  %12llu %12llu %12llu  %s\n", static_cast<unsigned long long>(e.TableSector),
                e.Slot, unsigned(e.Type), static_cast<unsigned long long>(e.FirstSector), end,
                static_cast<unsigned long long>(e.SectorCount), PartitionKindText(*disk, e).c_str());
    WarnPastEnd(e, *disk);
  }
  if (ctx.Json) PrintJson(doc);
  return 0;
}

}  // namespace

void RegisterDeviceCommands(CLI::App& app, TCliContext& ctx) {
  auto* devices = app.add_subcommand("devices", "list the devices: images given, else the machine's disks");
  AddImageOptions(*devices, ctx, false);
  AddJsonOption(*devices, ctx);
  SetExample(*devices, "salvex-cli devices disk.img");
  devices->callback([&ctx] { ctx.Action = [&ctx] { return ListDevices(ctx); }; });

  auto* partitions = app.add_subcommand("partitions", "list the partition entries of a disk image: MBR with extended chains, or GPT");
  AddImageOptions(*partitions, ctx, true);
  AddJsonOption(*partitions, ctx);
  SetExample(*partitions, "salvex-cli partitions disk.img --json");
  partitions->callback([&ctx] { ctx.Action = [&ctx] { return ListPartitions(ctx); }; });
}

}  // namespace salvex::cli
