#include "shell/SessionLog.h"

#include "platform/Exceptions.h"
#include "shell/ReplyText.h"

#include <QDateTime>
#include <QDir>
#include <QRegularExpression>

#include <cstdio>
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
    write(sent ? '>' : '<', MaskedLine(text));
}

void TSessionLog::note(std::string_view text)
{
    write('-', text);
}

void TSessionLog::write(char direction, std::string_view text)
{
    if (!file_.isOpen())
        return;
    QByteArray out = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz ")).toLatin1();
    out += direction;
    out += ' ';
    // The daemon's bytes as they came, but for the control characters, which would make the log no text file.
    for (const unsigned char c : text) {
        if ((c < 32 && c != '\t') || c == 127) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
        } else {
            out += char(c);
        }
    }
    out += '\n';
    file_.write(out);
}
