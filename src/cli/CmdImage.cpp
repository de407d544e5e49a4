#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "cli/Cli.h"
#include "cli/CliOutput.h"
#include "common/TerminalText.h"
#include "disk/Imager.h"
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

// A block device is read with direct I/O where a read allows it (offset, length and buffer
// aligned): no copy through the page cache and no read-ahead into areas the passes mean to skip.
// Other reads go through the layer underneath, on its own descriptor.
class TDirectSource : public TRawIO {
 public:
  TDirectSource(TRawIO& inner, int direct, uint32_t align) : inner_(inner), direct_(direct), align_(align) {}
  ~TDirectSource() override {
    if (direct_ >= 0) ::close(direct_);
  }
  int Open(const std::string& path) override { return inner_.Open(path); }
  ssize_t PRead(int fd, void* buffer, size_t length, uint64_t offset) override {
    if (direct_ >= 0 && offset % align_ == 0 && length % align_ == 0 && reinterpret_cast<uintptr_t>(buffer) % 4096 == 0) {
      size_t done = 0;
      while (done < length) {
        const ssize_t r = ::pread(direct_, static_cast<char*>(buffer) + done, length - done, off_t(offset + done));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && errno == EINVAL && done == 0) break;  // the device refuses direct reads here
        if (r < 0) return done > 0 ? ssize_t(done) : -1;
        if (r == 0) return ssize_t(done);
        done += size_t(r);
      }
      if (done == length) return ssize_t(done);
    }
    return inner_.PRead(fd, buffer, length, offset);
  }
  void Close(int fd) override { inner_.Close(fd); }
  bool Size(int fd, uint64_t& bytes) override { return inner_.Size(fd, bytes); }

 private:
  TRawIO& inner_;
  int direct_;
  uint32_t align_;
};

int RunImage(TCliContext& ctx, const TImageArgs& a) {
  TRawIO& io = RawIO();
  const int source = io.Open(a.Source);
  if (source < 0) {
    const std::string why = io.OpenFailure();
    throw TCliError(why.empty() ? "cannot open '" + a.Source + "': " + std::strerror(errno) : why);
  }
  struct Closer {
    TRawIO& io;
    int fd;
    ~Closer() { io.Close(fd); }
  } closeSource{io, source};
  uint64_t size = 0;
  if (!io.Size(source, size)) throw TCliError("cannot tell the size of '" + a.Source + "'");

  struct stat sourceStat {}, targetStat {};
  const bool targetExists = ::stat(a.Target.c_str(), &targetStat) == 0;
  if (targetExists && ::stat(a.Source.c_str(), &sourceStat) == 0 && sourceStat.st_dev == targetStat.st_dev &&
      sourceStat.st_ino == targetStat.st_ino)
    throw TCliUsageError("the target is the source itself");
  if (targetExists && !S_ISREG(targetStat.st_mode))
    throw TCliUsageError("the target '" + a.Target + "' is not a regular file; the image is written into a file");

  TRescueMap map(size);
  struct stat mapStat {};
  if (::stat(a.Map.c_str(), &mapStat) == 0) {
    std::string why;
    if (!LoadRescueMap(a.Map, map, why)) throw TCliError(why);
    if (map.Size() > size)
      throw TCliError("the map '" + a.Map + "' covers " + std::to_string(map.Size()) + " bytes, but the source has " +
                      std::to_string(size) + "; is it the map of another disk?");
    map.Resize(size);
  } else if (targetExists) {
    throw TCliError("the target '" + a.Target + "' exists but the map '" + a.Map +
                    "' does not; give the map of the run that wrote it, or another target");
  }

  const int target = ::open(a.Target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (target < 0) throw TCliError("cannot write '" + a.Target + "': " + std::strerror(errno));
  struct TargetCloser {
    int fd;
    ~TargetCloser() { ::close(fd); }
  } closeTarget{target};
  // Sized up front and left sparse: the areas never read stay holes where the file system allows.
  struct stat written {};
  if (::fstat(target, &written) == 0 && uint64_t(written.st_size) < size && ::ftruncate(target, off_t(size)) != 0)
    throw TCliError("cannot size '" + a.Target + "' to " + std::to_string(size) + " bytes: " + std::strerror(errno));

  // Block devices: direct I/O; image files: the page cache, told the reads go forwards.
  struct stat sourceInfo {};
  int direct = -1;
  uint32_t align = a.SectorSize;
  if (::stat(a.Source.c_str(), &sourceInfo) == 0 && S_ISBLK(sourceInfo.st_mode)) {
    direct = ::open(a.Source.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
    uint32_t logical = 0;
    if (io.SectorSize(source, logical) && logical > align) align = logical;
  } else {
    ::posix_fadvise(source, 0, 0, POSIX_FADV_SEQUENTIAL);
  }
  TDirectSource reader(io, direct, align);

  TImagerOptions options;
  options.SectorSize = a.SectorSize;
  options.Retries = a.Retries;
  options.Reverse = a.Reverse;
  TImager imager(reader, source, target, map, options);
  const std::string command = "salvex-cli image " + a.Source + " " + a.Target + " --map " + a.Map;
  imager.SaveMap = [&](const TRescueMap& m, std::string& why) {
    return WriteFileAtomically(a.Map, m.Format({"Mapfile. Created by salvex-cli (GNU ddrescue format)",
                                                "Command line: " + command}),
                               why);
  };
  imager.Cancelled = [&ctx] {
    Host().ProcessMessages();
    return ctx.Status->Cancelled;
  };
  const bool drawn = isatty(STDERR_FILENO) && !ctx.Quiet;
  if (drawn)
    imager.OnProgress = [](const TImagerProgress& p) { std::cerr << "\r\033[K" << ProgressText(p) << std::flush; };
  const bool ok = imager.Run();
  if (drawn) std::cerr << "\r\033[K" << std::flush;
  if (ok && ::fsync(target) != 0) throw TCliError("cannot write '" + a.Target + "': " + std::strerror(errno));

  const TImagerProgress p = imager.Progress();
  const uint64_t missing = p.Size - p.Rescued;
  if (ctx.Json) {
    nlohmann::json doc = Document("image");
    doc["image"] = {{"source", a.Source},         {"target", a.Target},          {"map", a.Map},
                    {"size", p.Size},             {"rescued", p.Rescued},        {"non_tried", p.NonTried},
                    {"non_trimmed", p.NonTrimmed}, {"non_scraped", p.NonScraped}, {"bad_sector", p.BadSector},
                    {"bad_areas", p.BadAreas},    {"reads", p.Reads},            {"read_errors", p.ReadErrors},
                    {"seconds", std::round(p.Seconds * 1000) / 1000},            {"cancelled", imager.WasCancelled},
                    {"finished", ok && !imager.WasCancelled}};
    if (!ok) doc["image"]["error"] = imager.Error;
    PrintJson(doc);
  } else {
    std::printf("%s; %llu reads, %llu read errors; map %s\n", ProgressText(p).c_str(),
                static_cast<unsigned long long>(p.Reads), static_cast<unsigned long long>(p.ReadErrors),
                TerminalSafe(a.Map).c_str());
    if (missing > 0 && ok)
      std::printf("%llu bytes were not rescued; read the image with --map %s so that they count as unreadable\n",
                  static_cast<unsigned long long>(missing), TerminalSafe(a.Map).c_str());
  }
  if (!ok) throw TCliError(imager.Error);
  if (imager.WasCancelled) {
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
