#include <QApplication>
#include <QBuffer>
#include <QImage>
#include <QItemSelectionModel>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

#include "recovery/DeviceSetup.h"
#include "support/Fixtures.h"
#include "fat/FATFile.h"
#include "ntfs/NTFSFile.h"
#include "ui/ByteSource.h"
#include "ui/FATSelectDialog.h"
#include "ui/FileListModel.h"
#include "ui/HexDump.h"
#include "ui/MainWindow.h"
#include "ui/PropertiesDialog.h"
#include "ui/UiTests.h"
#include "ui/ViewerDialog.h"
#include "ui/DriveDialog.h"
#include <QFile>
#include <QPushButton>

using namespace salvex;

namespace {

// Bytes are their offset's low byte; every read is recorded.
class TPatternSource : public ui::TByteSource {
 public:
  explicit TPatternSource(uint64_t size) : size_(size) {}
  uint64_t Size() const override { return size_; }
  size_t ReadAt(uint64_t offset, uint8_t* buffer, size_t count) override {
    Reads.push_back({offset, count});
    if (offset >= size_) return 0;
    const size_t n = size_t(std::min<uint64_t>(count, size_ - offset));
    for (size_t i = 0; i < n; ++i) buffer[i] = uint8_t(offset + i);
    return n;
  }
  std::vector<std::pair<uint64_t, size_t>> Reads;

 private:
  uint64_t size_;
};

class TMemorySource : public ui::TByteSource {
 public:
  explicit TMemorySource(QByteArray bytes) : bytes_(std::move(bytes)) {}
  uint64_t Size() const override { return uint64_t(bytes_.size()); }
  size_t ReadAt(uint64_t offset, uint8_t* buffer, size_t count) override {
    if (offset >= Size()) return 0;
    const size_t n = size_t(std::min<uint64_t>(count, Size() - offset));
    std::memcpy(buffer, bytes_.constData() + offset, n);
    return n;
  }

 private:
  QByteArray bytes_;
};

// Widens the control until it lays out `bytes` per line (the width depends on the font).
void WidenTo(ui::THexDump& hex, int bytes) {
  for (int w = 40; w < 4000 && hex.BytesPerLine() != bytes; ++w) hex.resize(w, 300);
}

}  // namespace

class ViewerTests : public QObject {
  Q_OBJECT
 private slots:
  // A 4 GiB file opens at once: the layout counts 2^28 lines, the thumb keeps its fixed range,
  // and the last line is reached by thumb and by key, with only aligned 2048-byte reads.
  void HexDumpOfFourGiB() {
    TPatternSource source(uint64_t(1) << 32);
    ui::THexDump hex;
    hex.show();
    WidenTo(hex, 16);
    QCOMPARE(hex.BytesPerLine(), 16);
    hex.SetStream(&source);
    QCOMPARE(hex.LineCount(), int64_t(1) << 28);
    QCOMPARE(hex.ScrollFactor(), 4096.0);
    QCOMPARE(hex.verticalScrollBar()->maximum(), ui::THexDump::kThumbRange);

    hex.ThumbTo(ui::THexDump::kThumbRange);
    QCOMPARE(hex.TopLine(), int64_t(65535) * 4096);
    QCOMPARE(hex.verticalScrollBar()->value(), ui::THexDump::kThumbRange);
    QTest::keyClick(&hex, Qt::Key_End);
    QCOMPARE(hex.CursorLine(), (int64_t(1) << 28) - 1);
    QCOMPARE(hex.TopLine(), hex.CursorLine() + 2 - hex.VisibleLines());
    const auto last = hex.LineTexts(hex.LineCount() - 1);
    QCOMPARE(last.Address, QString("FFFFFFF0h"));
    QCOMPARE(last.Hex, QString("F0 F1 F2 F3 F4 F5 F6 F7 F8 F9 FA FB FC FD FE FF"));
    QCOMPARE(last.Chars.front(), QChar(0xF0));
    // C1 control bytes show as dots, as C0 ones do, rather than as boxes.
    QCOMPARE(hex.LineTexts(8).Chars, QString(16, '.'));
    QTest::keyClick(&hex, Qt::Key_Home);
    QCOMPARE(hex.TopLine(), int64_t(0));
    QTest::keyClick(&hex, Qt::Key_Up);  // clamped at the first line
    QCOMPARE(hex.CursorLine(), int64_t(0));
    hex.repaint();

    QVERIFY(!source.Reads.empty());
    QVERIFY(source.Reads.size() < 100);
    for (const auto& [offset, count] : source.Reads) {
      QCOMPARE(offset % 2048, uint64_t(0));
      QCOMPARE(count, size_t(2048));
    }

    // Too narrow for three columns still shows a byte a line: 2^32 lines, within the thumb range.
    hex.resize(20, 300);
    QCOMPARE(hex.BytesPerLine(), 1);
    QCOMPARE(hex.LineCount(), int64_t(1) << 32);
    QCOMPARE(hex.verticalScrollBar()->maximum(), ui::THexDump::kThumbRange);
    hex.ThumbTo(ui::THexDump::kThumbRange);
    QCOMPARE(hex.TopLine(), int64_t(65535) << 16);
  }

