#include "cli/Cli.h"
#include "common/Helpers.h"
#include "common/SearchThreads.h"

#include "common/TerminalText.h"

#include <fstream>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <new>

#include "devices/LostDrives.h"
#include "disk/DeviceRegistry.h"
#include "disk/LogicalDrive.h"
#include "disk/PhysicalDisk.h"
#include "disk/RawIO.h"
#include "disk/RescueMap.h"
#include "recovery/Browse.h"
#include "recovery/NeverRead.h"

namespace salvex::cli {

TCliContext::~TCliContext() {
  if (MappedIO) SetRawIO(nullptr);
}

namespace {

// Reads of the image go through its rescue map from here on.
void InstallMap(TCliContext& ctx) {
  if (ctx.Images.size() != 1)
    throw TCliUsageError("--map takes the map of one image; give that image alone");
  TRescueMap map;
  std::string why;
  if (!LoadRescueMap(ctx.Map, map, why)) throw TCliError(why);
  const std::string& image = ctx.Images.front();
  TRawIO& io = RawIO();
  const int fd = io.Open(image);
  if (fd < 0) throw TCliError("cannot open '" + image + "': " + std::strerror(errno));
  uint64_t size = 0;
  const bool sized = io.Size(fd, size);
  io.Close(fd);
  if (!sized || size != map.Size())
    throw TCliError("the map '" + ctx.Map + "' covers " + std::to_string(map.Size()) + " bytes, but '" + image +
                    "' holds " + std::to_string(size) + "; give the map written with this image");
  ctx.MappedIO = std::make_unique<TMappedRawIO>(io);
  ctx.MappedIO->AddMap(image, std::move(map));
  SetRawIO(ctx.MappedIO.get());
  ctx.Host.Mapped = ctx.MappedIO.get();
}

}  // namespace

namespace {

// The tool whose compressed format the file starts with, or null: such a file read as a disk shows
// no volumes, and the user would not know why.
const char* CompressedBy(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  unsigned char m[6] = {};
  if (!in.read(reinterpret_cast<char*>(m), sizeof m)) return nullptr;
  if (m[0] == 0x1F && m[1] == 0x8B) return "gzip";
  if (m[0] == 0xFD && m[1] == '7' && m[2] == 'z' && m[3] == 'X' && m[4] == 'Z' && m[5] == 0) return "xz";
  if (m[0] == 0x28 && m[1] == 0xB5 && m[2] == 0x2F && m[3] == 0xFD) return "zstd";
  if (m[0] == 'B' && m[1] == 'Z' && m[2] == 'h') return "bzip2";
  return nullptr;
}

}  // namespace

void TCliContext::OpenDevices() {
  if (Opened) return;
  Opened = true;
  auto& registry = TDeviceRegistry::Instance();
  registry.Clear();
  if (!Map.empty()) InstallMap(*this);
  TImageKind kind = ForceKind == "disk"     ? TImageKind::Disk
                    : ForceKind == "drive"  ? TImageKind::Drive
                    : ForceKind == "floppy" ? TImageKind::Floppy
                                            : TImageKind::Auto;
  for (const auto& image : Images) {
    try {
      registry.AddImage(image, kind, SectorSize);
    } catch (const std::exception& e) {
      throw TCliError(e.what());
    }
    if (const char* tool = CompressedBy(image))
      std::cerr << "salvex-cli: warning: '" << TerminalSafe(image) << "' is a compressed file, not a disk image: "
                << "unpack it first (" << tool << " -dk)\n";
  }
  if (Images.empty() || SystemDisks) registry.AddSystemDisks();
  Devices.DetectDevices(nullptr);
  if (Devices.Count() == 0)
    throw TCliError(Images.empty() ? "no readable disks found (give an image, or run with the rights to read /dev)"
                                   : "no readable device among the images given");
}

const TRescueMap* TCliContext::MapOf(const TCustomDrive& drive) const {
  if (!MappedIO || !drive.Device || Images.size() != 1) return nullptr;
  const auto& registry = TDeviceRegistry::Instance();
  const TRegisteredDevice* device = drive.Device->Kind == KindPhysical ? registry.FindPhysical(drive.Device->Number)
                                                                       : registry.FindLogical(drive.Device->Number);
  return device && device->Path == Images.front() ? MappedIO->MapOf(device->Path) : nullptr;
}

std::string TCliContext::NeverRead(TCustomFile& file, const TReadChoice& choice) const {
  const TRescueMap* map = file.Drive ? MapOf(*file.Drive) : nullptr;
  if (!map) return "";
  const uint32_t sectorSize = file.Drive->Device && file.Drive->Device->BytesPerSector ? file.Drive->Device->BytesPerSector : 512;
  return NeverReadReason(NeverReadOf(file, choice, *map), sectorSize);
}

void TCliContext::MarkNeverRead(TItemRow& row) const {
  auto* file = AsFile(row.Item);
  if (!MappedIO || !file) return;
  std::string why = NeverRead(*file);
  if (why.empty()) return;
  row.Condition = TItemRow::TCondition::Poor;
  row.ConditionWhy = std::move(why);
}

void TCliContext::DetectVolumes() {
  if (VolumesDetected) return;
  VolumesDetected = true;
  OpenDevices();
  for (size_t i = 0; i < Devices.Count(); ++i) {
    TDevice* d = Devices.Items(i);
    if (d->DriveType != DriveCDROM) Drives.DetectDrives(*d);
  }
  if (SearchLost) {
    SearchLostDrives();
    for (const auto& search : LostSearches)
      if (const std::string gaps = LostSearchGaps(search); !gaps.empty())
        std::fprintf(stderr, "salvex-cli: lost-drive search: %s\n", gaps.c_str());
  }
}

std::string LostSearchGaps(const TLostDriveSearch& search) {
  std::string text;
  if (!search.Skipped.empty())
    text = std::to_string(search.Skipped.size()) + " unreadable region" + (search.Skipped.size() == 1 ? "" : "s") +
           " (" + std::to_string(search.SkippedSectors()) + " sectors) skipped in sectors " +
           std::to_string(search.Range.First) + "-" + std::to_string(search.Range.Last);
  if (search.Aborted || search.Cancelled) {
    if (!text.empty()) text += "; ";
    text += std::string(search.Aborted ? "stopped at unreadable sector " : "cancelled at sector ") +
            std::to_string(search.StoppedAt) + ", sectors " + std::to_string(search.StoppedAt) + "-" +
            std::to_string(search.Range.Last) + " not searched";
  }
  return text;
}

void TCliContext::SearchLostDrives() {
  // Long scans read ahead through the block cache.
  blockcache::SetEnabled(true);
  for (size_t i = 0; i < Devices.Count(); ++i) {
    TDevice* d = Devices.Items(i);
    if (d->DriveType == DriveCDROM || d->TotalSectors == 0) continue;
    uint64_t last = LostLast < d->TotalSectors ? LostLast : d->TotalSectors - 1;
    if (LostFirst > last) continue;
    LostSearches.push_back(FindLostDrives(*d, LostFirst, last, Drives, *Status));
    if (Status->Cancelled) break;
  }
}

void AddLostSearchOptions(CLI::App& command, TCliContext& ctx) {
  command.add_flag("--search-lost", ctx.SearchLost,
                   "run the lost-drive search first, so that --volume can name a volume it finds");
  command.add_option("--first", ctx.LostFirst, "first sector of the lost-drive search (default 0)")
      ->check(WholeNumber("a sector number"));
  command.add_option("--last", ctx.LostLast, "last sector of the lost-drive search (default: the last of the disk)")
      ->check(WholeNumber("a sector number"));
  AddThreadsOption(command);
}

void AddThreadsOption(CLI::App& command) {
  command
      .add_option_function<unsigned>("--threads", [](const unsigned& n) { SetSearchThreads(n); },
                                     "threads that examine what the searches read (default: one per core)")
      ->check(CLI::Range(1u, 256u));
}

// A whole number a person can type; rejects signs, so that "-1" never wraps to a huge index.
CLI::Validator WholeNumber(const std::string& what) {
  return CLI::Validator(
      [what](std::string& value) {
        if (!value.empty() && value.size() <= 19 && value.find_first_not_of("0123456789") == std::string::npos)
          return std::string();
        return "'" + value + "' is not " + what;
      },
      "N");
}

void AddVolumeOption(CLI::App& command, size_t& volume) {
  command.add_option("--volume", volume, "volume index as listed by 'salvex-cli volumes' (default 0)")
      ->check(WholeNumber("a volume index (0, 1, ... as 'salvex-cli volumes' lists them)"));
}

void AddJsonOption(CLI::App& command, TCliContext& ctx) {
  command.add_flag("--json", ctx.Json, "print one JSON document (schema: docs/salvex-cli.schema.json)");
}

void AddQuietOption(CLI::App& command, TCliContext& ctx) {
  command.add_flag("-q,--quiet", ctx.Quiet, "no progress bar on stderr");
}

void AddFatOption(CLI::App& command, std::string& fat) {
  command
      .add_option("--fat", fat,
                  "FAT volumes: follow cluster chains in FAT 1 or 2, or none (read consecutive clusters, "
                  "the usual choice for deleted files and after a quick format)")
      ->check(CLI::IsMember({"none", "1", "2"}));
}

TReadChoice ParseFat(const std::string& fat, TCustomDrive& drive) {
  TReadChoice choice;
  if (fat.empty()) return choice;
  // The read choice lists "no FAT" and then each FAT copy the volume has.
  const size_t copies = drive.ReadChoiceItems().size();
  if (copies == 0)
    throw TCliUsageError("--fat applies to FAT and exFAT volumes only; this one is " + drive.FileSystemName());
  if (fat == "none") {
    choice.FATCopy = 0;
    return choice;
  }
  const int k = fat == "2" ? 2 : 1;
  if (size_t(k) >= copies)
    throw TCliUsageError("--fat " + fat + ": the volume has " + std::to_string(copies - 1) +
                         " FAT(s); use --fat none or --fat 1");
  choice.FATCopy = k;
  return choice;
}

void SetExample(CLI::App& command, const std::string& example) { command.footer("Example:\n  " + example); }

TCustomDrive& OpenVolume(TCliContext& ctx, size_t index) {
  ctx.DetectVolumes();
  TCustomDrive& drive = ctx.Volume(index);
  drive.Progress = ctx.Status.get();
  auto prepared = PrepareVolume(drive, ctx.Status.get());
  if (!prepared)
    throw TCliError("volume " + std::to_string(index) + " (" + drive.FileSystemName() +
                    ") could not be mounted: " + prepared.Error().Text() +
                    "; 'salvex-cli lost-drives' searches for a copy of its boot sector");
  WarnOfMount(drive, index);
  return drive;
}

void WarnOfMount(const TCustomDrive& drive, size_t index) {
  for (const TMountNote& note : drive.MountNotes)
    std::cerr << "salvex-cli: warning: volume " << index << ": " << TerminalSafe(note.Error.Text()) << "\n";
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
  command.add_option("--sector-size", ctx.SectorSize, "logical sector size of the images (default: detected)")
      ->check(CLI::IsMember({512, 1024, 2048, 4096}));
  command.add_option("--map", ctx.Map,
                     "rescue map (GNU ddrescue mapfile) of the image: what it does not mark rescued is "
                     "unreadable, never data");
}

namespace {

std::vector<CLI::App*> Commands(CLI::App& app) {
  return app.get_subcommands(std::function<bool(CLI::App*)>([](CLI::App*) { return true; }));
}

bool HasCommand(CLI::App& app, const std::string& name) {
  for (CLI::App* sub : Commands(app))
    if (sub->get_name() == name) return true;
  return false;
}

// The command named on the command line, for messages; "" when none is.
std::string CommandName(CLI::App& app, int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.empty() || arg[0] == '-') continue;
    return HasCommand(app, arg) ? arg : std::string();
  }
  return {};
}

