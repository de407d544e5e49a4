#pragma once
#include <ctime>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "recovery/Browse.h"
#include "recovery/SaveEngine.h"

// How the commands print: tab-separated rows for people and `cut`, one JSON document with --json.
// The JSON follows docs/salvex-cli.schema.json for every command and file system.

namespace salvex::cli {

struct TCliContext;

// "2021-03-06T05:09:00Z"; empty without a time.
std::string IsoTime(const std::optional<timespec>& t);
// "root", "deleted", "lost", "search": what --tree takes.
const char* TreeName(TTreeKind tree);
// A --tree value (any letter case); a usage error otherwise.
TTreeKind ParseTree(const std::string& name);
// "live", "deleted" or "lost".
const char* StateName(const TItemRow& row);
const char* ConditionName(const TItemRow& row);  // null without a condition

nlohmann::json ItemJson(const TItemRow& row, TCustomDrive& drive, size_t volume);
nlohmann::json VolumeJson(TCliContext& ctx, size_t index);
// The document every --json output and report file is: {"command": ..., more keys}.
nlohmann::json Document(const std::string& command);
void PrintJson(const nlohmann::json& document);

// The tab-separated listing: a header, then one row per item (its path when `fullPath`).
void PrintRowHeader(TCustomDrive& drive);
void PrintRow(const TItemRow& row, bool fullPath);

// A line of the Sleuth Kit body format that mactime reads.
std::string BodyLine(const TItemRow& row);

}  // namespace salvex::cli
