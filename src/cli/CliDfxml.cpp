#include "cli/CliDfxml.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "cli/Cli.h"
#include "cli/CliOutput.h"
#include "common/Unicode.h"

namespace salvex::cli {

namespace {

constexpr const char* kNamespace = "http://www.forensicswiki.org/wiki/Category:Digital_Forensics_XML";
// Salvex's own facts about a file (its tree, state, condition, where it was saved) go into
// elements of this namespace, which DFXML readers pass over.
constexpr const char* kSalvexNamespace = "urn:salvex:dfxml";

// Text for XML: markup characters escaped, and code points XML 1.0 cannot carry (control
// characters a damaged name may hold, bytes that are no UTF-8) replaced with U+FFFD.
std::string Xml(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      ++i;
      if (c == '&') out += "&amp;";
      else if (c == '<') out += "&lt;";
      else if (c == '>') out += "&gt;";
      else if (c == '"') out += "&quot;";
      else if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') out += "\xEF\xBF\xBD";
      else out += char(c);
      continue;
    }
    const size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
    bool valid = length > 0 && i + length <= text.size() && c <= 0xF4;
    for (size_t k = 1; valid && k < length; ++k) valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
    if (valid && length == 3) {
      // No surrogates, and U+FFFE / U+FFFF are not XML characters.
      const unsigned char c1 = static_cast<unsigned char>(text[i + 1]);
      if ((c == 0xED && c1 >= 0xA0) || (c == 0xE0 && c1 < 0xA0)) valid = false;
      if (c == 0xEF && c1 == 0xBF && static_cast<unsigned char>(text[i + 2]) >= 0xBE) valid = false;
    }
    if (valid && length == 4) {
      const unsigned char c1 = static_cast<unsigned char>(text[i + 1]);
      if ((c == 0xF0 && c1 < 0x90) || (c == 0xF4 && c1 >= 0x90)) valid = false;
    }
    if (!valid) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    out.append(text, i, length);
    i += length;
  }
  return out;
}

// xs:dateTime in UTC; empty for a time it cannot write (before year 1 or past 9999).
std::string XmlTime(const std::optional<timespec>& t) {
  if (!t) return "";
  std::tm tm{};
  if (!gmtime_r(&t->tv_sec, &tm) || tm.tm_year < 1 - 1900 || tm.tm_year > 9999 - 1900) return "";
  return IsoTime(t);
}

std::string Element(const char* name, const std::string& text) {
  return std::string("<") + name + ">" + Xml(text) + "</" + name + ">";
}

}  // namespace

TDfxmlWriter::TDfxmlWriter(const std::string& path, TCliContext& ctx) : path_(path), out_(path, std::ios::trunc) {
  if (!out_) throw TCliError("cannot write the DFXML file " + path + ": " + std::strerror(errno));
  out_ << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
       << "<dfxml xmlns=\"" << kNamespace << "\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\" xmlns:salvex=\""
       << kSalvexNamespace << "\" version=\"2.0.0-beta.0\">\n"
       << "  <metadata><dc:type>File system listing</dc:type></metadata>\n"
       << "  <creator>\n"
       << "    " << Element("program", "salvex-cli") << "\n"
       << "    " << Element("version", SALVEX_VERSION) << "\n"
       << "    <execution_environment>\n";
  utsname system{};
  if (uname(&system) == 0)
    out_ << "      " << Element("os_sysname", system.sysname) << "\n"
         << "      " << Element("os_release", system.release) << "\n"
         << "      " << Element("host", system.nodename) << "\n"
         << "      " << Element("arch", system.machine) << "\n";
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  out_ << "      " << Element("command_line", ctx.CommandLine) << "\n"
       << "      " << Element("uid", std::to_string(getuid())) << "\n"
       << "      " << Element("start_time", IsoTime(now)) << "\n"
       << "    </execution_environment>\n"
       << "  </creator>\n"
       << "  <source>\n";
  for (const std::string& image : ctx.Images)
    out_ << "    " << Element("image_filename", std::filesystem::absolute(image).lexically_normal().string()) << "\n";
  out_ << "  </source>\n";
}

TDfxmlWriter::~TDfxmlWriter() = default;

