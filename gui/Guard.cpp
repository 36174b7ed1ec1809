#include "gui/Guard.h"

#include "gui/Prompts.h"
#include "platform/Exceptions.h"
#include "platform/OemText.h"

#include <QPointer>
#include <QStringDecoder>

namespace {

struct ErrorReader {
    QPointer<QObject> owner;
    std::function<void(const QString&)> read;
};

ErrorReader& errorReader()
{
    static ErrorReader reader;
    return reader;
}

} // namespace

void SetErrorReader(QObject* owner, std::function<void(const QString& text)> reader)
{
    if (!reader) {
        if (errorReader().owner == owner)
            errorReader() = ErrorReader();
        return;
    }
    errorReader() = ErrorReader{owner, std::move(reader)};
}

QString ErrorBoxText(const QString& message)
{
    if (!message.isEmpty() && message.back() > QLatin1Char('.'))
        return message + QLatin1Char('.');
    return message;
}

QString ExceptionText(const std::exception& e)
{
    std::string bytes;
    if (const auto* own = dynamic_cast<const Exception*>(&e))
        bytes = own->message();
    else
        bytes = e.what();
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
    if (utf8.hasError())
        text = OemToQString(bytes);
    return text;
}

void ShowException(const std::exception& e)
{
    // An error box that itself fails (no display left at shutdown, say) must not take the program down.
    try {
        QString text = ExceptionText(e);
        if (const auto* hinted = dynamic_cast<const EHintedError*>(&e)) {
            // A daemon's reply keeps its line end; the hint starts on the very next line all the same.
            while (text.endsWith(QLatin1Char('\n')) || text.endsWith(QLatin1Char('\r')))
                text.chop(1);
            text = ErrorBoxText(text) + QLatin1Char('\n') + QString::fromStdString(hinted->hint());
        } else {
            text = ErrorBoxText(text);
        }
        if (const ErrorReader& reader = errorReader(); reader.owner && reader.read)
            reader.read(text);
        Prompts().ErrorBox(text);
    } catch (...) {
    }
}

void ShowException(const std::exception_ptr& failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& e) {
        ShowException(e);
    } catch (...) {
        ShowException(std::exception());
    }
}
