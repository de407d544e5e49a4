#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <fstream>

#include "common/FakeHost.h"
#include "devices/Device.h"
#include "devices/TargetCheck.h"
#include "disk/DeviceRegistry.h"
#include "disk/FakeRawIO.h"

namespace salvex::test {
namespace {

// The /dev node of the block device holding `path`, or "" (tmpfs, overlay).
std::string BlockDeviceOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || major(st.st_dev) == 0) return {};
  std::ifstream uevent("/sys/dev/block/" + std::to_string(major(st.st_dev)) + ":" +
                       std::to_string(minor(st.st_dev)) + "/uevent");
  for (std::string line; std::getline(uevent, line);)
    if (line.rfind("DEVNAME=", 0) == 0) return "/dev/" + line.substr(8);
  return {};
}

struct TargetCheck : ::testing::Test {
  ScopedFakeIO fake;
  FakeHost host;
  ScopedHost scope{host};
  // Registers `path` as a logical drive. The fake layer serves its bytes, so the real device is
  // never read; only its node is looked at.
  TDevice device;
  TDevice& Drive(const std::string& path) {
    fake.io.images[path].bytes.assign(4096, 0);
    device.Kind = KindLogical;
    device.Number = TDeviceRegistry::Instance().AddImage(path, TImageKind::Drive).Number;
    return device;
  }
};

TEST_F(TargetCheck, ImagesNeverCount) {
  std::string image = ::testing::TempDir() + "/salvex-target-check.img";
  std::ofstream(image) << "x";
  TDevice& d = Drive(image);
  EXPECT_FALSE(TargetOnExaminedDevice(d, ::testing::TempDir()));
  EXPECT_TRUE(ConfirmSaveTarget(&d, ::testing::TempDir()));
  EXPECT_TRUE(host.messages.empty());
  std::filesystem::remove(image);
}

TEST_F(TargetCheck, FolderOnTheExaminedPartitionAsksAndNoCancels) {
  std::string dir = std::filesystem::temp_directory_path().string();
  std::string node = BlockDeviceOf(dir);
  if (node.empty() || !std::filesystem::exists(node)) GTEST_SKIP() << "the temporary folder is not on a block device";
  TDevice& d = Drive(node);
  std::string target = dir + "/not-made-yet/deeper";
  EXPECT_TRUE(TargetOnExaminedDevice(d, target));
  host.answers = {TMsgResult::No, TMsgResult::Yes};
  EXPECT_FALSE(ConfirmSaveTarget(&d, target));
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].buttons, TMsgButtons::YesNo);
  EXPECT_NE(host.messages[0].text.find(target), std::string::npos);
  EXPECT_TRUE(ConfirmSaveTarget(&d, target));
}

}  // namespace
}  // namespace salvex::test