std::string CommandList(CLI::App& app) {
  std::string names;
  for (CLI::App* sub : Commands(app)) names += (names.empty() ? "" : ", ") + sub->get_name();
  return names;
}

// Edits (a swap of neighbours counting one) between two option names.
size_t Distance(const std::string& a, const std::string& b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i)
    for (size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  return d[a.size()][b.size()];
}

// The option of `command` that `typed` (not one of its options) most likely means, "" when none
// stands out: the target folder under the names other tools give it, a mistyped or shortened long
// name, a long name written with one dash.
std::string ClosestOption(const CLI::App& command, const std::string& typed) {
  std::string name = typed.substr(0, typed.find('='));
  name.erase(0, name.find_first_not_of('-'));
  for (char& c : name) c = c == '_' ? '-' : char(std::tolower(static_cast<unsigned char>(c)));
  std::vector<std::string> longNames;
  for (const CLI::Option* opt : command.get_options())
    for (const std::string& l : opt->get_lnames()) longNames.push_back(l);
  const auto has = [&](const std::string& l) { return std::find(longNames.begin(), longNames.end(), l) != longNames.end(); };
  static const char* const kTargetNames[] = {"o", "out", "output", "output-dir", "outdir", "dest", "destination",
                                             "target", "target-dir", "d", "dir"};
  if (has("to") && std::find(std::begin(kTargetNames), std::end(kTargetNames), name) != std::end(kTargetNames))
    return "--to";
  if (name.size() < 2) return "";
  std::string best;
  size_t bestDistance = SIZE_MAX, prefixed = 0;
  std::string prefixOf;
  for (const std::string& l : longNames) {
    if (l.rfind(name, 0) == 0 && name.size() >= 3) {
      ++prefixed;
      prefixOf = l;
    }
    const size_t d = Distance(name, l);
    if (d < bestDistance) {
      bestDistance = d;
      best = l;
    } else if (d == bestDistance) {
      best.clear();  // two alike: neither stands out
    }
  }
  if (prefixed == 1) return "--" + prefixOf;
  const size_t allowed = name.size() >= 6 ? 2 : 1;
  return !best.empty() && bestDistance <= allowed ? "--" + best : "";
}

