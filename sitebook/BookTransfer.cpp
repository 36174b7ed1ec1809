#include "sitebook/BookTransfer.h"

#include "platform/ConnectPath.h"
#include "platform/Exceptions.h"
#include "platform/OemText.h"
#include "platform/SettingsStore.h"
#include "sitebook/MasterKey.h"
#include "sitebook/SiteBook.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QXmlStreamReader>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace {

constexpr const char* Format = "kolvane-sites";
constexpr int Version = 2;
// FileZilla nests folders as deep as its operator likes; nobody files a site a hundred folders down.
constexpr int FolderDepthLimit = 100;

struct Incoming {
    QString name;
    SiteBook::Record record;
};

QString shown(const QString& name)
{
    return SiteBook::shownName(name);
}

QString text(const std::string& bytes)
{
    return Latin1ToQString(bytes);
}

// A site object in one canonical form, the associated data of its seal: the keys in order, every string by its
// UTF-16 code units, numbers as the reader reads them. Two objects that read alike give the same form; any other
// two do not.
void canonical(const QJsonValue& value, QByteArray& out)
{
    switch (value.type()) {
    case QJsonValue::Bool:
        out += value.toBool() ? "true" : "false";
        break;
    case QJsonValue::Double: {
        const double number = value.toDouble();
        if (std::trunc(number) == number && std::fabs(number) < 9007199254740992.0)
            out += QByteArray::number(qint64(number));
        else
            out += QByteArray::number(number, 'g', 17);
        break;
    }
    case QJsonValue::String:
        out += '"';
        for (const QChar c : value.toString()) {
            if (c.unicode() >= 0x20 && c.unicode() < 0x7F && c != QLatin1Char('"') && c != QLatin1Char('\\'))
                out += char(c.unicode());
            else
                out += "\\u" + QByteArray::number(c.unicode(), 16).rightJustified(4, '0');
        }
        out += '"';
        break;
    case QJsonValue::Array: {
        out += '[';
        const QJsonArray array = value.toArray();
        for (qsizetype i = 0; i < array.size(); ++i) {
            if (i > 0)
                out += ',';
            canonical(array[i], out);
        }
        out += ']';
        break;
    }
    case QJsonValue::Object: {
        out += '{';
        const QJsonObject object = value.toObject();
        bool first = true;
        for (auto it = object.begin(); it != object.end(); ++it) { // QJsonObject keeps its keys in order
            if (!first)
                out += ',';
            first = false;
            canonical(it.key(), out);
            out += ':';
            canonical(it.value(), out);
        }
        out += '}';
        break;
    }
    default:
        out += "null";
    }
}

// The values of a site object that hold seals. Each seal binds its secret to the format, its version, the value's
// own name (so two seals never stand in for each other) and the whole site object but its seals: every value added
// to a site later is covered without more ado, and a later secret is one more name here.
constexpr const char* SealFields[] = {"password", "proxyPassword"};

std::string sealContext(QJsonObject site, const char* field)
{
    for (const char* seal : SealFields)
        site.remove(QLatin1String(seal));
    QByteArray out = QByteArray(Format) + " " + QByteArray::number(Version) + " " + field + " ";
    canonical(site, out);
    return out.toStdString();
}

bool fitsLatin1(const QString& text)
{
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x100; });
}