void TDfxmlWriter::Volume(TCustomDrive& drive) {
  if (volume_ == &drive) return;
  EndVolume();
  volume_ = &drive;
  const uint64_t sectorSize = drive.Device ? drive.Device->BytesPerSector : drive.BytesPerSector();
  imageBase_ = drive.FirstSector * sectorSize;
  out_ << "  <volume offset=\"" << imageBase_ << "\">\n"
       << "    <partition_offset>" << imageBase_ << "</partition_offset>\n";
  if (drive.BytesPerSector()) out_ << "    <sector_size>" << drive.BytesPerSector() << "</sector_size>\n";
  if (drive.AllocationUnit()) out_ << "    <block_size>" << drive.AllocationUnit() << "</block_size>\n";
  out_ << "    " << Element("ftype_str", drive.FileSystemName()) << "\n";
  if (drive.AllocationUnit() && drive.VolumeBytes())
    out_ << "    <block_count>" << drive.VolumeBytes() / drive.AllocationUnit() << "</block_count>\n";
}

void TDfxmlWriter::EndVolume() {
  if (volume_) out_ << "  </volume>\n";
  volume_ = nullptr;
}

void TDfxmlWriter::File(const TItemRow& row, const std::string& sha256, const std::string& savedAs) {
  out_ << "    <fileobject>\n"
       << "      " << Element("filename", row.Path) << "\n"
       << "      <name_type>" << (row.Folder ? 'd' : 'r') << "</name_type>\n";
  if (!row.Folder) out_ << "      <filesize>" << row.Size << "</filesize>\n";
  out_ << "      <alloc>" << (row.Deleted || row.Lost ? 0 : 1) << "</alloc>\n";
  // The inode is the record or inode number; a FAT or exFAT file has none but its first cluster,
  // which its byte runs show.
  if (row.Location.Kind == TLocation::TKind::Inode || row.Location.Kind == TLocation::TKind::Record)
    out_ << "      <inode>" << row.Location.Value << "</inode>\n";
  if (const std::string mtime = XmlTime(row.Modified); !mtime.empty()) out_ << "      <mtime>" << mtime << "</mtime>\n";
  if (auto* file = row.Folder ? nullptr : AsFile(row.Item)) {
    std::vector<TByteRun> runs;
    const auto data = file->OpenData(TReadChoice{});
    if (data && data->Failure.empty() && data->ByteRuns(runs)) {
      out_ << "      <byte_runs>\n";
      // Bytes between the stored runs (holes, past exFAT's valid length) read as zeros: a run
      // with fill="0" says so, so that the runs cover the whole file.
      auto fill = [&](uint64_t from, uint64_t to) {
        if (to > from) out_ << "        <byte_run file_offset=\"" << from << "\" fill=\"0\" len=\"" << to - from << "\"/>\n";
      };
      const uint64_t size = data->Size();
      uint64_t covered = 0;
      for (const TByteRun& run : runs) {
        fill(covered, std::min(run.FileOffset, size));
        out_ << "        <byte_run file_offset=\"" << run.FileOffset << "\" fs_offset=\"" << run.VolumeOffset
             << "\" img_offset=\"" << imageBase_ + run.VolumeOffset << "\" len=\"" << run.Length << "\"/>\n";
        covered = std::max(covered, run.FileOffset + run.Length);
      }
      fill(covered, size);
      out_ << "      </byte_runs>\n";
    }
  }
  if (!sha256.empty()) out_ << "      <hashdigest type=\"sha256\">" << sha256 << "</hashdigest>\n";
  out_ << "      " << Element("salvex:tree", TreeName(row.Tree)) << "\n"
       << "      " << Element("salvex:state", StateName(row)) << "\n";
  if (const char* condition = ConditionName(row)) out_ << "      " << Element("salvex:condition", condition) << "\n";
  if (!savedAs.empty()) out_ << "      " << Element("salvex:saved_as", savedAs) << "\n";
  out_ << "    </fileobject>\n";
}

void TDfxmlWriter::Finish() {
  if (finished_) return;
  finished_ = true;
  EndVolume();
  out_ << "</dfxml>\n";
  out_.close();
  if (!out_) throw TCliError("the DFXML file " + path_ + " could not be written whole");
}

void AddDfxmlOption(CLI::App& command, std::string& path) {
  command.add_option("--dfxml", path,
                     "also write the files as Digital Forensics XML (DFXML): names, sizes, times, byte runs on the "
                     "image and, for saved files, SHA-256");
}

std::unique_ptr<TDfxmlWriter> OpenDfxml(const std::string& path, TCliContext& ctx) {
  if (path.empty()) return nullptr;
  return std::make_unique<TDfxmlWriter>(path, ctx);
}

}  // namespace salvex::cli