const CLI::Option* FindOption(const CLI::App& command, const std::string& typed, bool isLong) {
  for (const CLI::Option* opt : command.get_options()) {
    if (opt->get_positional() && opt->get_lnames().empty() && opt->get_snames().empty()) continue;
    const auto& names = isLong ? opt->get_lnames() : opt->get_snames();
    if (std::find(names.begin(), names.end(), typed) != names.end()) return opt;
  }
  return nullptr;
}

// What is wrong with the words after a command's name in the user's terms, where the parser's
// would mislead (in "undelete IMG -o out" it sees "out" as a second image): the first unknown
// option, with the option likely meant, else the first word past the arguments the command
// takes. Empty when it finds neither.
std::string ArgumentFault(const CLI::App& command, const std::vector<std::string>& words) {
  std::vector<std::string> positionals;
  std::string unknown;
  bool afterUnknown = false;  // the word after an unknown option is likely its value
  bool optionsEnd = false;
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& w = words[i];
    const bool wasAfterUnknown = afterUnknown;
    afterUnknown = false;
    if (optionsEnd || w.size() < 2 || w[0] != '-') {
      if (!wasAfterUnknown) positionals.push_back(w);
      continue;
    }
    if (w == "--") {
      optionsEnd = true;
      continue;
    }
    const bool isLong = w[1] == '-';
    const CLI::Option* opt = nullptr;
    bool inlineValue = false;
    if (isLong) {
      opt = FindOption(command, w.substr(2, w.find('=') == std::string::npos ? std::string::npos : w.find('=') - 2), true);
      inlineValue = w.find('=') != std::string::npos;
    } else {
      // Flags may be joined ("-qr"); the first that takes a value takes the rest of the word.
      for (size_t k = 1; k < w.size(); ++k) {
        opt = FindOption(command, std::string(1, w[k]), false);
        if (!opt) break;
        if (opt->get_items_expected_max() > 0) {
          inlineValue = k + 1 < w.size();
          break;
        }
      }
    }
    if (!opt) {
      if (unknown.empty()) unknown = w;
      afterUnknown = true;
      continue;
    }
    if (opt->get_items_expected_max() > 0 && !inlineValue && i + 1 < words.size()) ++i;
  }
  if (!unknown.empty()) {
    const std::string meant = ClosestOption(command, unknown);
    return "unknown option '" + unknown + "'" + (meant.empty() ? "" : "; did you mean " + meant + "?");
  }
  // The arguments without a name, in the order they are filled.
  std::vector<std::pair<std::string, size_t>> slots;
  size_t room = 0;
  for (const CLI::Option* opt : command.get_options()) {
    if (!opt->get_positional() || !opt->get_lnames().empty() || !opt->get_snames().empty()) continue;
    const size_t n = size_t(std::max(opt->get_items_expected_max(), 0));
    slots.emplace_back(opt->get_name(), n);
    room = n > SIZE_MAX - room ? SIZE_MAX : room + n;
  }
  if (positionals.size() <= room) return "";
  std::string expected;
  for (size_t k = 0; k < slots.size(); ++k) {
    if (slots[k].second == 0) continue;
    const std::string count = slots[k].second == 1 ? "one" : std::to_string(slots[k].second);
    expected += (expected.empty() ? "" : k + 1 == slots.size() ? " and " : ", ") + count + " " + slots[k].first;
  }
  const std::string& extra = positionals[room];
  std::string text = expected + (room == 1 ? " is" : " are") + " expected; '" + extra + "' is " +
                     (room == 1 ? "a second one" : "one too many");
  // A folder given without --to reads as one more image.
  const bool toGiven = std::any_of(words.begin(), words.end(), [](const std::string& w) { return w.rfind("--to", 0) == 0; });
  if (FindOption(command, "to", true) && !toGiven) text += "; a target folder goes after --to";
  return text;
}

}  // namespace