// A site of an export, read as the file has it; why says what is wrong with it when it cannot come in.
SiteBook::Record siteOf(const QJsonObject& site, QString& why)
{
    SiteBook::Record r = SiteBook::NewSite();
    const QJsonValue port = site.value(QStringLiteral("port"));
    if (port.isString())
        r.port = QStringToLatin1(port.toString());
    else if (port.isDouble() && port.toDouble() == std::trunc(port.toDouble()) && std::fabs(port.toDouble()) < 1e6)
        r.port = std::to_string(qint64(port.toDouble()));
    else if (!port.isUndefined())
        why = QStringLiteral("the port is not a number from 1 to 65535");
    const QString host = site.value(QStringLiteral("host")).toString();
    const QString login = site.value(QStringLiteral("login")).toString();
    const QString via = site.value(QStringLiteral("connectVia")).toString();
    if (!fitsLatin1(host) || !fitsLatin1(login) || !fitsLatin1(via))
        why = QStringLiteral("its host, login or connection path holds characters that are not Latin-1, which the "
                             "console sends as '?'");
    r.host = QStringToLatin1(host);
    r.login = QStringToLatin1(login);
    r.connectVia = QStringToLatin1(via);
    const std::string security = site.value(QStringLiteral("security")).toString().toStdString();
    r.security = SiteBook::securityFromWord(security).value_or(TFtpSecurity::ExplicitRequired);
    const std::string data = site.value(QStringLiteral("data")).toString().toStdString();
    r.dataMode = SiteBook::dataModeFromWord(data).value_or(TDataMode::PassiveElseActive);
    r.certificate = site.value(QStringLiteral("certificate")).toString().toUpper().toStdString();
    const QJsonValue timeout = site.value(QStringLiteral("replyTimeout"));
    if (timeout.isDouble() && timeout.toDouble() == std::trunc(timeout.toDouble()) &&
        std::fabs(timeout.toDouble()) < 1e9)
        r.replyTimeout = int(timeout.toDouble());
    else if (!timeout.isUndefined())
        why = QStringLiteral("the reply time-out is not a number of seconds");
    r.folder = site.value(QStringLiteral("folder")).toString().toStdString();
    r.reconnect = site.value(QStringLiteral("reconnect")).toBool();
    r.passwordAsked = site.value(QStringLiteral("askPassword")).toBool();
    return r;
}

// An export, read whole before anything is written.
std::vector<Incoming> readExport(const QJsonObject& root, const std::string& passphrase, BookTransfer::Report& report)
{
    const int version = root.value(QStringLiteral("version")).toInt();
    if (version != 1 && version != Version)
        throw Exception("The file is a Kolvane site book export of a version this console does not read");
    const QString check = root.value(QStringLiteral("passwords")).toString();
    std::optional<MasterKey::Key> key;
    if (version == 1 && !check.isEmpty()) {
        report.notes << QStringLiteral(
            "The file was written by an earlier Kolvane, whose seals bind a password to the site's name only: an "
            "edited host or security would take the password elsewhere. The sites came in without their passwords, "
            "and each asks for its password at log-in; export the book again to move the passwords too.");
    } else if (!check.isEmpty() && !passphrase.empty()) {
        if (const std::optional<std::string> cost = MasterKey::costProblem(check.toStdString()))
            throw Exception("The file's passwords cannot be opened: " + *cost + "; nothing was imported");
        key = MasterKey::unlock(check.toStdString(), passphrase);
        if (!key)
            throw Exception("The passphrase does not open the passwords of this file; nothing was imported");
    } else if (!check.isEmpty()) {
        report.notes << QStringLiteral("No passphrase given: the sites came in without their passwords, and each asks "
                                       "for its password at log-in.");
    }
    const QJsonValue sites = root.value(QStringLiteral("sites"));
    if (!sites.isArray())
        throw Exception("The file is damaged: it holds no list of sites");
    std::vector<Incoming> incoming;
    const QJsonArray list = sites.toArray();
    for (qsizetype i = 0; i < list.size(); ++i) {
        const QJsonObject site = list[i].toObject();
        Incoming in;
        in.name = site.value(QStringLiteral("name")).toString();
        if (!list[i].isObject() || in.name.isEmpty()) {
            report.skipped << QStringLiteral("site %1 of the file: it has no name").arg(i + 1);
            continue;
        }
        QString why;
        in.record = siteOf(site, why);
        if (key) {
            const auto opened = [&](const char* field) {
                return MasterKey::open(*key, site.value(QLatin1String(field)).toString().toStdString(),
                                       sealContext(site, field));
            };
            const std::optional<std::string> password = opened("password");
            // A site with a connection path has its proxy's password sealed beside its own, an empty one too.
            const std::optional<std::string> proxyPassword =
                site.contains(QStringLiteral("connectVia")) ? opened("proxyPassword") : std::string();
            if (!password || !proxyPassword) {
                report.skipped << QStringLiteral("%1: the record was changed after it was exported (it no longer "
                                                 "matches its seal), so none of it was imported")
                                      .arg(shown(in.name));
                continue;
            }
            in.record.password = in.record.passwordAsked ? std::string() : *password;
            in.record.proxyPassword = *proxyPassword;
        } else {
            in.record.passwordAsked = true; // no password came in: it is asked for, never sent empty
        }
        // A proxy's password that did not come in (no passphrase, or the export could not have it) is said.
        if (const std::optional<ConnectPath> path = parseConnectPath(in.record.connectVia);
            path && !path->user.empty() && in.record.proxyPassword.empty() && why.isEmpty())
            report.notes << QStringLiteral("%1: the password of its proxy did not come in; type it in SiTES "
                                           "(CONNECT ViA) before the site is used")
                                .arg(shown(in.name));
        if (!why.isEmpty()) {
            report.skipped << shown(in.name) + QStringLiteral(": ") + why;
            continue;
        }
        incoming.push_back(std::move(in));
    }
    return incoming;
}

