#include "cli/CliOutput.h"

#include <cstdio>

#include "cli/Cli.h"
#include "common/Host.h"
#include "common/StringTable.h"
#include "common/TerminalText.h"
#include "salvex/StringIds.h"

namespace salvex::cli {

namespace {

// Texts on one line for the tab-separated listing: control characters (a tab or a terminal escape
// in a name) are shown escaped.
std::string Cell(const std::string& text) { return TerminalSafe(text); }

std::string LocalTimeText(const std::optional<timespec>& t) {
  if (!t) return "";
  std::tm tm{};
  if (!localtime_r(&t->tv_sec, &tm)) return "";
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec);
  return text;
}

}  // namespace

std::string IsoTime(const std::optional<timespec>& t) {
  if (!t) return "";
  std::tm tm{};
  if (!gmtime_r(&t->tv_sec, &tm)) return "";
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

const char* TreeName(TTreeKind tree) {
  switch (tree) {
    case TTreeKind::Deleted: return "deleted";
    case TTreeKind::Lost: return "lost";
    case TTreeKind::Search: return "search";
    default: return "root";
  }
}

TTreeKind ParseTree(const std::string& name) {
  std::string lower;
  for (char c : name) lower += char(std::tolower(static_cast<unsigned char>(c)));
  if (lower == "root") return TTreeKind::Root;
  if (lower == "deleted") return TTreeKind::Deleted;
  if (lower == "lost") return TTreeKind::Lost;
  throw TCliUsageError("--tree takes root, deleted or lost, not '" + name + "'");
}

const char* StateName(const TItemRow& row) {
  if (row.Lost || row.Tree == TTreeKind::Lost) return "lost";
  return row.Deleted ? "deleted" : "live";
}

const char* ConditionName(const TItemRow& row) {
  switch (row.Condition) {
    case TItemRow::TCondition::Good: return "good";
    case TItemRow::TCondition::Poor: return "poor";
    default: return nullptr;
  }
}

nlohmann::json ItemJson(const TItemRow& row, TCustomDrive& drive, size_t volume) {
  nlohmann::json j;
  j["fs"] = drive.FileSystemName();
  j["volume"] = volume;
  j["tree"] = TreeName(row.Tree);
  j["path"] = row.Path;
  j["name"] = row.Name;
  j["type"] = row.Folder ? "folder" : "file";
  j["size"] = row.Size;
  j["modified"] = row.Modified ? nlohmann::json(IsoTime(row.Modified)) : nlohmann::json(nullptr);
  j["inode"] = row.Location.Kind == TLocation::TKind::None ? nlohmann::json(nullptr) : nlohmann::json(row.Location.Value);
  j["inode_kind"] = row.Location.Kind == TLocation::TKind::Cluster  ? nlohmann::json("cluster")
                    : row.Location.Kind == TLocation::TKind::Record ? nlohmann::json("record")
                    : row.Location.Kind == TLocation::TKind::Inode  ? nlohmann::json("inode")
                                                                    : nlohmann::json(nullptr);
  j["state"] = StateName(row);
  const char* condition = ConditionName(row);
  j["condition"] = condition ? nlohmann::json(condition) : nlohmann::json(nullptr);
  if (!row.ConditionWhy.empty()) j["condition_reason"] = row.ConditionWhy;
  j["attributes"] = row.Attributes;
  return j;
}

nlohmann::json VolumeJson(TCliContext& ctx, size_t index) {
  TCustomDrive& v = *ctx.Drives.Items(index);
  nlohmann::json j;
  j["index"] = index;
  j["label"] = v.Name;
  j["device"] = v.Device ? ctx.Devices.IndexOf(v.Device) : -1;
  j["first_sector"] = v.FirstSector;
  j["sectors"] = v.SectorCount;
  j["bytes_per_sector"] = v.BytesPerSector();
  j["fs"] = v.FileSystemName();
  j["lost"] = (v.Lost & DriveLost) != 0;
  if (const std::optional<uint32_t> copies = v.ChoosableFATs()) j["fats"] = *copies;
  return j;
}

nlohmann::json Document(const std::string& command) {
  nlohmann::json j;
  j["command"] = command;
  return j;
}

void PrintJson(const nlohmann::json& document) {
  // Names from a damaged disk need not be valid UTF-8: replace rather than fail.
  std::printf("%s\n", document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
}

void PrintRowHeader(TCustomDrive& drive) {
  const bool records = drive.FileSystemName() == "NTFS";
  const bool inodes = drive.FileSystemName().rfind("ext", 0) == 0;
  std::printf("%s\t%s\t%s\t%s\t%s\t%s\n", LoadText(txt::ColumnName).c_str(), LoadText(txt::ColumnSize).c_str(),
              LoadText(txt::ColumnModified).c_str(),
              records  ? "MFT entry"
              : inodes ? "Inode"
                       : LoadText(txt::ColumnCluster).c_str(),
              LoadText(txt::ColumnCondition).c_str(), LoadText(txt::ColumnType).c_str());
}

void PrintRow(const TItemRow& row, bool fullPath) {
  const std::string type = row.Folder ? std::string() : Host().TypeName(row.Name);
  std::string condition;
  if (row.Condition == TItemRow::TCondition::Good) condition = LoadText(txt::ConditionGood);
  if (row.Condition == TItemRow::TCondition::Poor) condition = LoadText(txt::ConditionPoor);
  if (!row.ConditionWhy.empty()) condition += ": " + row.ConditionWhy;
  std::printf("%s%s\t%s\t%s\t%s\t%s\t%s\n", Cell(fullPath ? row.Path : row.Name).c_str(), row.Folder ? "/" : "",
              row.Folder ? "" : std::to_string(row.Size).c_str(), LocalTimeText(row.Modified).c_str(),
              row.Location.Kind == TLocation::TKind::None ? "" : std::to_string(row.Location.Value).c_str(),
              condition.c_str(), Cell(type).c_str());
}

std::string BodyLine(const TItemRow& row) {
  // MD5|name|inode|mode|UID|GID|size|atime|mtime|ctime|crtime; only the modification time is kept
  // by FAT's entries as listed, the others are 0 (unknown).
  std::string name = TerminalSafe("/" + row.Path);
  for (char& c : name)
    if (c == '|') c = '?';
  if (row.Deleted) name += " (deleted)";
  const std::string mode = row.Folder ? "d/drwxrwxrwx" : "r/rrwxrwxrwx";
  const long long mtime = row.Modified ? static_cast<long long>(row.Modified->tv_sec) : 0;
  const std::string inode = row.Location.Kind == TLocation::TKind::None ? "0" : std::to_string(row.Location.Value);
  return "0|" + name + "|" + inode + "|" + mode + "|0|0|" + std::to_string(row.Folder ? 0 : row.Size) + "|0|" +
         std::to_string(mtime) + "|0|0";
}

}  // namespace salvex::cli
