#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

// Decodes a JPEG picture with the JPEG library into an RGB image. A damaged or truncated picture gives a null
// image and, when asked, the library's message; it never ends the program.
QImage DecodeJpeg(const QByteArray& data, QString* error = nullptr);

// Reads a JPEG picture from a file or a Qt resource path (":/art/about.jpg") and decodes it.
QImage LoadJpeg(const QString& path, QString* error = nullptr);