// One FileZilla site, read to the end of its element; none when it is no FTP site or cannot come in.
std::optional<Incoming> readServer(QXmlStreamReader& xml, const QStringList& folders, BookTransfer::Report& report)
{
    QMap<QString, QString> fields;
    QString passEncoding;
    while (xml.readNextStartElement()) {
        const QString field = xml.name().toString();
        if (field == QLatin1String("Pass"))
            passEncoding = xml.attributes().value(QStringLiteral("encoding")).toString();
        fields[field] = xml.readElementText(QXmlStreamReader::SkipChildElements);
    }
    Incoming in;
    in.name = fields.value(QStringLiteral("Name")).trimmed();
    const int protocol = fields.value(QStringLiteral("Protocol"), QStringLiteral("0")).toInt();
    if (in.name.isEmpty()) {
        report.skipped << QStringLiteral("a site of the file: it has no name");
        return std::nullopt;
    }
    if (protocol != 0 && protocol != 3 && protocol != 4 && protocol != 6) {
        report.skipped << QStringLiteral("%1: not an FTP site (SFTP or another protocol)").arg(shown(in.name));
        return std::nullopt;
    }
    const QString host = fields.value(QStringLiteral("Host"));
    const QString user = fields.value(QStringLiteral("User"));
    if (!fitsLatin1(host) || !fitsLatin1(user)) {
        report.skipped << QStringLiteral("%1: its host or login holds characters that are not Latin-1, which the "
                                         "console sends as '?'")
                              .arg(shown(in.name));
        return std::nullopt;
    }
    SiteBook::Record& r = in.record;
    r = SiteBook::NewSite();
    r.host = QStringToLatin1(host);
    r.port = QStringToLatin1(fields.value(QStringLiteral("Port"), QStringLiteral("21")));
    r.security = protocol == 3   ? TFtpSecurity::Implicit
                 : protocol == 4 ? TFtpSecurity::ExplicitRequired
                 : protocol == 6 ? TFtpSecurity::Plain
                                 : TFtpSecurity::ExplicitIfOffered;
    const QString mode = fields.value(QStringLiteral("PasvMode"));
    r.dataMode = mode == QLatin1String("MODE_ACTIVE")    ? TDataMode::Active
                 : mode == QLatin1String("MODE_PASSIVE") ? TDataMode::Passive
                                                         : TDataMode::PassiveElseActive;
    // 0 anonymous, 1 normal, 2 ask for the password, 3 interactive, 4 with an account.
    const int logon = fields.value(QStringLiteral("Logontype"), QStringLiteral("1")).toInt();
    r.login = QStringToLatin1(logon == 0 ? QStringLiteral("anonymous") : user);
    const bool hasPass = fields.contains(QStringLiteral("Pass"));
    if (logon == 0) {
        r.password = "anonymous@";
    } else if (logon != 2 && logon != 3 && hasPass && passEncoding == QLatin1String("base64")) {
        r.password = QByteArray::fromBase64(fields.value(QStringLiteral("Pass")).toLatin1()).toStdString();
    } else if (logon != 2 && logon != 3 && hasPass && passEncoding.isEmpty()) {
        r.password = QStringToLatin1(fields.value(QStringLiteral("Pass")));
    } else {
        if (logon != 2 && logon != 3 && hasPass)
            report.notes << QStringLiteral("%1: its password is sealed with FileZilla's master password and did not "
                                           "come in; it is asked at log-in")
                                .arg(shown(in.name));
        r.passwordAsked = true;
    }
    r.folder = folders.join(QLatin1Char('/')).toStdString();
    return in;
}

