#include "shell/SessionLog.h"

#include "platform/Exceptions.h"
#include "platform/OemText.h"
#include "shell/ReplyText.h"

#include <QDateTime>
#include <QDir>
#include <QRegularExpression>

#include <sys/stat.h>

QString TSessionLog::folder()
{
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty())
        state = QDir::homePath() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/kolvane/sessions");
}

void TSessionLog::start(const QString& site)
{
    stop();
    const QString dir = folder();
    if (!QDir().mkpath(dir))
        throw Exception("The session log's folder " + dir.toStdString() + " cannot be made");
    ::chmod(QFile::encodeName(dir).constData(), 0700);
    // The site's name as a file name may hold only what every file system takes.
    QString name = site;
    name.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9._-]")), QStringLiteral("_"));
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd_HH-mm-ss"));
    QString path = dir + QLatin1Char('/') + stamp + QLatin1Char('_') + name + QStringLiteral(".log");
    for (int n = 2; QFile::exists(path); ++n)
        path = dir + QLatin1Char('/') + stamp + QLatin1Char('_') + name + QLatin1Char('-') + QString::number(n) +
               QStringLiteral(".log");
    file_.setFileName(path);
    if (!file_.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        throw Exception("The session log " + path.toStdString() +
                        " cannot be written: " + file_.errorString().toStdString());
    file_.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

void TSessionLog::stop()
{
    if (file_.isOpen())
        file_.close();
}

void TSessionLog::line(bool sent, std::string_view text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.remove_suffix(1);
    // The daemon's lines read as the page boxes show them (code page 437, its tables' line drawing included); what
    // the console sent as the operator typed it (Latin-1). Control characters are written as \xNN, so that the log
    // stays a text file.
    const std::string masked = MaskedLine(text);
    QString shown;
    std::size_t from = 0;
    const auto decode = [&](std::size_t to) {
        const std::string_view part = std::string_view(masked).substr(from, to - from);
        shown += sent ? Latin1ToQString(part) : OemToQString(part);
    };
    for (std::size_t i = 0; i < masked.size(); ++i) {
        const auto c = static_cast<unsigned char>(masked[i]);
        if ((c < 32 && c != '\t') || c == 127) {
            decode(i);
            shown += QStringLiteral("\\x") + QString::number(c, 16).toUpper().rightJustified(2, QLatin1Char('0'));
            from = i + 1;
        }
    }
    decode(masked.size());
    write(sent ? '>' : '<', shown);
}

void TSessionLog::note(std::string_view text)
{
    write('-', QString::fromUtf8(text.data(), qsizetype(text.size())));
}

void TSessionLog::write(char direction, const QString& text)
{
    if (!file_.isOpen())
        return;
    QByteArray out = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz ")).toLatin1();
    out += direction;
    out += ' ';
    out += text.toUtf8();
    out += '\n';
    file_.write(out);
}