  // Short files: the last line holds the remainder; a line across a block boundary takes its
  // rest from the next block; without the address the hex starts at the left edge.
  void HexDumpLines() {
    TPatternSource small(20);
    ui::THexDump hex;
    hex.show();
    WidenTo(hex, 16);
    hex.SetStream(&small);
    QCOMPARE(hex.LineCount(), int64_t(2));
    QCOMPARE(hex.LineTexts(1).Hex, QString("10 11 12 13"));
    QCOMPARE(hex.LineTexts(1).Address, QString("      10h"));
    QVERIFY(hex.LineTexts(2).Hex.isEmpty());
    QCOMPARE(hex.verticalScrollBar()->maximum(), 1);

    TPatternSource big(5000);
    hex.SetStream(&big);
    WidenTo(hex, 12);
    QCOMPARE(hex.BytesPerLine(), 12);
    // Line 170 spans 2040..2051.
    QCOMPARE(hex.LineTexts(170).Hex, QString("F8 F9 FA FB FC FD FE FF 00 01 02 03"));
    QCOMPARE(hex.LineCount(), int64_t(417));

    hex.SetShowAddress(false);
    QCOMPARE(hex.AddressColumns(), 0);
    QVERIFY(hex.LineTexts(0).Address.isEmpty());
    QVERIFY(hex.BytesPerLine() >= 12);
  }

  // The viewer shows a PNG as a picture and its bytes as hex; text that is no picture has no
  // picture page.
  void ViewerPages() {
    QImage image(40, 30, QImage::Format_RGB32);
    image.fill(Qt::red);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    QVERIFY(image.save(&buffer, "PNG"));

    ui::TViewerDialog viewer;
    viewer.Prepare(std::make_unique<TMemorySource>(png), "red.png", true);
    QCOMPARE(viewer.windowTitle(), QString("View as hex: red.png"));
    QVERIFY(viewer.HasPicture());
    QVERIFY(viewer.Hex()->LineTexts(0).Hex.startsWith("89"));

    viewer.Prepare(std::make_unique<TMemorySource>("hello\nworld\n"), "a.txt", false);
    QVERIFY(!viewer.HasPicture());
    QCOMPARE(viewer.Pages()->currentWidget(), viewer.TextBox());
    QCOMPARE(viewer.TextBox()->toPlainText(), QString("hello\nworld\n"));
  }