// A FileZilla site manager file: its folders are folders here, its base64 passwords passwords. The folders are
// walked with a list of the open ones rather than by recursion, so no nesting can run the stack out; one nested
// deeper than FolderDepthLimit is refused.
std::vector<Incoming> readFileZilla(const QByteArray& file, BookTransfer::Report& report)
{
    std::vector<Incoming> incoming;
    QXmlStreamReader xml(file);
    QStringList folders; // the open folders, outermost first
    bool naming = false; // the last open folder's name is still being read: the text before its first child
    QString pendingName;
    bool servers = false;
    auto named = [&] {
        if (naming)
            folders.last() = pendingName.trimmed().replace(QLatin1Char('/'), QLatin1Char('_'));
        naming = false;
    };
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isCharacters()) {
            if (naming)
                pendingName += xml.text();
        } else if (xml.isEndElement()) {
            if (xml.name() == QLatin1String("Folder") && !folders.isEmpty()) {
                named();
                folders.removeLast();
            }
        } else if (xml.isStartElement()) {
            named();
            if (xml.name() == QLatin1String("Servers")) {
                servers = true;
            } else if (xml.name() == QLatin1String("Folder")) {
                if (folders.size() >= FolderDepthLimit)
                    throw Exception("The file's folders are nested more than " + std::to_string(FolderDepthLimit) +
                                    " deep; nothing was imported");
                folders << QString();
                pendingName.clear();
                naming = true;
            } else if (xml.name() == QLatin1String("Server")) {
                if (std::optional<Incoming> in = readServer(xml, folders, report))
                    incoming.push_back(std::move(*in));
            } else if (!folders.isEmpty()) {
                xml.skipCurrentElement();
            }
        }
    }
    if (xml.hasError())
        throw Exception("The file is damaged: " + xml.errorString().toStdString() + " at line " +
                        std::to_string(xml.lineNumber()) + "; nothing was imported");
    if (!servers)
        throw Exception("The file is neither a Kolvane site book export nor a FileZilla site manager file");
    return incoming;
}

// FileZilla keeps sites of one name apart by their folders; the book has one level of names. A site whose name
// another site of the file has in another folder comes in as "<name> (<folder>)"; one at the top level keeps its
// name.
void renameByFolder(std::vector<Incoming>& incoming, BookTransfer::Report& report)
{
    std::unordered_map<std::string, std::vector<std::size_t>> byName;
    for (std::size_t i = 0; i < incoming.size(); ++i)
        byName[SiteBook::foldedKey(incoming[i].name.toStdString())].push_back(i);
    for (const auto& [name, sites] : byName) {
        if (sites.size() < 2)
            continue;
        const std::string& firstFolder = incoming[sites.front()].record.folder;
        if (std::all_of(sites.begin(), sites.end(),
                        [&](std::size_t i) { return incoming[i].record.folder == firstFolder; }))
            continue; // one folder: the second is a duplicate, said so below
        for (const std::size_t i : sites) {
            Incoming& in = incoming[i];
            if (in.record.folder.empty())
                continue;
            const QString renamed = QStringLiteral("%1 (%2)").arg(in.name, QString::fromStdString(in.record.folder));
            report.notes << QStringLiteral("%1: came in as %2, as another site of the file has its name in another "
                                           "folder")
                                .arg(shown(in.name), shown(renamed));
            in.name = renamed;
        }
    }
}

} // namespace

