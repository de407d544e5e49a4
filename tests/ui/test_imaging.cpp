// Tools > Create disk image through the real dialog: a good source is copied whole with a map of
// only rescued bytes, a source with unreadable sectors leaves bad ranges in the map and in the
// map picture, a cancelled run goes on from its map, and an image added with its map shows the
// map in drive information.
#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <set>
#include <thread>

#include "disk/RawIO.h"
#include "disk/RescueMap.h"
#include "recovery/DeviceSetup.h"
#include "support/Fixtures.h"
#include "ui/DriveInfoDialog.h"
#include "ui/ImageDialog.h"
#include "ui/ImageMaps.h"
#include "ui/MainWindow.h"
#include "ui/MapBar.h"
#include "ui/ModalDriver.h"
#include "ui/StatusWindow.h"
#include "ui/UiTests.h"

using namespace salvex;
using namespace test_ui;

namespace {

// The disk port with chosen 512-byte sectors that fail to read, each read slowed a little so
// that the progress window is seen while the run goes on.
class TFailingIO : public TRawIO {
 public:
  std::set<uint64_t> bad;
  std::chrono::microseconds delay{0};
  std::atomic<int> reads{0};
  int Open(const std::string& path) override { return inner_.Open(path); }
  ssize_t PRead(int fd, void* buffer, size_t length, uint64_t offset) override {
    ++reads;
    if (delay.count()) std::this_thread::sleep_for(delay);
    for (uint64_t s = offset / 512; s * 512 < offset + length; ++s)
      if (bad.count(s)) {
        errno = EIO;
        return -1;
      }
    return inner_.PRead(fd, buffer, length, offset);
  }
  void Close(int fd) override { inner_.Close(fd); }
  bool Size(int fd, uint64_t& bytes) override { return inner_.Size(fd, bytes); }

 private:
  TPosixRawIO inner_;
};

QByteArray Contents(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The map's status lines, "pos size status" each.
std::vector<TRescueBlock> MapBlocks(const QString& path) {
  TRescueMap map;
  std::string why;
  if (!LoadRescueMap(path.toStdString(), map, why)) return {};
  return map.Blocks();
}

bool Activate(ui::TMainWindow& window) {
  window.PresetLanguage = 1000;
  window.PresetDrive = 0;
  bool activated = false;
  window.AfterActivation = [&] { activated = true; };
  window.show();
  return QTest::qWaitFor([&] { return activated; }, 20000);
}

}  // namespace

class ImagingTests : public QObject {
  Q_OBJECT

  // Runs Tools > Create disk image on the first disk into `target`; `whileRunning` is called
  // every few milliseconds while the progress window is up. Returns the closing message.
  QString ImageThroughDialog(ui::TMainWindow& window, const QString& target, int retries,
                             const std::function<void()>& whileRunning = {}) {
    QString message;
    ModalDriver driver([&](QWidget* modal) {
      if (auto* dialog = qobject_cast<ui::TImageDialog*>(modal)) {
        dialog->Pages()->setCurrentIndex(1);
        dialog->PhysicalList()->setCurrentRow(0);
        dialog->TargetEdit()->clear();
        QTest::keyClicks(dialog->TargetEdit(), target);
        dialog->RetriesBox()->setValue(retries);
        Post(dialog->StartButton());
        return true;
      }
      if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        message = box->text();
        box->accept();
        return true;
      }
      return false;
    });
    QTimer sampler;
    if (whileRunning) {
      connect(&sampler, &QTimer::timeout, this, whileRunning);
      sampler.start(5);
    }
    window.Action("MenuCreateImage")->trigger();
    const bool ended = QTest::qWaitFor([&] { return !message.isEmpty() || driver.TimedOut; }, 30000);
    return ended ? message : QString("(no message: the run did not end)");
  }

 private slots:
  void init() { RegisterDevices({test::UnpackedImage("fat16.img.gz").string()}, TImageKind::Disk, false); }
  void cleanup() {
    ui::ClearImageMaps();
    SetRawIO(nullptr);
  }

  void GoodSourceIsCopiedWholeWithOnlyRescuedInTheMap() {
    QTemporaryDir dir;
    ui::TMainWindow window(false);
    QVERIFY(Activate(window));
    const QString target = dir.filePath("disk.img");
    const QString message = ImageThroughDialog(window, target, 1);
    QVERIFY2(message.contains("complete"), qPrintable(message));
    const QByteArray source = Contents(QString::fromStdString(test::UnpackedImage("fat16.img.gz").string()));
    QVERIFY(!source.isEmpty());
    QVERIFY(Contents(target) == source);
    const auto blocks = MapBlocks(target + ".map");
    QCOMPARE(int(blocks.size()), 1);
    QCOMPARE(blocks[0].Status, char(RescueFinished));
    QCOMPARE(blocks[0].Size, uint64_t(source.size()));
  }

