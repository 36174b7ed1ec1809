#include "session/SessionLog.h"

#include "platform/OemText.h"
#include "platform/PasswordMask.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <cerrno>
#include <sys/stat.h>
#include <utility>

namespace {

// Makes the folder with the folders above it (0700 each); empty when it is there, otherwise why it is not.
QString makeFolder(const QString& dir)
{
    const QFileInfo info(dir);
    if (info.isDir())
        return QString();
    const QString parent = info.path();
    if (parent != dir && parent != QLatin1String("."))
        if (const QString why = makeFolder(parent); !why.isEmpty())
            return why;
    if (::mkdir(QFile::encodeName(dir).constData(), 0700) != 0 && errno != EEXIST)
        return QStringLiteral("%1: %2").arg(dir, qt_error_string(errno));
    if (!QFileInfo(dir).isDir())
        return QStringLiteral("%1 is not a folder").arg(dir);
    return QString();
}

} // namespace

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
    if (const QString why = makeFolder(dir); !why.isEmpty()) {
        trouble(QStringLiteral("The session log's folder %1 cannot be made: %2").arg(dir, why));
        return;
    }
    ::chmod(QFile::encodeName(dir).constData(), 0700);
    // The site's name as a file name may hold only what every file system takes.
    QString name = site;
    name.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9._-]")), QStringLiteral("_"));
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd_HH-mm-ss"));
    QString path = dir + QLatin1Char('/') + stamp + QLatin1Char('_') + name + QStringLiteral(".log");
    for (int n = 2; QFile::exists(path); ++n)
        path = dir + QLatin1Char('/') + stamp + QLatin1Char('_') + name + QLatin1Char('-') + QString::number(n) +
               QStringLiteral(".log");
    // A file of the same name made since the look above is never written over.
    open(path, QIODevice::NewOnly);
    if (running())
        file_.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

void TSessionLog::startAt(const QString& path)
{
    stop();
    open(path, QIODevice::Truncate);
}

void TSessionLog::open(const QString& path, QIODevice::OpenMode how)
{
    file_.setFileName(path);
    if (!file_.open(QIODevice::WriteOnly | QIODevice::Unbuffered | how))
        trouble(QStringLiteral("The session log %1 cannot be written: %2").arg(path, file_.errorString()));
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
    // A note carries words that came from outside (a daemon's refusal, a site's name): they are written as the
    // daemon's lines are, every control character as \xNN, and the characters that would reorder or break what a
    // reader's terminal shows (bidi controls, line separators, zero-width ones) as \uNNNN.
    const QString decoded = QString::fromUtf8(text.data(), qsizetype(text.size()));
    QString shown;
    shown.reserve(decoded.size());
    for (const QChar c : decoded) {
        const char16_t u = c.unicode();
        if ((u < 32 && u != '\t') || (u >= 0x7F && u <= 0x9F))
            shown += QStringLiteral("\\x") + QString::number(u, 16).toUpper().rightJustified(2, QLatin1Char('0'));
        else if ((u >= 0x200B && u <= 0x200F) || (u >= 0x2028 && u <= 0x202E) || (u >= 0x2066 && u <= 0x2069) ||
                 u == 0xFEFF)
            shown += QStringLiteral("\\u") + QString::number(u, 16).toUpper().rightJustified(4, QLatin1Char('0'));
        else
            shown += c;
    }
    write('-', shown);
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
    // The file is unbuffered: what write() took is with the system, and a full disk says so here, not at the close.
    const qint64 written = file_.write(out);
    if (written < 0)
        trouble(QStringLiteral("The session log %1 cannot be written: %2").arg(file_.fileName(), file_.errorString()));
    else if (written != out.size())
        trouble(QStringLiteral("The session log %1 cannot be written: only %2 of %3 bytes of a line went to the file "
                               "(is the disk full?)")
                    .arg(file_.fileName())
                    .arg(written)
                    .arg(out.size()));
}

void TSessionLog::trouble(const QString& reason)
{
    // A log that failed once is not written on: the next line would only fail again, or leave a hole.
    if (file_.isOpen())
        file_.close();
    if (std::exchange(troubled_, true))
        return;
    if (onTrouble)
        onTrouble(reason + QStringLiteral(". The log-in goes on without it."));
}