int RunCli(int argc, char** argv) {
  ReadTimeZoneOnce();
  TCliContext ctx;
  ctx.Host.Interactive = isatty(STDIN_FILENO) && isatty(STDERR_FILENO);
  ctx.StatusView = std::make_unique<TCliStatusView>(isatty(STDERR_FILENO));
  ctx.Status = std::make_unique<TStatusDialog>(ctx.StatusView.get());
  ctx.StatusView->SetDialog(ctx.Status.get());
  ctx.Host.Status = ctx.Status.get();
  ScopedHost hostScope(ctx.Host);
  for (int i = 0; i < argc; ++i) ctx.CommandLine += (i ? " " : "") + std::string(argv[i]);

  CLI::App app{"Salvex: find and save deleted and lost files on FAT, exFAT, NTFS and ext2/3/4 disks and images (read-only)",
               "salvex-cli"};
  app.set_version_flag("--version", std::string("salvex-cli ") + SALVEX_VERSION);
  app.require_subcommand(1);
  RegisterDeviceCommands(app, ctx);
  RegisterImageCommands(app, ctx);
  RegisterMapFilesCommand(app, ctx);
  RegisterLostDataCommands(app, ctx);
  RegisterLostDriveCommands(app, ctx);
  RegisterMountCommand(app, ctx);
  RegisterVolumeCommands(app, ctx);

  // An unknown first word is a mistyped command, not a missing one.
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.empty() || arg[0] == '-') {
      if (arg == "--help" || arg == "-h" || arg == "--version") break;
      continue;
    }
    if (!HasCommand(app, arg)) {
      std::cerr << "salvex-cli: unknown command '" << arg << "'; the commands are " << CommandList(app)
                << " (salvex-cli --help)\n";
      return 2;
    }
    break;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    const std::string command = CommandName(app, argc, argv);
    if (command.empty())
      std::cerr << "salvex-cli: a command is required: " << CommandList(app) << " (salvex-cli --help)\n";
    else {
      // The words after the command's name (the options before it are the program's own).
      std::vector<std::string> words;
      int at = 1;
      while (at < argc && argv[at] != command) ++at;
      for (int i = at + 1; i < argc; ++i) words.emplace_back(argv[i]);
      std::string fault = ArgumentFault(*app.get_subcommand(command), words);
      if (fault.empty()) fault = e.what();
      std::cerr << "salvex-cli " << command << ": " << TerminalSafe(fault) << " (salvex-cli " << command << " --help)\n";
    }
    return 2;
  }
  ctx.StatusView->SetEnabled(isatty(STDERR_FILENO) && !ctx.Quiet);
  CatchInterrupts();
  try {
    int status = ctx.Action ? ctx.Action() : 0;
    ctx.Host.ReportMapRanges();
    ClosePhysicalDrive();
    CloseLogicalDrive();
    return status;
  } catch (const TCliUsageError& e) {
    std::cerr << "salvex-cli: " << TerminalSafe(e.what()) << "\n";
    return 2;
  } catch (const TCliError& e) {
    std::cerr << "salvex-cli: " << TerminalSafe(e.what()) << "\n";
  } catch (const std::bad_alloc&) {
    // A damaged structure that asks for more memory than there is: an error, never an empty result.
    std::cerr << "salvex-cli: error: out of memory (a damaged structure on the disk asks for more than there is)\n";
  } catch (const std::exception& e) {
    std::cerr << "salvex-cli: error: " << TerminalSafe(e.what()) << "\n";
  }
  return 1;
}

}  // namespace salvex::cli
