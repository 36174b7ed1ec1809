#include "gui/Jpeg.h"

#include <QFile>

#include <csetjmp>
#include <cstdio>
#include <jpeglib.h>

namespace {

// The library's default error handler ends the process; ours jumps back to the decoder with the message.
struct ErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void onError(j_common_ptr info)
{
    auto* manager = reinterpret_cast<ErrorManager*>(info->err);
    (*info->err->format_message)(info, manager->message);
    std::longjmp(manager->jump, 1);
}

void onMessage(j_common_ptr, int) {} // warnings of a slightly damaged picture are not worth a word

} // namespace

namespace {

// The decoding proper. Nothing with a destructor lives in this frame: the library's errors longjmp back to the
// setjmp below, and the picture is written only through a pointer into the caller's frame.
bool decodeInto(jpeg_decompress_struct* info, ErrorManager* errors, const QByteArray* data, QImage* out)
{
    if (setjmp(errors->jump))
        return false;
    jpeg_create_decompress(info);
    jpeg_mem_src(info, reinterpret_cast<const unsigned char*>(data->constData()),
                 static_cast<unsigned long>(data->size()));
    jpeg_read_header(info, TRUE);
    info->out_color_space = JCS_RGB;
    jpeg_start_decompress(info);
    if (info->output_components != 3) {
        std::snprintf(errors->message, sizeof errors->message, "Unsupported JPEG picture");
        return false;
    }
    *out = QImage(static_cast<int>(info->output_width), static_cast<int>(info->output_height), QImage::Format_RGB888);
    if (out->isNull()) {
        std::snprintf(errors->message, sizeof errors->message, "JPEG picture too large");
        return false;
    }
    while (info->output_scanline < info->output_height) {
        JSAMPROW row = out->scanLine(static_cast<int>(info->output_scanline));
        jpeg_read_scanlines(info, &row, 1);
    }
    jpeg_finish_decompress(info);
    return true;
}

} // namespace

QImage DecodeJpeg(const QByteArray& data, QString* error)
{
    if (data.isEmpty()) {
        if (error)
            *error = QStringLiteral("Empty JPEG data");
        return QImage();
    }
    jpeg_decompress_struct info{};
    ErrorManager errors{};
    info.err = jpeg_std_error(&errors.pub);
    errors.pub.error_exit = onError;
    errors.pub.emit_message = onMessage;

    QImage image;
    const bool ok = decodeInto(&info, &errors, &data, &image);
    jpeg_destroy_decompress(&info);
    if (!ok) {
        if (error)
            *error = QString::fromLocal8Bit(errors.message);
        return QImage();
    }
    if (error)
        error->clear();
    return image;
}

QImage LoadJpeg(const QString& path, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = file.errorString();
        return QImage();
    }
    return DecodeJpeg(file.readAll(), error);
}
