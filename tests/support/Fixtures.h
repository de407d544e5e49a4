#pragma once

// Access to the committed test images and the tools that check them (The Sleuth Kit as the oracle).
// Every function throws std::runtime_error with a readable message when a fixture is missing or broken,
// so a test fails with the reason rather than crashing.

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace salvex::test {

// SALVEX_FIXTURES_DIR / relative.
std::filesystem::path FixturePath(std::string_view relative);

// The fixture relativeGz, gunzipped once per process into a private temporary folder that is removed at
// exit. The returned file must be opened read-only.
std::filesystem::path UnpackedImage(std::string_view relativeGz);

// One committed single-volume image per file system of the table, keyed by the file system's name,
// with the volume's size in 512-byte sectors. A file system added to the table needs one here: the
// registry tests open each through both front ends.
struct VolumeFixture {
  std::string Image;
  std::uint64_t Sectors = 0;
};
const std::map<std::string, VolumeFixture>& VolumeFixtures();

struct CommandResult {
  int ExitCode = -1;  // exit status; 128 + signal when killed; 127 when the program could not start
  std::string Out;
  std::string Err;
};

// Runs argv[0] (searched in PATH) with the given arguments, no shell, and captures both outputs.
CommandResult RunCommand(const std::vector<std::string>& argv);

// Whether an executable of that name is on PATH.
bool HaveTool(std::string_view name);

// One line of a fixture manifest: what was written into an image and what became of it.
struct ManifestEntry {
  std::string Kind;    // "file", "dir" or "link" (a symbolic link; size and hash of its target text)
  std::string State;   // live, deleted, overwritten, lost, orphan
  std::uint64_t Size = 0;  // 0 for folders
  std::string Sha256;  // lower-case hex; empty for folders
  std::string Path;    // absolute within the volume, "/" separated, UTF-8
  std::string Notes;   // optional, e.g. "clusters=361+2" or "sparse"

  bool IsDirectory() const { return Kind == "dir"; }
};

// Entries keyed by Path.
std::map<std::string, ManifestEntry> ReadManifest(const std::filesystem::path& path);

// The "# key: value" comment lines of a manifest (for example "offset" = first sector of the volume).
std::map<std::string, std::string> ReadManifestHeader(const std::filesystem::path& path);

std::string Sha256OfFile(const std::filesystem::path& path);
std::string Sha256OfBytes(std::string_view bytes);

}  // namespace salvex::test
