// Files that lie in a plain image file are copied by the kernel; where it stops short (the image
// ends inside the file), reading takes over from there, and the file is kept as partial with every
// byte the image still holds (what it does not hold is missing or zeros, as the file system says).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "support/Cli.h"
#include "support/Fixtures.h"

namespace salvex::test {
namespace {

namespace fs = std::filesystem;

std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST_F(TempFolderTest, AKernelCopyCutByTheImageEndGoesOnReadingAndKeepsAPartialFile) {
  struct Case {
    const char* fixture;
    const char* file;
  } cases[] = {{"fat32.img.gz", "multi-cluster.bin"}, {"exfat.img.gz", "multi-cluster.bin"}};
  for (const Case& c : cases) {
    const fs::path whole = UnpackedImage(c.fixture);
    const fs::path out = dir / (std::string(c.fixture) + ".whole");
    ASSERT_EQ(Cli({"save", whole.string(), c.file, "--to", out.string()}).ExitCode, 0) << c.fixture;
    const std::string original = Slurp(out / c.file);
    const std::string image = Slurp(whole);
    const size_t at = image.find(original.substr(0, 512));
    ASSERT_NE(at, std::string::npos) << c.fixture;
    const size_t kept = (original.size() / 2) / 4096 * 4096;  // whole clusters of either volume
    const fs::path cut = dir / (std::string(c.fixture) + ".cut");
    fs::copy_file(whole, cut);
    fs::resize_file(cut, at + kept);

    const fs::path partialOut = dir / (std::string(c.fixture) + ".partial");
    CommandResult r = Cli({"save", cut.string(), c.file, "--to", partialOut.string()});
    EXPECT_NE(r.ExitCode, 0) << c.fixture << ": " << r.Out;
    EXPECT_FALSE(fs::exists(partialOut / c.file)) << c.fixture << ": a cut file is never saved as whole";
    const std::string partial = Slurp(partialOut / (std::string(c.file) + ".partial"));
    ASSERT_GE(partial.size(), kept) << c.fixture;
    EXPECT_EQ(partial.substr(0, kept), original.substr(0, kept)) << c.fixture;
  }
}

}  // namespace
}  // namespace salvex::test
