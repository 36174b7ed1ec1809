#include "sitebook/BookTransfer.h"

#include "platform/Exceptions.h"
#include "platform/OemText.h"
#include "platform/SettingsStore.h"
#include "sitebook/MasterKey.h"
#include "sitebook/SiteBook.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QXmlStreamReader>

#include <functional>
#include <optional>
#include <vector>

namespace {

constexpr const char* Format = "kolvane-sites";

struct Incoming {
    QString name;
    SiteBook::Record record;
    bool hasPassword = false;
};

QString text(const std::string& bytes)
{
    return Latin1ToQString(bytes);
}

bool validPort(const QString& port)
{
    bool number = false;
    const int value = port.toInt(&number);
    return number && value >= 1 && value <= 65535 && !port.startsWith(QLatin1Char('+'));
}

bool validFingerprint(const QString& fingerprint)
{
    static const QRegularExpression form(QStringLiteral("^[0-9A-Fa-f]{2}(:[0-9A-Fa-f]{2}){31}$"));
    return fingerprint.isEmpty() || form.match(fingerprint).hasMatch();
}

// An export, read whole before anything is written.
std::vector<Incoming> readExport(const QJsonObject& root, const std::string& passphrase, BookTransfer::Report& report)
{
    if (root.value(QStringLiteral("version")).toInt() != 1)
        throw Exception("The file is a Kolvane site book export of a version this console does not read");
    std::optional<MasterKey::Key> key;
    const QString check = root.value(QStringLiteral("passwords")).toString();
    if (!check.isEmpty() && !passphrase.empty()) {
        key = MasterKey::unlock(check.toStdString(), passphrase);
        if (!key)
            throw Exception("The passphrase does not open the passwords of this file; nothing was imported");
    } else if (!check.isEmpty()) {
        report.notes << QStringLiteral("No passphrase given: the sites came in without their passwords");
    }
    const QJsonValue sites = root.value(QStringLiteral("sites"));
    if (!sites.isArray())
        throw Exception("The file is damaged: it holds no list of sites");
    std::vector<Incoming> incoming;
    for (const QJsonValue& value : sites.toArray()) {
        const QJsonObject site = value.toObject();
        Incoming in;
        in.name = site.value(QStringLiteral("name")).toString();
        const QString port = site.value(QStringLiteral("port")).toString(QStringLiteral("21"));
        if (!value.isObject() || in.name.isEmpty() || SiteBook::keyName(in.name).empty()) {
            report.skipped << QStringLiteral("%1: the entry has no usable name").arg(in.name);
            continue;
        }
        if (!validPort(port)) {
            report.skipped << QStringLiteral("%1: the port %2 is not one from 1 to 65535").arg(in.name, port);
            continue;
        }
        SiteBook::Record& r = in.record;
        r = SiteBook::NewSite();
        r.host = QStringToLatin1(site.value(QStringLiteral("host")).toString());
        r.port = QStringToLatin1(port);
        r.login = QStringToLatin1(site.value(QStringLiteral("login")).toString());
        const std::string security = site.value(QStringLiteral("security")).toString().toStdString();
        r.security = SiteBook::securityFromWord(security).value_or(TFtpSecurity::ExplicitRequired);
        const std::string data = site.value(QStringLiteral("data")).toString().toStdString();
        r.dataMode = SiteBook::dataModeFromWord(data).value_or(TDataMode::PassiveElseActive);
        const QString fingerprint = site.value(QStringLiteral("certificate")).toString();
        if (validFingerprint(fingerprint))
            r.certificate = fingerprint.toUpper().toStdString();
        else
            report.notes << QStringLiteral("%1: the pinned certificate was not a SHA-256 fingerprint and was left out")
                                .arg(in.name);
        r.replyTimeout = std::max(0, site.value(QStringLiteral("replyTimeout")).toInt(30));
        r.folder = site.value(QStringLiteral("folder")).toString().toStdString();
        r.reconnect = site.value(QStringLiteral("reconnect")).toBool();
        const QString sealed = site.value(QStringLiteral("password")).toString();
        if (key && !sealed.isEmpty()) {
            const std::optional<std::string> password =
                MasterKey::open(*key, sealed.toStdString(), SiteBook::keyName(in.name));
            if (!password)
                throw Exception("The file is damaged: the password of " + in.name.toStdString() +
                                " does not open; nothing was imported");
            r.password = *password;
            in.hasPassword = true;
        }
        incoming.push_back(std::move(in));
    }
    return incoming;
}

// A FileZilla site manager file: its folders are folders here, its base64 passwords passwords.
std::vector<Incoming> readFileZilla(const QByteArray& file, BookTransfer::Report& report)
{
    std::vector<Incoming> incoming;
    QXmlStreamReader xml(file);
    QStringList folders;
    bool servers = false;
    // One site: its fields, read to the end of its element.
    auto readServer = [&] {
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
        const QString port = fields.value(QStringLiteral("Port"), QStringLiteral("21"));
        if (in.name.isEmpty() || SiteBook::keyName(in.name).empty()) {
            report.skipped << QStringLiteral("%1: the site has no usable name").arg(in.name);
            return;
        }
        if (protocol != 0 && protocol != 3 && protocol != 4 && protocol != 6) {
            report.skipped << QStringLiteral("%1: not an FTP site (SFTP or another protocol)").arg(in.name);
            return;
        }
        if (!validPort(port)) {
            report.skipped << QStringLiteral("%1: the port %2 is not one from 1 to 65535").arg(in.name, port);
            return;
        }
        SiteBook::Record& r = in.record;
        r = SiteBook::NewSite();
        r.host = QStringToLatin1(fields.value(QStringLiteral("Host")));
        r.port = QStringToLatin1(port);
        r.security = protocol == 3   ? TFtpSecurity::Implicit
                     : protocol == 4 ? TFtpSecurity::ExplicitRequired
                     : protocol == 6 ? TFtpSecurity::Plain
                                     : TFtpSecurity::ExplicitIfOffered;
        const QString mode = fields.value(QStringLiteral("PasvMode"));
        r.dataMode = mode == QLatin1String("MODE_ACTIVE")    ? TDataMode::Active
                     : mode == QLatin1String("MODE_PASSIVE") ? TDataMode::Passive
                                                             : TDataMode::PassiveElseActive;
        const int logon = fields.value(QStringLiteral("Logontype"), QStringLiteral("1")).toInt();
        r.login = QStringToLatin1(logon == 0 ? QStringLiteral("anonymous") : fields.value(QStringLiteral("User")));
        if (logon == 0) {
            r.password = "anonymous@";
            in.hasPassword = true;
        } else if (fields.contains(QStringLiteral("Pass")) && passEncoding == QLatin1String("base64")) {
            r.password = QByteArray::fromBase64(fields.value(QStringLiteral("Pass")).toLatin1()).toStdString();
            in.hasPassword = true;
        } else if (fields.contains(QStringLiteral("Pass")) && passEncoding.isEmpty()) {
            r.password = QStringToLatin1(fields.value(QStringLiteral("Pass")));
            in.hasPassword = true;
        } else if (fields.contains(QStringLiteral("Pass"))) {
            report.notes << QStringLiteral("%1: its password is sealed with FileZilla's master password and did "
                                           "not come in")
                                .arg(in.name);
        }
        r.folder = folders.join(QLatin1Char('/')).toStdString();
        incoming.push_back(std::move(in));
    };
    // A folder: its name is the text before its first child; its children are sites and folders.
    std::function<void()> readFolder = [&] {
        QString name;
        bool named = false;
        while (!xml.atEnd()) {
            xml.readNext();
            if (xml.isCharacters()) {
                if (!named)
                    name += xml.text();
                continue;
            }
            if (xml.isEndElement()) {
                if (named)
                    folders.removeLast();
                return;
            }
            if (!named) {
                folders << name.trimmed().replace(QLatin1Char('/'), QLatin1Char('_'));
                named = true;
            }
            if (xml.isStartElement() && xml.name() == QLatin1String("Server"))
                readServer();
            else if (xml.isStartElement() && xml.name() == QLatin1String("Folder"))
                readFolder();
            else if (xml.isStartElement())
                xml.skipCurrentElement();
        }
    };
    while (!xml.atEnd()) {
        xml.readNext();
        if (!xml.isStartElement())
            continue;
        if (xml.name() == QLatin1String("Servers"))
            servers = true;
        else if (xml.name() == QLatin1String("Folder"))
            readFolder();
        else if (xml.name() == QLatin1String("Server"))
            readServer();
    }
    if (xml.hasError())
        throw Exception("The file is damaged: " + xml.errorString().toStdString() + " at line " +
                        std::to_string(xml.lineNumber()) + "; nothing was imported");
    if (!servers)
        throw Exception("The file is neither a Kolvane site book export nor a FileZilla site manager file");
    return incoming;
}

} // namespace

