#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "cli/Cli.h"
#include "cli/CliOutput.h"
#include "common/TerminalText.h"
#include "disk/ImageRun.h"
#include "disk/RawIO.h"
#include "disk/RescueMap.h"

namespace salvex::cli {

namespace {

struct TImageArgs {
  std::string Source, Target, Map;
  int Retries = 1;
  bool Reverse = false;
  uint32_t SectorSize = 512;
};

std::string Bytes(double value) {
  static const char* units[] = {"B", "kB", "MB", "GB", "TB"};
  int i = 0;
  while (value >= 1000 && i < 4) {
    value /= 1000;
    ++i;
  }
  char text[32];
  std::snprintf(text, sizeof text, i == 0 ? "%.0f %s" : "%.2f %s", value, units[i]);
  return text;
}

std::string Duration(double seconds) {
  const auto s = static_cast<long long>(seconds + 0.5);
  char text[32];
  if (s >= 3600)
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
  else
    std::snprintf(text, sizeof text, "%lld:%02lld", s / 60, s % 60);
  return text;
}

const char* PhaseName(char phase) {
  switch (phase) {
    case RescueNonTried: return "copying";
    case RescueNonTrimmed: return "trimming";
    case RescueNonScraped: return "scraping";
    case RescueBadSector: return "retrying";
    default: return "finished";
  }
}

std::string ProgressText(const TImagerProgress& p) {
  const double rate = p.Seconds >= 1 ? double(p.RescuedThisRun) / p.Seconds : -1;
  std::string line = "rescued " + Bytes(double(p.Rescued)) + " of " + Bytes(double(p.Size));
  if (p.Size) line += " (" + std::to_string(int(100.0 * double(p.Rescued) / double(p.Size))) + "%)";
  line += ", bad areas " + std::to_string(p.BadAreas) + " (" +
          Bytes(double(p.NonTrimmed + p.NonScraped + p.BadSector)) + ")";
  if (rate >= 0) line += ", " + Bytes(rate) + "/s";
  line += ", last good read " + Duration(p.SecondsSinceGoodRead) + " ago";
  // Time left counts only what the copying passes still have to read.
  if (rate > 0 && p.Phase == RescueNonTried) line += ", " + Duration(double(p.NonTried) / rate) + " left";
  line += ", " + std::string(PhaseName(p.Phase)) + " pass " + std::to_string(p.Pass);
  return line;
}

int RunImage(TCliContext& ctx, const TImageArgs& a) {
  TImageRequest request;
  request.Source = a.Source;
  request.Target = a.Target;
  request.Map = a.Map;
  request.Retries = a.Retries;
  request.Reverse = a.Reverse;
  request.SectorSize = a.SectorSize;
  request.Creator = "salvex-cli";
  request.CommandLine = "salvex-cli image " + a.Source + " " + a.Target + " --map " + a.Map;
  TImageRun run(RawIO());
  if (!run.Prepare(request)) {
    if (run.UsageError) throw TCliUsageError(run.Error);
    throw TCliError(run.Error);
  }
  run.Cancelled = [&ctx] {
    Host().ProcessMessages();
    return ctx.Status->Cancelled;
  };
  const bool drawn = isatty(STDERR_FILENO) && !ctx.Quiet;
  if (drawn)
    run.OnProgress = [](const TImagerProgress& p) { std::cerr << "\r\033[K" << ProgressText(p) << std::flush; };
  const bool ok = run.Run();
  if (drawn) std::cerr << "\r\033[K" << std::flush;

  const TImagerProgress p = run.Progress();
  const uint64_t missing = p.Size - p.Rescued;
  if (ctx.Json) {
    nlohmann::json doc = Document("image");
    doc["image"] = {{"source", a.Source},         {"target", a.Target},          {"map", a.Map},
                    {"size", p.Size},             {"rescued", p.Rescued},        {"non_tried", p.NonTried},
                    {"non_trimmed", p.NonTrimmed}, {"non_scraped", p.NonScraped}, {"bad_sector", p.BadSector},
                    {"bad_areas", p.BadAreas},    {"reads", p.Reads},            {"read_errors", p.ReadErrors},
                    {"seconds", std::round(p.Seconds * 1000) / 1000},            {"cancelled", run.WasCancelled()},
                    {"finished", ok && !run.WasCancelled()}};
    if (!ok) doc["image"]["error"] = run.Error;
    PrintJson(doc);
  } else {
    std::printf("%s; %llu reads, %llu read errors; map %s\n", ProgressText(p).c_str(),
                static_cast<unsigned long long>(p.Reads), static_cast<unsigned long long>(p.ReadErrors),
                TerminalSafe(a.Map).c_str());
    if (missing > 0 && ok)
      std::printf("%llu bytes were not rescued; read the image with --map %s so that they count as unreadable\n",
                  static_cast<unsigned long long>(missing), TerminalSafe(a.Map).c_str());
  }
  if (!ok) throw TCliError(run.Error);
  if (run.WasCancelled()) {
    std::cerr << "salvex-cli: interrupted; run the same command again to go on from the map\n";
    return 1;
  }
  return missing == 0 ? 0 : 1;
}

}  // namespace

void RegisterImageCommands(CLI::App& app, TCliContext& ctx) {
  auto args = std::make_shared<TImageArgs>();
  auto* image = app.add_subcommand(
      "image",
      "copy a failing disk, partition or image into an image file first, good areas before bad ones, "
      "keeping a GNU ddrescue map of what was read; a second run goes on from the map");
  image->add_option("SOURCE", args->Source, "disk, partition or image to copy (only ever read)")->required();
  image->add_option("TARGET", args->Target, "image file to write (created sparse)")->required();
  image->add_option("--map", args->Map, "the rescue map (GNU ddrescue mapfile), continued when it exists")
      ->required();
  image->add_option("--retries", args->Retries, "passes over the bad sectors after scraping (default 1)")
      ->check(CLI::Range(0, 1000));
  image->add_flag("--reverse", args->Reverse, "run the first copying pass from the end backwards");
  image->add_option("--sector-size", args->SectorSize, "sector size of the source (default 512)")
      ->check(CLI::IsMember({512, 1024, 2048, 4096}));
  AddJsonOption(*image, ctx);
  AddQuietOption(*image, ctx);
  SetExample(*image, "salvex-cli image /dev/sdb disk.img --map disk.map --retries 3");
  image->callback([&ctx, args] { ctx.Action = [&ctx, args] { return RunImage(ctx, *args); }; });
}

}  // namespace salvex::cli
