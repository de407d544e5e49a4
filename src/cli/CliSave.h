#pragma once
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "recovery/SaveEngine.h"

namespace CLI {
class App;
class Validator;
}

namespace salvex {
class TItem;
class TCustomDrive;
}

namespace salvex::cli {

struct TCliContext;

// The save options every saving command shares.
struct TSaveArgs {
  std::string To;
  std::string Overwrite = "ask";  // ask (on a terminal; otherwise keep), all, none
  bool AllowExaminedDevice = false;
  std::string Report;  // a JSON file with one entry per file, SHA-256 included
  std::string OnReadError = "abort";
  std::string Dfxml;  // a DFXML file with one fileobject per file saved, SHA-256 included
};

// Adds --to (required or not), --overwrite, --allow-examined-device, --report and --on-read-error.
void AddSaveOptions(CLI::App& command, TSaveArgs& args, bool toRequired);
// Throws a TCliError with the system's reason when the --report file cannot be written; leaves no
// file behind that was not there.
void CheckReportWritable(const std::string& path);
// Answers read errors from --on-read-error.
void ApplyReadErrorPolicy(TCliContext& ctx, const TSaveArgs& args);
// "abort", "ignore" or "retry=N", as --on-read-error takes it.
void ApplyReadErrorPolicy(TCliContext& ctx, const std::string& policy);
CLI::Validator ReadErrorPolicyValidator();

// Checks the target folder (refusing one on the examined device unless allowed), saves the
// items, prints the summary (or adds the report to `document` with --json), writes --report, and
// returns the exit status: 0 only when nothing failed. The target folder is created only when
// something is written into it. `nothingText` is told when no file was there to save.
int SaveAndReport(TCliContext& ctx, TCustomDrive& drive, size_t volume, const std::vector<TItem*>& items,
                  const TSaveArgs& args, TSaveOptions options, nlohmann::json& document,
                  const std::string& nothingText);

}  // namespace salvex::cli
