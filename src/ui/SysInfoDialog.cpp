#include "ui/SysInfoDialog.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QScreen>
#include <QSysInfo>
#include <QThread>
#include <QVBoxLayout>

#include "salvex/StringIds.h"
#include "ui/Translate.h"

namespace salvex::ui {

namespace {

// The value of "key: value" lines in a /proc file; empty when the file or key is missing.
QString ProcValue(const char* file, const QString& key) {
  QFile f(file);
  if (!f.open(QIODevice::ReadOnly | QIODevice::Text)) return {};
  // /proc files report a size of 0, so atEnd() would end the loop at once: read them whole.
  for (const QString& line : QString::fromUtf8(f.readAll()).split('\n')) {
    const int colon = line.indexOf(':');
    if (colon > 0 && line.left(colon).trimmed() == key) return line.mid(colon + 1).trimmed();
  }
  return {};
}

// "16,384 MB" from /proc/meminfo's "16777216 kB".
QString Megabytes(const QString& kilobytes) {
  bool ok = false;
  const qulonglong kb = kilobytes.section(' ', 0, 0).toULongLong(&ok);
  return ok ? QLocale().toString(kb / 1024) + " MB" : QString("?");
}

}  // namespace

TSystemFacts ReadSystemFacts(const QWidget* on) {
  TSystemFacts f;
  QString model = ProcValue("/proc/cpuinfo", "model name");
  if (model.isEmpty()) model = QSysInfo::currentCpuArchitecture();
  f.Processor = QString("%1 (%2 × %3)").arg(model).arg(QThread::idealThreadCount()).arg(QSysInfo::currentCpuArchitecture());
  const QScreen* screen = on && on->screen() ? on->screen() : nullptr;
  if (screen) {
    f.Resolution = QString("%1 × %2").arg(screen->size().width()).arg(screen->size().height());
    f.Colours = QString("%1 bit").arg(screen->depth());
  }
  f.PhysicalMemory = Megabytes(ProcValue("/proc/meminfo", "MemTotal"));
  f.FreeMemory = Megabytes(ProcValue("/proc/meminfo", "MemAvailable"));
  f.Version = QSysInfo::prettyProductName();
  f.Build = QSysInfo::kernelType() + " " + QSysInfo::kernelVersion();
  return f;
}

TSysInfoDialog::TSysInfoDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle(Text(txt::SysInfoTitle));
  auto* layout = new QVBoxLayout(this);
  int field = 0;
  auto group = [&](int title, std::initializer_list<int> labels) {
    auto* box = new QGroupBox(Text(title), this);
    auto* form = new QFormLayout(box);
    for (int label : labels) {
      fields_[field] = new QLabel(box);
      fields_[field]->setTextInteractionFlags(Qt::TextSelectableByMouse);
      form->addRow(Text(label), fields_[field++]);
    }
    layout->addWidget(box);
  };
  group(txt::SysInfoProcessor, {txt::SysInfoProcessorType});
  group(txt::SysInfoScreen, {txt::SysInfoResolution, txt::SysInfoColours});
  group(txt::SysInfoMemory, {txt::SysInfoPhysicalMemory, txt::SysInfoFreeMemory});
  group(txt::SysInfoSystem, {txt::SysInfoVersion, txt::SysInfoBuild});
  auto* buttons = new QDialogButtonBox(this);
  buttons->addButton(Text(txt::SysInfoOk), QDialogButtonBox::AcceptRole)->setDefault(true);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::accept);
  layout->addWidget(buttons);
  setMinimumWidth(460);
}

void TSysInfoDialog::Prepare() {
  const TSystemFacts f = ReadSystemFacts(parentWidget() ? parentWidget() : this);
  const QString values[7] = {f.Processor, f.Resolution, f.Colours, f.PhysicalMemory, f.FreeMemory, f.Version, f.Build};
  for (int i = 0; i < 7; ++i) fields_[i]->setText(values[i]);
}

bool TSysInfoDialog::Run() {
  Prepare();
  return exec() == QDialog::Accepted;
}

QString TSysInfoDialog::Field(int index) const { return fields_[index]->text(); }

}  // namespace salvex::ui