QByteArray BookTransfer::exportBook(TSettingsStore& store, const TDiamond& cipher, const QStringList& sites,
                                    const std::string& passphrase)
{
    const QStringList names = sites.isEmpty() ? SiteBook::names(store) : sites;
    QJsonObject root{{QStringLiteral("format"), QLatin1String(Format)}, {QStringLiteral("version"), 1}};
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
        if (key && !r.password.empty())
            site.insert(QStringLiteral("password"), QString::fromStdString(MasterKey::seal(*key, r.password, siteKey)));
        list.append(site);
    }
    root.insert(QStringLiteral("sites"), list);
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

bool BookTransfer::needsPassphrase(const QByteArray& file)
{
    const QJsonDocument json = QJsonDocument::fromJson(file);
    return json.isObject() && !json.object().value(QStringLiteral("passwords")).toString().isEmpty();
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
    }
    const QStringList present = SiteBook::names(store);
    for (Incoming& in : incoming) {
        const bool exists = std::any_of(present.begin(), present.end(), [&](const QString& name) {
            return name.compare(in.name, Qt::CaseInsensitive) == 0;
        });
        if (exists && !replace) {
            report.skipped << QStringLiteral("%1: the book holds a site of that name").arg(in.name);
            continue;
        }
        SiteBook::save(store, cipher, SiteBook::keyName(in.name), in.record);
        ++(exists ? report.replaced : report.added);
    }
    return report;
}
