#pragma once
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "cli/CliHost.h"
#include "devices/DataStream.h"
#include "devices/DeviceList.h"
#include "devices/DriveList.h"
#include "devices/LostDrives.h"
#include "devices/StatusDialog.h"
#include "disk/MappedRawIO.h"
#include "recovery/Browse.h"

namespace CLI {
class App;
class Validator;
}

namespace salvex::cli {

// A failure the user must hear about in one line; exit status 1.
struct TCliError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A request that cannot be right whatever the image holds; exit status 2 like a parse error.
struct TCliUsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// State shared by the commands of one invocation.
struct TCliContext {
  std::vector<std::string> Images;
  bool SystemDisks = false;
  std::string ForceKind;  // "", "disk", "drive", "floppy"
  uint32_t SectorSize = 0;  // 0: detected per image
  // --map: the rescue map of the one image given; what it does not mark rescued reads as
  // unreadable.
  std::string Map;
  std::unique_ptr<TMappedRawIO> MappedIO;
  ~TCliContext();
  TCliHost Host;
  std::unique_ptr<TCliStatusView> StatusView;
  std::unique_ptr<TStatusDialog> Status;
  TDeviceList Devices;
  TDriveList Drives;
  bool Opened = false;
  bool VolumesDetected = false;
  // The lost-drive search run after detection when asked (--search-lost), so that a found
  // volume can be addressed by --volume in the same call.
  bool SearchLost = false;
  uint64_t LostFirst = 0;
  uint64_t LostLast = UINT64_MAX;
  // What each device's lost-drive search covered, in device order.
  std::vector<TLostDriveSearch> LostSearches;
  // lost-drives --on-read-error: an unreadable region is skipped unless asked otherwise.
  std::string LostOnReadError = "ignore";
  // The command's work, set by the chosen subcommand's callback; returns the exit status.
  std::function<int()> Action;
  std::string CommandLine;  // as typed, for reports that say how they were made
  bool Json = false;   // one JSON document on stdout (docs/salvex-cli.schema.json)
  bool Quiet = false;  // no progress on stderr

  // Registers the images (or the machine's disks) and detects devices once.
  void OpenDevices();
  // OpenDevices, then the volumes of every device that is not a CD-ROM, then (with SearchLost)
  // the lost-drive search over every device.
  void DetectVolumes();
  // The lost-drive search over [LostFirst, LostLast] of every device; what each covered goes
  // into LostSearches.
  void SearchLostDrives();
  // The volume with index n of the drive list, or a TCliError naming the valid range.
  TCustomDrive& Volume(size_t n);
  // The --map of the volume's device; null without --map or on another device.
  const TRescueMap* MapOf(const TCustomDrive& drive) const;
  // NeverReadReason of a file by MapOf its volume: empty when all of it was read.
  std::string NeverRead(TCustomFile& file, const TReadChoice& choice = {}) const;
  // Marks a listed file poor, with the reason, when NeverRead names one.
  void MarkNeverRead(TItemRow& row) const;
};

// Adds the image arguments and the device options shared by every command.
void AddImageOptions(CLI::App& command, TCliContext& ctx, bool oneImage);

// Prints the volumes of the drive list with the given indices (index, name, device, first
// sector, sectors, file system, FAT type, number of FATs).
void PrintVolumeTable(TCliContext& ctx, const std::vector<size_t>& indices);

// Adds --search-lost, --first and --last (the lost-drive search before the command's work).
void AddLostSearchOptions(CLI::App& command, TCliContext& ctx);
// --threads: how many threads the lost-drive and lost-data searches examine on.
void AddThreadsOption(CLI::App& command);
// One line for a lost-drive search that did not cover its whole range (unreadable regions
// skipped, stopped at one, cancelled); empty when it did.
std::string LostSearchGaps(const TLostDriveSearch& search);

// Options several commands share, each added only where it does something.
void AddVolumeOption(CLI::App& command, size_t& volume);
// Digits only, so that "-1" never wraps to a huge number; the message names `what` was expected.
CLI::Validator WholeNumber(const std::string& what);
void AddJsonOption(CLI::App& command, TCliContext& ctx);
void AddQuietOption(CLI::App& command, TCliContext& ctx);
// --fat none|1|2: the FAT that cluster chains are followed in.
void AddFatOption(CLI::App& command, std::string& fat);
// The read choice for --fat on this volume ("" lets each file decide); a usage error when the
// volume has no such FAT.
TReadChoice ParseFat(const std::string& fat, TCustomDrive& drive);
// Help text after the options: one example of the command.
void SetExample(CLI::App& command, const std::string& example);

// The volume with index n, mounted, its special folders ready for listing.
TCustomDrive& OpenVolume(TCliContext& ctx, size_t index);
// Says on stderr what the mount of a volume found wrong but read past (a volume cut to its device).
void WarnOfMount(const TCustomDrive& drive, size_t index);

// Command registrations; each file of src/cli adds its own commands here.
void RegisterDeviceCommands(CLI::App& app, TCliContext& ctx);
void RegisterImageCommands(CLI::App& app, TCliContext& ctx);
void RegisterMapFilesCommand(CLI::App& app, TCliContext& ctx);
void RegisterLostDataCommands(CLI::App& app, TCliContext& ctx);
void RegisterLostDriveCommands(CLI::App& app, TCliContext& ctx);
void RegisterMountCommand(CLI::App& app, TCliContext& ctx);
void RegisterVolumeCommands(CLI::App& app, TCliContext& ctx);

int RunCli(int argc, char** argv);

}  // namespace salvex::cli
