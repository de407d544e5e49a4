// --dfxml: the documents validate against the DFXML schema shipped in tests/dfxml, the byte runs of
// live files read back from the image the bytes cat writes, and saved files carry their hashes.
#include <algorithm>
#include <fstream>
#include <regex>

#include "support/Cli.h"

namespace fs = std::filesystem;
using namespace salvex::test;

namespace {

struct FileObject {
  std::string Name, Hash, SavedAs;
  uint64_t Size = 0;
  bool Alloc = false, Folder = false, HasRuns = false;
  std::vector<std::array<uint64_t, 3>> Runs;  // file offset, image offset, length
  std::vector<std::array<uint64_t, 2>> Fills;  // file offset, length of bytes that read as zeros
};

std::string Unescape(std::string text) {
  for (const auto& [from, to] : {std::pair<std::string, std::string>{"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&amp;", "&"}})
    for (size_t at; (at = text.find(from)) != std::string::npos;) text.replace(at, from.size(), to);
  return text;
}

std::vector<FileObject> FileObjects(const fs::path& file) {
  std::ifstream in(file);
  const std::string xml((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<FileObject> out;
  const std::regex object("<fileobject>([\\s\\S]*?)</fileobject>");
  auto text = [](const std::string& body, const std::string& tag) {
    std::smatch m;
    return std::regex_search(body, m, std::regex("<" + tag + "[^>]*>([^<]*)</" + tag + ">")) ? Unescape(m[1]) : "";
  };
  for (std::sregex_iterator it(xml.begin(), xml.end(), object), end; it != end; ++it) {
    const std::string body = (*it)[1];
    FileObject f;
    f.Name = text(body, "filename");
    f.Folder = text(body, "name_type") == "d";
    f.Alloc = text(body, "alloc") == "1";
    f.Hash = text(body, "hashdigest");
    f.SavedAs = text(body, "salvex:saved_as");
    if (!f.Folder) f.Size = std::stoull(text(body, "filesize"));
    f.HasRuns = body.find("<byte_runs>") != std::string::npos;
    const std::regex run("file_offset=\"(\\d+)\" fs_offset=\"\\d+\" img_offset=\"(\\d+)\" len=\"(\\d+)\"");
    for (std::sregex_iterator r(body.begin(), body.end(), run), rend; r != rend; ++r)
      f.Runs.push_back({std::stoull((*r)[1]), std::stoull((*r)[2]), std::stoull((*r)[3])});
    const std::regex fill("file_offset=\"(\\d+)\" fill=\"0\" len=\"(\\d+)\"");
    for (std::sregex_iterator r(body.begin(), body.end(), fill), rend; r != rend; ++r)
      f.Fills.push_back({std::stoull((*r)[1]), std::stoull((*r)[2])});
    out.push_back(f);
  }
  return out;
}

void ExpectValid(const fs::path& file) {
  auto lint = RunCommand({"xmllint", "--noout", "--schema", SALVEX_SOURCE_DIR "/tests/dfxml/dfxml.xsd", file.string()});
  EXPECT_EQ(lint.ExitCode, 0) << lint.Err;
}

class CliDfxml : public TempFolderTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(CliDfxml, ValidatesAndItsByteRunsReadBackWhatCatWrites) {
  if (!HaveTool("xmllint")) GTEST_SKIP() << "xmllint (libxml2-utils) not installed";
  const std::string image = UnpackedImage(GetParam()).string();
  const fs::path listing = dir / "ls.xml";
  auto ls = Cli({"ls", image, "-r", "--dfxml", listing.string()});
  ASSERT_EQ(ls.ExitCode, 0) << ls.Err;
  ExpectValid(listing);

  std::ifstream img(image, std::ios::binary);
  size_t compared = 0, fills = 0;
  for (const FileObject& f : FileObjects(listing)) {
    if (f.Folder || !f.Alloc || !f.HasRuns) continue;
    // Stored runs and fill="0" runs cover the file once, in order; the fills read as zeros.
    std::vector<std::array<uint64_t, 2>> pieces = f.Fills;
    for (const auto& [fileOffset, imageOffset, length] : f.Runs) pieces.push_back({fileOffset, length});
    std::sort(pieces.begin(), pieces.end());
    uint64_t covered = 0;
    for (const auto& [fileOffset, length] : pieces) {
      EXPECT_EQ(fileOffset, covered) << f.Name;
      covered = fileOffset + length;
    }
    EXPECT_EQ(covered, f.Size) << f.Name;
    fills += f.Fills.size();
    std::string bytes(f.Size, '\0');
    for (const auto& [fileOffset, imageOffset, length] : f.Runs) {
      ASSERT_LE(fileOffset + length, f.Size) << f.Name;
      img.seekg(std::streamoff(imageOffset));
      img.read(bytes.data() + fileOffset, std::streamsize(length));
      ASSERT_TRUE(img) << f.Name;
    }
    auto cat = Cli({"cat", image, f.Name});
    ASSERT_EQ(cat.ExitCode, 0) << f.Name << cat.Err;
    EXPECT_EQ(Sha256OfBytes(bytes), Sha256OfBytes(cat.Out)) << f.Name;
    ++compared;
  }
  EXPECT_GT(compared, 0u);
  // sparse.bin has holes at its start, middle and end.
  if (GetParam() == "ntfs.img.gz" || GetParam() == "ext4.img.gz") {
    EXPECT_GE(fills, 2u);
  }

  // A save's document holds each saved file's hash, and the saved file has it.
  const fs::path saved = dir / "save.xml";
  auto save = Cli({"save", image, "--to", (dir / "out").string(), "--dfxml", saved.string(), "/"});
  ASSERT_EQ(save.ExitCode, 0) << save.Err;
  ExpectValid(saved);
  size_t hashed = 0;
  for (const FileObject& f : FileObjects(saved)) {
    ASSERT_FALSE(f.Hash.empty()) << f.Name;
    EXPECT_EQ(f.Hash, Sha256OfFile(f.SavedAs)) << f.Name;
    ++hashed;
  }
  EXPECT_GT(hashed, 0u);
}

INSTANTIATE_TEST_SUITE_P(Images, CliDfxml,
                         ::testing::Values("fat16.img.gz", "fat32.img.gz", "exfat.img.gz", "ntfs.img.gz", "ext4.img.gz",
                                           "ntfs-streams.img.gz"),
                         [](const auto& info) {
                           std::string name = info.param;
                           name = name.substr(0, name.find('.'));
                           for (char& c : name)
                             if (c == '-') c = '_';
                           return name;
                         });

TEST_F(CliDfxml, EveryCommandWritesAValidDocument) {
  if (!HaveTool("xmllint")) GTEST_SKIP() << "xmllint (libxml2-utils) not installed";
  const std::string demo = UnpackedImage("demo.img.gz").string();
  const std::vector<std::vector<std::string>> commands = {
      {"find", demo, "*.txt"},
      {"undelete", demo, "--to", (dir / "undeleted").string()},
      {"lost-data", demo, "--volume", "1"},
  };
  for (std::vector<std::string> args : commands) {
    const fs::path file = dir / (args[0] + ".xml");
    args.insert(args.end(), {"--dfxml", file.string()});
    auto r = Cli(args);
    ASSERT_EQ(r.ExitCode, 0) << args[0] << r.Err;
    ExpectValid(file);
    EXPECT_FALSE(FileObjects(file).empty()) << args[0];
  }
  // A file that cannot be written is said before any work.
  auto r = Cli({"ls", demo, "-r", "--dfxml", (dir / "no/such/folder.xml").string()});
  EXPECT_EQ(r.ExitCode, 1);
  EXPECT_NE(r.Err.find("cannot write the DFXML file"), std::string::npos) << r.Err;
}

}  // namespace
