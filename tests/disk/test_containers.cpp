// Image containers made at run time from the demo disk by qemu-img (qcow2, VMDK, VHD, VHDX) and
// ewfacquire (E01, one file and split into segments): the command line must list and save from
// them exactly as from the raw image. A VMDK descriptor with its extent file is opened from
// another working folder.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

#include "support/Cli.h"
#include "support/Fixtures.h"

namespace salvex::test {
namespace {

namespace fs = std::filesystem;

struct Containers : TempFolderTest {
};

TEST_F(Containers, ListingAndSavedFilesEqualTheRawImage) {
  if (!HaveTool("qemu-img") || !HaveTool("ewfacquire")) GTEST_SKIP() << "qemu-utils or ewf-tools missing";
  const std::string raw = UnpackedImage("demo.img.gz").string();
  auto fat = ReadManifest(FixturePath("demo-fat-manifest.txt"));
  auto ntfs = ReadManifest(FixturePath("demo-ntfs-manifest.txt"));
  const CommandResult rawVolumes = Cli({"volumes", raw});
  ASSERT_EQ(rawVolumes.ExitCode, 0) << rawVolumes.Err;
  ASSERT_NE(rawVolumes.Out.find("DEMONTFS"), std::string::npos) << rawVolumes.Out;

  struct Case {
    std::string Name;  // the file handed to salvex-cli, in dir
    std::vector<std::string> Make;
  };
  const std::string e01 = (dir / "demo-ewf").string(), seg = (dir / "demo-seg").string();
  std::vector<Case> cases = {
      {"demo.qcow2", {"qemu-img", "convert", "-f", "raw", "-O", "qcow2", raw, (dir / "demo.qcow2").string()}},
      {"demo.vmdk", {"qemu-img", "convert", "-f", "raw", "-O", "vmdk", raw, (dir / "demo.vmdk").string()}},
      {"demo-split.vmdk",
       {"qemu-img", "convert", "-f", "raw", "-O", "vmdk", "-o", "subformat=twoGbMaxExtentSparse", raw,
        (dir / "demo-split.vmdk").string()}},
      {"demo.vhd", {"qemu-img", "convert", "-f", "raw", "-O", "vpc", raw, (dir / "demo.vhd").string()}},
      {"demo-fixed.vhd",
       {"qemu-img", "convert", "-f", "raw", "-O", "vpc", "-o", "subformat=fixed,force_size=on", raw,
        (dir / "demo-fixed.vhd").string()}},
      {"demo.vhdx", {"qemu-img", "convert", "-f", "raw", "-O", "vhdx", raw, (dir / "demo.vhdx").string()}},
      {"demo-ewf.E01", {"ewfacquire", "-u", "-q", "-t", e01, raw}},
      {"demo-seg.E01", {"ewfacquire", "-u", "-q", "-S", "1M", "-t", seg, raw}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    CommandResult made = RunCommand(c.Make);
    ASSERT_EQ(made.ExitCode, 0) << made.Out << made.Err;
    std::string image = (dir / c.Name).string();
    CommandResult volumes = Cli({"volumes", image});
    ASSERT_EQ(volumes.ExitCode, 0) << volumes.Err;
    EXPECT_EQ(volumes.Out, rawVolumes.Out);
    fs::path target = dir / ("saved-" + c.Name);
    CommandResult saved = Cli({"save", image, "--volume", "1", "--to", target.string(), "Reports"});
    ASSERT_EQ(saved.ExitCode, 0) << saved.Out << saved.Err;
    EXPECT_EQ(Sha256OfFile(target / "Reports" / "Quarterly.txt"), ntfs["/Reports/Quarterly.txt"].Sha256);
    saved = Cli({"save", image, "--volume", "0", "--to", target.string(), "Letters/Invitation.txt"});
    ASSERT_EQ(saved.ExitCode, 0) << saved.Out << saved.Err;
    EXPECT_EQ(Sha256OfFile(target / "Invitation.txt"), fat["/Letters/Invitation.txt"].Sha256);
  }
  EXPECT_GT(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 20);  // the segments exist

  // A raw disk whose last sector merely starts like a VHD footer stays a raw disk.
  fs::path lookalike = dir / "lookalike.img";
  fs::copy_file(raw, lookalike);
  ASSERT_EQ(RunCommand({"bash", "-c", "printf conectix | dd of='" + lookalike.string() +
                                          "' bs=512 seek=49151 conv=notrunc status=none"})
                .ExitCode,
            0);
  EXPECT_EQ(Cli({"volumes", lookalike.string()}).Out, rawVolumes.Out);

  // A damaged container is refused with its library's reason, never read as a raw disk.
  fs::path broken = dir / "broken.E01";
  fs::copy_file(dir / "demo-ewf.E01", broken);
  fs::resize_file(broken, 100);
  CommandResult r = Cli({"volumes", broken.string()});
  EXPECT_EQ(r.ExitCode, 1);
  EXPECT_NE(r.Err.find("cannot open the EWF image"), std::string::npos) << r.Err;
}

}  // namespace
}  // namespace salvex::test