QString BookTransfer::siteCount(qsizetype count)
{
    return count == 1 ? QStringLiteral("1 site") : QStringLiteral("%1 sites").arg(count);
}

QStringList BookTransfer::reportLines(const Report& report)
{
    QStringList lines{QStringLiteral("%1 added, %2 replaced, %3 skipped")
                          .arg(siteCount(report.added))
                          .arg(report.replaced)
                          .arg(report.skipped.size())};
    if (!report.skipped.isEmpty())
        lines << QStringLiteral("Not imported:") << report.skipped;
    return lines << report.notes;
}

QByteArray BookTransfer::exportBook(TSettingsStore& store, const TDiamond& cipher, const QStringList& sites,
                                    const std::string& passphrase, QStringList* notes)
{
    const QStringList names = sites.isEmpty() ? SiteBook::names(store) : sites;
    QJsonObject root{{QStringLiteral("format"), QLatin1String(Format)}, {QStringLiteral("version"), Version}};
    std::optional<MasterKey::Key> key;
    if (!passphrase.empty()) {
        key.emplace();
        root.insert(QStringLiteral("passwords"), QString::fromStdString(MasterKey::makeCheck(passphrase, *key)));
    }
    QJsonArray list;
    for (const QString& name : names) {
        const std::string siteKey = SiteBook::keyName(name);
        if (siteKey.empty())
            continue;
        const SiteBook::Record r = SiteBook::read(store, cipher, siteKey);
        QJsonObject site{
            {QStringLiteral("name"), name},
            {QStringLiteral("host"), text(r.host)},
            {QStringLiteral("port"), text(r.port)},
            {QStringLiteral("login"), text(r.login)},
            {QStringLiteral("security"), QString::fromLatin1(SiteBook::securityWord(r.security))},
            {QStringLiteral("data"), QString::fromLatin1(SiteBook::dataModeWord(r.dataMode))},
            {QStringLiteral("certificate"), QString::fromStdString(r.certificate)},
            {QStringLiteral("replyTimeout"), r.replyTimeout},
            {QStringLiteral("folder"), QString::fromStdString(r.folder)},
            {QStringLiteral("reconnect"), r.reconnect},
        };
        if (!r.connectVia.empty())
            site.insert(QStringLiteral("connectVia"), text(r.connectVia));
        // A password that could not be had goes as one to ask for, never as an empty one; a proxy's password that
        // could not be had takes nothing of the site's own with it.
        const bool asked =
            r.passwordAsked || (!r.passwordProblem.empty() && r.passwordProblem != r.proxyPasswordProblem);
        if (asked)
            site.insert(QStringLiteral("askPassword"), true);
        if (!r.passwordAsked && !r.passwordProblem.empty() && notes)
            *notes << shown(name) + QStringLiteral(": ") + QString::fromStdString(r.passwordProblem);
        if (key)
            site.insert(QStringLiteral("password"),
                        QString::fromStdString(
                            MasterKey::seal(*key, asked ? std::string() : r.password, sealContext(site, "password"))));
        if (key && !r.connectVia.empty())
            site.insert(
                QStringLiteral("proxyPassword"),
                QString::fromStdString(MasterKey::seal(*key, r.proxyPassword, sealContext(site, "proxyPassword"))));
        list.append(site);
    }
    root.insert(QStringLiteral("sites"), list);
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

void BookTransfer::writeFile(const QString& path, const QByteArray& data)
{
    // A link is followed: the file it names is replaced, the link stays.
    const QFileInfo info(path);
    const std::string target = (info.exists() ? info.canonicalFilePath() : path).toStdString();
    const auto failed = [&](int error) {
        return Exception("The file " + path.toStdString() + " cannot be written: " + std::strerror(error));
    };
    auto writeAll = [&](int fd) {
        for (qsizetype done = 0; done < data.size();) {
            const ssize_t wrote = ::write(fd, data.constData() + done, std::size_t(data.size() - done));
            if (wrote < 0 && errno == EINTR)
                continue;
            if (wrote <= 0)
                return wrote < 0 ? errno : ENOSPC;
            done += wrote;
        }
        return 0;
    };
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        const int fd = ::open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (fd < 0)
            throw failed(errno);
        const int error = writeAll(fd);
        if (::close(fd) != 0 && error == 0)
            throw failed(errno);
        if (error != 0)
            throw failed(error);
        return;
    }
    std::string temporary = target + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data()); // mode 0600: the file may hold sealed passwords
    if (fd < 0)
        throw failed(errno);
    int error = writeAll(fd);
    if (error == 0 && ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::rename(temporary.c_str(), target.c_str()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(temporary.c_str());
        throw failed(error);
    }
}