  // Unreadable sectors end as bad ranges of the map, drawn red while the run goes on and in drive
  // information once the image is added with its map; everything else equals the source.
  void UnreadableSectorsGiveBadRangesInTheMapAndThePicture() {
    TFailingIO io;
    for (uint64_t s = 3000; s < 3040; ++s) io.bad.insert(s);
    io.bad.insert(20000);
    io.delay = std::chrono::microseconds(3000);
    SetRawIO(&io);
    QTemporaryDir dir;
    ui::TMainWindow window(false);
    QVERIFY(Activate(window));
    const QString target = dir.filePath("failing.img");
    bool barShownBad = false;
    const QString message = ImageThroughDialog(window, target, 1, [&] {
      ui::TStatusWindow* status = window.StatusWindow();
      if (!status->isVisible() || !status->MapBar()->isVisible()) return;
      for (char c : status->MapBar()->Columns(400)) barShownBad |= c == RescueBadSector;
    });
    QVERIFY2(message.contains("could not be read"), qPrintable(message));
    QVERIFY(barShownBad);
    std::vector<TRescueBlock> bad;
    for (const TRescueBlock& b : MapBlocks(target + ".map"))
      if (b.Status != RescueFinished) bad.push_back(b);
    QCOMPARE(int(bad.size()), 2);
    QCOMPARE(bad[0].Status, char(RescueBadSector));
    QCOMPARE(bad[0].Pos, uint64_t(3000 * 512));
    QCOMPARE(bad[0].Size, uint64_t(40 * 512));
    QCOMPARE(bad[1].Pos, uint64_t(20000 * 512));
    QCOMPARE(bad[1].Size, uint64_t(512));
    const QByteArray source = Contents(QString::fromStdString(test::UnpackedImage("fat16.img.gz").string()));
    QByteArray image = Contents(target);
    QCOMPARE(image.size(), source.size());
    for (const TRescueBlock& b : bad) image.replace(qsizetype(b.Pos), qsizetype(b.Size), source.mid(qsizetype(b.Pos), qsizetype(b.Size)));
    QVERIFY(image == source);

    // The image added with its map: drive information draws the same bad ranges.
    SetRawIO(nullptr);
    QString why;
    QVERIFY2(ui::AddImageMap(target.toStdString(), (target + ".map").toStdString(), why), qPrintable(why));
    RegisterDevices({target.toStdString()}, TImageKind::Disk, false);
    QVERIFY(window.ScanDevices());
    QVERIFY(window.Devices().Count() > 0);
    ui::TDriveInfoDialog info(&window);
    info.Prepare(*window.Devices().Items(0));
    QVERIFY(info.MapBar()->isVisibleTo(&info));
    const std::vector<char> columns = info.MapBar()->Columns(int(source.size() / 512));
    QCOMPARE(columns[3000], char(RescueBadSector));
    QCOMPARE(columns[3039], char(RescueBadSector));
    QCOMPARE(columns[3040], char(RescueFinished));
    QCOMPARE(columns[20000], char(RescueBadSector));
    QCOMPARE(columns[100], char(RescueFinished));
  }

  // Cancel keeps a map with what was read; the same target and map again finish the image.
  void CancelledRunGoesOnFromItsMap() {
    TFailingIO io;
    io.delay = std::chrono::microseconds(20000);
    SetRawIO(&io);
    QTemporaryDir dir;
    ui::TMainWindow window(false);
    QVERIFY(Activate(window));
    const QString target = dir.filePath("resumed.img");
    const QString first = ImageThroughDialog(window, target, 1, [&] {
      if (io.reads > 3) window.Status().Cancel();
    });
    QVERIFY2(first.contains("cancelled"), qPrintable(first));
    uint64_t rescued = 0, left = 0;
    for (const TRescueBlock& b : MapBlocks(target + ".map")) (b.Status == RescueFinished ? rescued : left) += b.Size;
    QVERIFY(rescued > 0);
    QVERIFY(left > 0);
    io.delay = std::chrono::microseconds(0);
    const int readsBefore = io.reads;
    const QString second = ImageThroughDialog(window, target, 1);
    QVERIFY2(second.contains("complete"), qPrintable(second));
    // What the first run read is not read again.
    QVERIFY(uint64_t(io.reads - readsBefore) * 1024 * 1024 < left + 4 * 1024 * 1024);
    QVERIFY(Contents(target) == Contents(QString::fromStdString(test::UnpackedImage("fat16.img.gz").string())));
  }
};

int RunImagingTests(int argc, char** argv) {
  ImagingTests tests;
  return QTest::qExec(&tests, argc, argv);
}

#include "test_imaging.moc"
