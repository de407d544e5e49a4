#pragma once
#include <QImage>
#include <QString>

namespace salvex::ui {

// Decodes JPEG bytes with libjpeg; a null image when they are no JPEG or are damaged.
QImage DecodeJpeg(const QByteArray& bytes);
// A JPEG from the program's resources (":/pictures/banner.jpg").
QImage LoadJpegResource(const QString& path);

}  // namespace salvex::ui