  // The view command on a FAT volume asks for the FAT first, then shows the file's bytes.
  void ViewCommandOnFAT() {
    RegisterDevices({test::UnpackedImage("fat12.img.gz").string()}, TImageKind::Auto, false);
    ui::TMainWindow window(false);
    window.PresetLanguage = 1000;
    window.PresetDrive = 0;
    bool activated = false;
    window.AfterActivation = [&] { activated = true; };
    window.show();
    QTRY_VERIFY_WITH_TIMEOUT(activated, 10000);
    ui::TFileListModel* model = window.ListModel();
    int row = -1;
    for (int r = 0; r < model->rowCount(); ++r)
      if (model->data(model->index(r, 0), Qt::DisplayRole).toString().compare("readme.txt", Qt::CaseInsensitive) == 0)
        row = r;
    QVERIFY(row >= 0);
    window.Selection()->select(model->index(row, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);

    QString title, text;
    bool askedFAT = false;
    QTimer::singleShot(0, [&] {
      auto* fat = qobject_cast<ui::TFATSelectDialog*>(QApplication::activeModalWidget());
      if (!fat) return;
      askedFAT = fat->Choice()->currentIndex() == 1;  // Root preselects the volume's FAT
      QTimer::singleShot(0, [&] {
        auto* viewer = qobject_cast<ui::TViewerDialog*>(QApplication::activeModalWidget());
        if (!viewer) return;
        title = viewer->windowTitle();
        text = viewer->TextBox()->toPlainText();
        viewer->accept();
      });
      fat->accept();
    });
    window.Action("MenuViewAsText")->trigger();
    QVERIFY(askedFAT);
    QCOMPARE(title.toLower(), QString("view as text: readme.txt"));
    QCOMPARE(text.size(), 700);

    // Properties: the name and cluster are taken, a size that is no number keeps the old one.
    auto* file = dynamic_cast<TFATFile*>(model->ObjectAt(row));
    QVERIFY(file);
    const QString firstCluster = QString::number(file->FirstCluster);
    QString shownCluster;
    QTimer::singleShot(0, [&] {
      auto* dialog = qobject_cast<ui::TPropertiesDialog*>(QApplication::activeModalWidget());
      if (!dialog) return;
      shownCluster = dialog->ClusterEdit()->text();
      dialog->NameEdit()->setText("renamed.txt");
      dialog->ClusterEdit()->setText("5");
      dialog->SizeEdit()->setText("12x");
      dialog->accept();
    });
    window.Action("MenuProperties")->trigger();
    QCOMPARE(shownCluster, firstCluster);
    QCOMPARE(file->Name, std::string("renamed.txt"));
    QCOMPARE(file->FirstCluster, uint32_t(5));
    QCOMPARE(file->Size, uint64_t(700));
    QCOMPARE(model->data(model->index(row, 0), Qt::DisplayRole).toString(), QString("renamed.txt"));
  }

  // A file listed through its record shows cluster 0, disabled, and keeps its start on OK; one
  // found by the cluster scan takes the new start.
  void PropertiesOfNTFSFiles() {
    TNTFSFile byRecord;
    byRecord.MFTNumber = 40;
    byRecord.StartCluster = 77;
    ui::TItemFields fields;
    QVERIFY(ui::ReadItemFields(byRecord, fields));
    QCOMPARE(fields.Cluster, uint32_t(0));
    QVERIFY(!fields.ClusterEnabled);
    fields.Cluster = 9;
    ui::WriteItemFields(byRecord, fields);
    QCOMPARE(byRecord.StartCluster, int64_t(77));

    TNTFSFile found;
    found.MFTNumber = -1;
    found.StartCluster = 0x1'0000'0123;
    QVERIFY(ui::ReadItemFields(found, fields));
    QCOMPARE(fields.Cluster, uint32_t(0x123));
    QVERIFY(fields.ClusterEnabled);
    fields.Cluster = 9;
    ui::WriteItemFields(found, fields);
    QCOMPARE(found.StartCluster, int64_t(9));
  }
};

int RunViewerTests(int argc, char** argv) {
  ViewerTests tests;
  return QTest::qExec(&tests, argc, argv);
}

#include "test_viewer.moc"
