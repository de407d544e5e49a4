// NTFS names keep every character; one that cannot (an unpaired surrogate) is tagged with its record
// number so that two names never become one. The names fixture is compared with fls in test_ntfs_oracle.
#include <gtest/gtest.h>

#include <algorithm>

#include "common/FakeHost.h"
#include "ntfs/NTFSDirectory.h"
#include "ntfs/NTFSFile.h"
#include "ntfs/NTFSdrive.h"
#include "ntfs/NtfsImageBuilder.h"

namespace salvex {
namespace {

using test::NtfsImageBuilder;

TEST(NtfsNames, EveryScriptIsKeptAndLossyNamesAreTaggedWithTheirRecord) {
  const std::u16string lossyA{u'x', char16_t(0xD800), u'.', u't', u'x', u't'};
  const std::u16string lossyB{u'x', char16_t(0xDFFF), u'.', u't', u'x', u't'};
  NtfsImageBuilder b;
  b.AddFile(20, 5, u"中文名字.txt", "a");
  b.AddFile(21, 5, u"中文姓名.txt", "b");
  b.AddFile(22, 5, lossyA, "c");
  b.AddFile(23, 5, lossyB, "d");
  b.AddFile(24, 5, u"\U0001F600.txt", "e");
  b.AddDirectory(5, 5, u".",
                 {{20, NtfsImageBuilder::FileName(5, u"中文名字.txt", 1, false)},
                  {21, NtfsImageBuilder::FileName(5, u"中文姓名.txt", 1, false)},
                  {22, NtfsImageBuilder::FileName(5, lossyA, 1, false)},
                  {23, NtfsImageBuilder::FileName(5, lossyB, 1, false)},
                  {24, NtfsImageBuilder::FileName(5, u"\U0001F600.txt", 1, false)}});
  auto image = b.Build();
  test::TMemNTFSdrive d(image);
  ASSERT_TRUE(d.Mount(true));
  d.Root()->ReadChildren();
  std::vector<std::string> names;
  for (auto& c : *d.Root()->Children) names.push_back(static_cast<TNTFSFile*>(c.get())->Name);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"x\xEF\xBF\xBD (MFT 22).txt", "x\xEF\xBF\xBD (MFT 23).txt",
                                             "中文名字.txt", "中文姓名.txt", "\xF0\x9F\x98\x80.txt"}));
}

}  // namespace
}  // namespace salvex
