#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace salvex {

// The user's settings for one run. Stored values keep the names of the settings store
// ("UseINT13", ...); the storage itself lives with the user interface.
struct TOptions {
  // Windows 95/98/Me disk services; kept and stored, though only the NT-style reads exist here.
  bool UseINT13 = true;
  bool UseINT13EXT = true;
  bool UseINT25 = true;
  // When false, critical system errors fail without the system's own message box.
  bool EnableWinErrorMsg = true;
  // Read-ahead caching of device reads.
  bool EnableCache = true;
  // Font of the folder tree and the file list; empty name and 0 mean the toolkit's default.
  std::string FileListFontName;
  int FileListFontSize = 0;
  int FileListFontColor = 0;
  int FileListFontHeight = 0;
  int FileListFontPixelsPerInch = 0;
  // Size given to a lost file whose size no directory records (a 1.44 MB diskette).
  uint32_t LostDefaultSize = 1474560;
  // Shown instead of the FAT deleted-entry marker byte 0xE5 (see DisplayName).
  std::string DeletedCharAnsi = "_";
  std::string DeletedCharMultibyte = "__";
  bool DeletedUseMultiByte = false;
  // The lost-data search also looks for lost files, not only lost folders.
  bool FindLostFiles = true;
  // OEM code page of FAT 8.3 short names, as an iconv name.
  std::string ShortNameCodePage = "CP850";
  // Highest level that DebugLog writes; not stored.
  uint8_t DebugLevel = 3;
};

// The one settings object of the program. It starts with the defaults; the user interface
// loads it at start-up, and every layer reads its switches from here.
TOptions& Options();

// How a FAT short name keeps its deleted-entry marker byte 0xE5 in the model: a noncharacter that no
// code page and no real name produces, so that a live name decoding to "å" (CP850 0x86, or 0x05 for
// 0xE5) is never taken for a deleted one.
inline constexpr std::string_view kDeletedMarker = "\xEF\xBF\xBE";  // U+FFFE

// The shown form of a name: a leading deleted-entry marker is replaced by the configured text.
// Other names are returned unchanged.
std::string DisplayName(std::string_view name, const TOptions& options);

// DisplayName with the program's settings.
std::string DisplayName(std::string_view name);

}  // namespace salvex
