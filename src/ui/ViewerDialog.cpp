#include "ui/ViewerDialog.h"

#include <QDialogButtonBox>
#include <QLocale>
#include <QFontDatabase>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QStringDecoder>
#include <QTabWidget>
#include <QVBoxLayout>

#include "salvex/StringIds.h"
#include "ui/ByteSource.h"
#include "ui/HexDump.h"
#include "ui/Translate.h"

namespace salvex::ui {

namespace {

enum { kTextPage, kHexPage, kPicturePage };

// Only formats the desktop decodes are tried, by their signatures, so that other files are not
// read in full just to fail.
bool LooksLikePicture(const std::vector<uint8_t>& head) {
  auto starts = [&](std::initializer_list<uint8_t> magic) {
    return head.size() >= magic.size() && std::equal(magic.begin(), magic.end(), head.begin());
  };
  return starts({0xFF, 0xD8, 0xFF}) || starts({0x89, 'P', 'N', 'G'}) || starts({'G', 'I', 'F', '8'}) ||
         starts({'B', 'M'});
}

}  // namespace

TViewerDialog::TViewerDialog(QWidget* parent) : QDialog(parent) {
  Tagged(this, txt::ViewerTitle);
  resize(696, 532);
  setSizeGripEnabled(true);
  pages_ = new QTabWidget(this);
  text_ = new QPlainTextEdit(pages_);
  text_->setReadOnly(true);
  text_->setLineWrapMode(QPlainTextEdit::NoWrap);
  text_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  hex_ = new THexDump(pages_);
  hex_->AddressColor = QColor(0, 0, 128);
  hex_->AnsiCharColor = QColor(128, 0, 0);
  pictureArea_ = new QScrollArea(pages_);
  pictureArea_->setAlignment(Qt::AlignCenter);
  picture_ = new QLabel(pictureArea_);
  picture_->setAlignment(Qt::AlignCenter);
  pictureArea_->setWidget(picture_);
  pictureArea_->setWidgetResizable(true);
  pages_->addTab(Tagged(text_, txt::ViewerTextTab), QString());
  pages_->addTab(Tagged(hex_, txt::ViewerHexTab), QString());
  pages_->addTab(Tagged(pictureArea_, txt::ViewerPictureTab), QString());
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(pages_);
  layout->addWidget(buttons);
  connect(pages_, &QTabWidget::currentChanged, this, &TViewerDialog::PageChanged);
  TranslateComponent(this);
}

TViewerDialog::~TViewerDialog() { hex_->SetStream(nullptr); }

void TViewerDialog::Prepare(std::unique_ptr<TByteSource> source, const QString& name, bool hex) {
  hex_->SetStream(nullptr);
  source_ = std::move(source);
  textLoaded_ = false;
  text_->clear();
  TranslateComponent(this);
  setWindowTitle(TextWith(hex ? txt::ViewAsHex : txt::ViewAsText, {name}));
  hex_->setEnabled(false);
  hex_->SetStream(source_.get());
  hex_->setEnabled(true);

  QImage image;
  if (source_ && source_->Size() <= kPictureLimit && LooksLikePicture(ReadHead(*source_, 16))) {
    const std::vector<uint8_t> bytes = ReadHead(*source_, kPictureLimit);
    image = QImage::fromData(bytes.data(), int(bytes.size()));
  }
  picture_->setPixmap(image.isNull() ? QPixmap() : QPixmap::fromImage(image));
  picture_->setToolTip(image.isNull() ? QString() : QString("%1 × %2").arg(image.width()).arg(image.height()));
  pages_->setTabEnabled(kPicturePage, !image.isNull());

  pages_->setCurrentIndex(hex ? kHexPage : kTextPage);
  PageChanged(pages_->currentIndex());
}

bool TViewerDialog::HasPicture() const { return pages_->isTabEnabled(kPicturePage); }

void TViewerDialog::ShowPicturePage() {
  if (HasPicture()) pages_->setCurrentIndex(kPicturePage);
}

bool TViewerDialog::ShowHex(std::unique_ptr<TByteSource> source, const QString& name) {
  Prepare(std::move(source), name, true);
  const bool ok = exec() == QDialog::Accepted;
  Prepare(nullptr, {}, true);
  return ok;
}

bool TViewerDialog::ShowText(std::unique_ptr<TByteSource> source, const QString& name) {
  Prepare(std::move(source), name, false);
  const bool ok = exec() == QDialog::Accepted;
  Prepare(nullptr, {}, true);
  return ok;
}

void TViewerDialog::PageChanged(int index) {
  if (index == kTextPage) {
    LoadText();
    text_->setFocus();
  } else if (index == kHexPage) {
    hex_->setFocus();
  }
}

void TViewerDialog::LoadText() {
  if (textLoaded_ || !source_) return;
  textLoaded_ = true;
  std::vector<uint8_t> bytes = ReadHead(*source_, kTextLimit);
  // A text box stops at a NUL; binary files show their NULs as blanks.
  for (uint8_t& b : bytes)
    if (b == 0) b = ' ';
  const QByteArray raw(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()));
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString text = utf8.decode(raw);
  if (utf8.hasError()) text = QString::fromLatin1(raw);
  if (source_->Size() > kTextLimit)
    text += "\n" + TextWith(txt::ViewerTruncated, {QLocale().toString(qulonglong(kTextLimit >> 20)),
                                                   QLocale().toString(qulonglong(source_->Size()))});
  text_->setPlainText(text);
  text_->moveCursor(QTextCursor::Start);
}

}  // namespace salvex::ui
