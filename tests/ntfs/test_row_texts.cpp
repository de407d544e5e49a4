// Texts the rows and messages of both file systems show come from the string table of the chosen
// language (German here, so that a fixed English text shows).
#include <gtest/gtest.h>

#include "common/FakeHost.h"
#include "common/StringTable.h"
#include "fat/FATDirectory.h"
#include "fat/FatImage.h"
#include "ntfs/NTFSDirectory.h"
#include "ntfs/NtfsImageBuilder.h"

namespace salvex {
namespace {

struct German {
  int saved = LanguageBase;
  German() { LanguageBase = 3000; }
  ~German() { LanguageBase = saved; }
};

TEST(RowTexts, ConditionFolderTypeAndMountFailureFollowTheLanguage) {
  German german;
  test::FakeHost host;
  ScopedHost scope(host);
  ASSERT_EQ(LoadText(758), "Dateiordner");
  EXPECT_EQ(ConditionText(ItemDeleted, 1), LoadText(726));
  EXPECT_EQ(ConditionText(ItemDeleted, 2), LoadText(727));
  EXPECT_NE(LoadText(727), "poor");
  // The type column where the system knows no name for the type (a stream has no extension).
  EXPECT_EQ(host.THost::TypeName("notes.txt"), "TXT-Datei");
  EXPECT_EQ(host.THost::TypeName("notes.txt:big"), "Datei");

  // A FAT folder row's type column.
  test::FatImage img{test::FatGeometry{}};
  img.MakeDirCluster(5, 0);
  img.SetFAT(2, 0xFFF);
  img.SetFAT(5, 0xFFF);
  img.AddToDir(0, test::FatImage::Record("DOCS       ", 0x10, 5, 0));
  test::MountedFat m;
  m.Mount(img.bytes);
  ASSERT_TRUE(m.mounted);
  m.drive->Root()->ReadChildren(false, false);
  const TListRow row = m.drive->Root()->ListRow(*(*m.drive->Root()->Children)[0]);
  ASSERT_EQ(row.Cells.size(), 5u);
  EXPECT_EQ(row.Cells[4], "Dateiordner");

  // An NTFS volume whose boot sector is gone.
  test::NtfsImageBuilder b;
  auto image = b.Build();
  std::fill(image.begin(), image.begin() + 512, 0);
  test::TMemNTFSdrive d(image);
  EXPECT_FALSE(d.Mount(false));
  EXPECT_TRUE(host.messages.empty());  // the desktop program shows the note
  ASSERT_NE(d.MountFailure(), nullptr);
  EXPECT_TRUE(d.MountFailure()->Message.starts_with("Das Volume kann nicht geöffnet werden: ")) << d.MountFailure()->Message;
}

}  // namespace
}  // namespace salvex