bool BookTransfer::needsPassphrase(const QByteArray& file)
{
    // A file of version 1 never gives its passwords: its sites come in without, so nothing is asked for.
    const QJsonDocument json = QJsonDocument::fromJson(file);
    return json.isObject() && json.object().value(QStringLiteral("version")).toInt() != 1 &&
           !json.object().value(QStringLiteral("passwords")).toString().isEmpty();
}

BookTransfer::Report BookTransfer::importBook(TSettingsStore& store, const TDiamond& cipher, const QByteArray& file,
                                              const std::string& passphrase, bool replace)
{
    Report report;
    QJsonParseError error{};
    const QJsonDocument json = QJsonDocument::fromJson(file, &error);
    std::vector<Incoming> incoming;
    if (json.isObject() && json.object().value(QStringLiteral("format")).toString() == QLatin1String(Format)) {
        incoming = readExport(json.object(), passphrase, report);
    } else if (file.trimmed().startsWith('{')) {
        throw Exception("The file is damaged: " +
                        (error.error != QJsonParseError::NoError
                             ? error.errorString().toStdString()
                             : std::string("it is not a Kolvane site book export")) +
                        "; nothing was imported");
    } else {
        incoming = readFileZilla(file, report);
        renameByFolder(incoming, report);
    }

    // Each site checked as the dialog and kolvane-site add check one, and one site per name as the store tells
    // names apart: a second of one name would only overwrite the first.
    std::vector<SiteBook::Saving> saving;
    std::vector<QString> names;
    std::unordered_map<std::string, QString> seen;
    for (Incoming& in : incoming) {
        if (const std::optional<SiteBook::Problem> problem = SiteBook::check(in.name, in.record)) {
            report.skipped << shown(in.name) + QStringLiteral(": ") + QString::fromStdString(problem->why);
            continue;
        }
        const std::string key = SiteBook::keyName(in.name);
        const auto [first, fresh] = seen.emplace(SiteBook::foldedKey(key), in.name);
        if (!fresh) {
            report.skipped << QStringLiteral("%1: the file holds another site of that name (%2)")
                                  .arg(shown(in.name), shown(first->second));
            continue;
        }
        saving.push_back({key, std::move(in.record)});
        names.push_back(in.name);
    }
    const std::vector<SiteBook::Saved> saved = SiteBook::saveAll(store, cipher, saving, replace);
    for (std::size_t i = 0; i < saved.size(); ++i) {
        if (saved[i] == SiteBook::Saved::Added)
            ++report.added;
        else if (saved[i] == SiteBook::Saved::Replaced)
            ++report.replaced;
        else
            report.skipped << QStringLiteral("%1: the book holds a site of that name").arg(shown(names[i]));
    }
    return report;
}
