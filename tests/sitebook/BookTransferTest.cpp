// Moving a site book out and in: an export read back into another book with its passphrase, with a wrong one and
// with none; a damaged file; a FileZilla site manager file with folders, base64 passwords and an SFTP site; edited
// records, hostile costs, names and values as the other doors check them, and a file nested too deep.

#include "sitebook/BookTransfer.h"
#include "platform/SettingsStore.h"
#include "sitebook/Diamond.h"
#include "sitebook/MasterKey.h"
#include "sitebook/SiteBook.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>

namespace {

class Books : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir_.isValid());
        cipher.SetKey(std::string(DiamondConsoleKey));
        qunsetenv("DBUS_SESSION_BUS_ADDRESS"); // no secret store: the books keep their passwords themselves
    }
    std::unique_ptr<TSettingsStore> book(const char* name)
    {
        return std::make_unique<TSettingsStore>(dir_.filePath(name).toStdString());
    }
    TDiamond cipher;

private:
    QTemporaryDir dir_;
};

} // namespace

TEST_F(Books, AnExportComesBackWithItsPassphraseOnly)
{
    auto from = book("from.db");
    SiteBook::Record site = SiteBook::NewSite();
    site.host = "ftp.example.org";
    site.port = "2121";
    site.login = "siteop";
    site.password = "s3cret \xe9";
    site.folder = "eu/north";
    site.certificate =
        "AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89";
    SiteBook::save(*from, cipher, "home", site);
    const QByteArray file = BookTransfer::exportBook(*from, cipher, {}, "correct horse");
    EXPECT_FALSE(file.contains("s3cret")) << "a password left the book in clear";
    EXPECT_TRUE(BookTransfer::needsPassphrase(file));

    auto to = book("to.db");
    EXPECT_THROW(BookTransfer::importBook(*to, cipher, file, "wrong horse", false), Exception);
    EXPECT_TRUE(SiteBook::names(*to).isEmpty()); // nothing came in

    const BookTransfer::Report report = BookTransfer::importBook(*to, cipher, file, "correct horse", false);
    EXPECT_EQ(report.added, 1);
    const SiteBook::Record back = SiteBook::read(*to, cipher, "home");
    EXPECT_EQ(back.host, site.host);
    EXPECT_EQ(back.port, site.port);
    EXPECT_EQ(back.password, site.password);
    EXPECT_EQ(back.folder, site.folder);
    EXPECT_EQ(back.certificate, site.certificate);
    EXPECT_EQ(back.security, site.security);

    // A site of the same name stays as it is, unless the import is told to replace it.
    site.host = "other.example.org";
    SiteBook::save(*from, cipher, "home", site);
    const QByteArray again = BookTransfer::exportBook(*from, cipher, {}, "");
    EXPECT_FALSE(BookTransfer::needsPassphrase(again));
    EXPECT_EQ(BookTransfer::importBook(*to, cipher, again, "", false).skipped.size(), 1);
    EXPECT_EQ(SiteBook::read(*to, cipher, "home").host, "ftp.example.org");
    EXPECT_EQ(BookTransfer::importBook(*to, cipher, again, "", true).replaced, 1);
    EXPECT_EQ(SiteBook::read(*to, cipher, "home").host, "other.example.org");

    // A damaged file imports nothing and says what is wrong with it.
    for (const QByteArray& damaged :
         {file.left(file.size() / 2), QByteArray("<FileZilla3><Servers><Server>"), QByteArray("just some text")}) {
        auto fresh = book("fresh.db");
        EXPECT_THROW(BookTransfer::importBook(*fresh, cipher, damaged, "correct horse", false), Exception)
            << damaged.toStdString();
        EXPECT_TRUE(SiteBook::names(*fresh).isEmpty());
    }
}

TEST_F(Books, AFileZillaSiteManagerFileBringsItsFoldersAndPasswords)
{
    const QByteArray file = R"(<?xml version="1.0" encoding="UTF-8"?>
<FileZilla3 version="3.63.1" platform="*nix">
  <Servers>
    <Server>
      <Host>top.example.org</Host><Port>21</Port><Protocol>6</Protocol><Type>0</Type><User>anna</User>
      <Pass encoding="base64">cGFzcyB3b3Jk</Pass><Logontype>1</Logontype><PasvMode>MODE_ACTIVE</PasvMode>
      <Name>top</Name>
    </Server>
    <Folder expanded="1">Customers
      <Folder expanded="1">EU
        <Server>
          <Host>eu.example.org</Host><Port>990</Port><Protocol>3</Protocol><User>bob</User>
          <Pass encoding="crypt" pubkey="x">zzz</Pass><Logontype>1</Logontype><PasvMode>MODE_PASSIVE</PasvMode>
          <Name>eu one</Name>
        </Server>
      </Folder>
      <Server>
        <Host>sftp.example.org</Host><Port>22</Port><Protocol>1</Protocol><User>c</User><Name>shell</Name>
      </Server>
      <Server>
        <Host>plain.example.org</Host><Port>2121</Port><Protocol>4</Protocol><User>dee</User>
        <Pass encoding="base64">ZGVl</Pass><Name>required</Name>
      </Server>
    </Folder>
  </Servers>
</FileZilla3>
)";
    auto to = book("fz.db");
    const BookTransfer::Report report = BookTransfer::importBook(*to, cipher, file, "", false);
    EXPECT_EQ(report.added, 3);
    ASSERT_EQ(report.skipped.size(), 1);
    EXPECT_TRUE(report.skipped[0].startsWith("shell: not an FTP site"));
    ASSERT_EQ(report.notes.size(), 1); // the password sealed with FileZilla's own master password
    const SiteBook::Record top = SiteBook::read(*to, cipher, "top");
    EXPECT_EQ(top.password, "pass word");
    EXPECT_EQ(top.security, TFtpSecurity::Plain);
    EXPECT_EQ(top.dataMode, TDataMode::Active);
    EXPECT_EQ(top.folder, "");
    const SiteBook::Record eu = SiteBook::read(*to, cipher, "eu one");
    EXPECT_EQ(eu.folder, "Customers/EU");
    EXPECT_EQ(eu.security, TFtpSecurity::Implicit);
    EXPECT_EQ(eu.port, "990");
    EXPECT_EQ(eu.password, "");
    const SiteBook::Record required = SiteBook::read(*to, cipher, "required");
    EXPECT_EQ(required.folder, "Customers");
    EXPECT_EQ(required.security, TFtpSecurity::ExplicitRequired);
    EXPECT_EQ(required.dataMode, TDataMode::PassiveElseActive);
    EXPECT_EQ(required.password, "dee");
}

namespace {

QJsonObject parsed(const QByteArray& file)
{
    return QJsonDocument::fromJson(file).object();
}

QByteArray written(const QJsonObject& root)
{
    return QJsonDocument(root).toJson();
}

// The file with one value of a site changed, as someone without the passphrase would change it.
QByteArray edited(const QByteArray& file, qsizetype at, const QString& value, const QJsonValue& to)
{
    QJsonObject root = parsed(file);
    QJsonArray sites = root.value("sites").toArray();
    QJsonObject site = sites[at].toObject();
    if (to.isUndefined())
        site.remove(value);
    else
        site.insert(value, to);
    sites[at] = site;
    root.insert("sites", sites);
    return written(root);
}

} // namespace

TEST_F(Books, AnEditedRecordDoesNotComeInAndAFileCannotAskForAnyWork)
{
    // Ten sealed sites, each edited in one value below, and one left as it was.
    const std::pair<const char*, QJsonValue> edits[] = {
        {"host", "evil.example.net"},
        {"port", "2121"},
        {"security", "plain"},
        {"certificate", ""},
        {"login", "root"},
        {"folder", "x"},
        {"reconnect", true},
        {"connectVia", "socks5://evil:1080"},
        {"password", QJsonValue(QJsonValue::Undefined)},
        {"name", "renamed"},
    };
    auto from = book("from.db");
    SiteBook::Record site = SiteBook::NewSite();
    site.host = "ftp.example.org";
    site.login = "siteop";
    site.password = "s3cret";
    site.certificate = QStringList(32, "AB").join(':').toStdString();
    for (int i = 0; i < int(std::size(edits)); ++i)
        SiteBook::save(*from, cipher, "site" + std::to_string(i), site);
    site.password.clear(); // a site without a password is sealed all the same
    SiteBook::save(*from, cipher, "untouched", site);
    const QByteArray file = BookTransfer::exportBook(*from, cipher, {}, "correct horse");
    QByteArray changed = file;
    for (int i = 0; i < int(std::size(edits)); ++i)
        changed = edited(changed, i, edits[i].first, edits[i].second);

    auto to = book("edited.db");
    const BookTransfer::Report report = BookTransfer::importBook(*to, cipher, changed, "correct horse", false);
    EXPECT_EQ(report.added, 1);
    EXPECT_EQ(SiteBook::names(*to), QStringList({"untouched"})) << "nothing of an edited record came in";
    ASSERT_EQ(report.skipped.size(), qsizetype(std::size(edits)));
    for (int i = 0; i < int(std::size(edits)); ++i)
        EXPECT_TRUE(report.skipped[i].startsWith(QString(i == 9 ? "renamed" : "site%1").arg(i) +
                                                 ": the record was changed after it was exported"))
            << edits[i].first << ": " << report.skipped[i].toStdString();
    auto intact = book("intact.db");
    EXPECT_EQ(BookTransfer::importBook(*intact, cipher, file, "correct horse", false).added, 11);
    EXPECT_EQ(SiteBook::read(*intact, cipher, "site0").password, "s3cret");
    EXPECT_EQ(SiteBook::read(*intact, cipher, "untouched").password, "");
    EXPECT_FALSE(SiteBook::read(*intact, cipher, "untouched").passwordAsked);

    // A file that asks for more scrypt work than the console puts in is refused before any derivation.
    QJsonObject costly = parsed(file);
    QString check = costly.value("passwords").toString();
    check.replace(QRegularExpression("^scrypt:15:8:1:"), "scrypt:20:16:1:");
    costly.insert("passwords", check);
    try {
        BookTransfer::importBook(*intact, cipher, written(costly), "correct horse", true);
        ADD_FAILURE() << "a costly file was read";
    } catch (const Exception& e) {
        EXPECT_NE(e.message().find("scrypt cost is N 2^20, r 16"), std::string::npos) << e.message();
    }

    // A file of the earlier version sealed each password to its site's name only: its sites come in, never its
    // passwords, and they ask for them at log-in.
    MasterKey::Key key;
    QJsonObject old{{"format", "kolvane-sites"},
                    {"version", 1},
                    {"passwords", QString::fromStdString(MasterKey::makeCheck("pp", key))},
                    {"sites", QJsonArray{QJsonObject{
                                  {"name", "old"},
                                  {"host", "evil.example.net"},
                                  {"login", "op"},
                                  {"password", QString::fromStdString(MasterKey::seal(key, "theirs", "old"))}}}}};
    EXPECT_FALSE(BookTransfer::needsPassphrase(written(old)));
    auto fromOld = book("old.db");
    const BookTransfer::Report oldReport = BookTransfer::importBook(*fromOld, cipher, written(old), "pp", false);
    EXPECT_EQ(oldReport.added, 1);
    ASSERT_EQ(oldReport.notes.size(), 1);
    EXPECT_TRUE(oldReport.notes[0].contains("earlier Kolvane")) << oldReport.notes[0].toStdString();
    const SiteBook::Record back = SiteBook::read(*fromOld, cipher, "old");
    EXPECT_EQ(back.password, "");
    EXPECT_TRUE(back.passwordAsked);
    EXPECT_FALSE(back.passwordProblem.empty()) << "read as a password to ask for at log-in";
}

TEST_F(Books, NamesAndValuesAreCheckedAsTheStoreAndTheOtherDoorsCheckThem)
{
    auto to = book("names.db");
    SiteBook::Record site = SiteBook::NewSite();
    site.host = "home.example.org";
    site.login = "me";
    site.password = "mine";
    SiteBook::save(*to, cipher, "home", site);
    SiteBook::save(*to, cipher, "b?", site);

    // As a hand or a hostile script writes it: JSON escapes for NUL and a lone surrogate.
    const QByteArray file = R"({"format": "kolvane-sites", "version": 2, "sites": [
        {"name": "home\u0000x", "host": "h.example.org", "login": "op"},
        {"name": "b\udc00", "host": "h.example.org", "login": "op"},
        {"name": "dupx", "host": "h.example.org", "login": "op"},
        {"name": "DUPX", "host": "h.example.org", "login": "op"},
        {"name": "HOME", "host": "h.example.org", "login": "op"},
        {"name": "spaced", "host": "h.example.org", "port": " 34865", "login": "op"},
        {"name": "longlogin", "host": "h.example.org", "login": "elevenchars"},
        {"name": "crlf", "host": "h\r\nPASS x", "login": "op"},
        {"name": "fine", "host": "h.example.org", "port": 2121, "login": "op"}]})";
    const BookTransfer::Report report = BookTransfer::importBook(*to, cipher, file, "", false);
    const QString said = report.skipped.join('\n');
    EXPECT_EQ(report.added, 2) << said.toStdString(); // dupx and fine
    EXPECT_EQ(report.replaced, 0);
    EXPECT_EQ(SiteBook::names(*to), QStringList({"b?", "dupx", "fine", "home"})) << "the report counts what happened";
    EXPECT_EQ(SiteBook::read(*to, cipher, "home").host, "home.example.org");
    EXPECT_EQ(SiteBook::read(*to, cipher, "b?").host, "home.example.org");
    for (const char* why :
         {"home\\x00x: a site name cannot hold a control character",
          "b\\uDC00: a site name cannot hold half of a surrogate pair",
          "DUPX: the file holds another site of that name (dupx)", "HOME: the book holds a site of that name",
          "spaced: the port must be a number from 1 to 65535, not \" 34865\"",
          "longlogin: a login holds at most 10 characters", "crlf: a host cannot hold a line break or NUL"})
        EXPECT_TRUE(said.contains(why)) << why << "\n" << said.toStdString();
    EXPECT_EQ(BookTransfer::reportLines(report).value(0), "2 sites added, 0 replaced, 7 skipped");
    EXPECT_EQ(SiteBook::read(*to, cipher, "fine").port, "2121");
    BookTransfer::Report one;
    one.added = 1;
    EXPECT_EQ(BookTransfer::reportLines(one), QStringList({"1 site added, 0 replaced, 0 skipped"}));

    // One secret-store entry per site as the store tells sites apart, and none shared by two.
    EXPECT_EQ(SiteBook::secretName("id", "Home"), SiteBook::secretName("id", "home"));
    EXPECT_EQ(SiteBook::secretName("id", std::string("home\0x", 6)), "id/home%00x");
    EXPECT_NE(SiteBook::secretName("id", "home%00x"), SiteBook::secretName("id", std::string("home\0x", 6)));

    // A name is shown with what would hide, reorder or end it escaped, and whole beyond the BMP.
    EXPECT_EQ(SiteBook::shownName(QString::fromUtf16(u"prod\u202Eatad\u200B\U0001F600\U000E0001")),
              QString::fromUtf16(u"prod\\u202Eatad\\u200B\U0001F600\\U000E0001"));
    EXPECT_EQ(SiteBook::shownName(QString::fromUtf16(u"a\tb\u0085\u2028c\\")), "a\\x09b\\u0085\\u2028c\\\\");
}

TEST_F(Books, AFileZillaFileKeepsSameNamedSitesApartAsksForAskedPasswordsAndRefusesDeepNesting)
{
    const QByteArray file = R"(<?xml version="1.0" encoding="UTF-8"?>
<FileZilla3><Servers>
  <Server><Host>top.example.org</Host><User>a</User><Logontype>2</Logontype><Name>Berlin main</Name></Server>
  <Folder>Customers<Folder>EU
    <Server><Host>eu.example.org</Host><User>b</User><Pass encoding="base64">ZXU=</Pass><Name>Berlin main</Name></Server>
  </Folder><Folder>US
    <Server><Host>us.example.org</Host><User>c</User><Pass encoding="base64">dXM=</Pass><Name>berlin MAIN</Name></Server>
    <Server><Host>again.example.org</Host><User>d</User><Pass encoding="base64">dXM=</Pass><Name>berlin MAIN</Name></Server>
  </Folder></Folder>
</Servers></FileZilla3>
)";
    auto to = book("fz.db");
    const BookTransfer::Report report = BookTransfer::importBook(*to, cipher, file, "", false);
    EXPECT_EQ(report.added, 3) << report.skipped.join('\n').toStdString();
    EXPECT_EQ(SiteBook::names(*to),
              QStringList({"Berlin main", "Berlin main (Customers/EU)", "berlin MAIN (Customers/US)"}));
    EXPECT_EQ(SiteBook::read(*to, cipher, "Berlin main (Customers/EU)").host, "eu.example.org");
    EXPECT_EQ(SiteBook::read(*to, cipher, "berlin MAIN (Customers/US)").password, "us");
    ASSERT_EQ(report.skipped.size(), 1);
    EXPECT_TRUE(report.skipped[0].contains("another site of that name")) << report.skipped[0].toStdString();

    // FileZilla's "Ask for password": the console asks at log-in too, never sends an empty one.
    const SiteBook::Record asked = SiteBook::read(*to, cipher, "Berlin main");
    EXPECT_TRUE(asked.passwordAsked);
    EXPECT_EQ(asked.password, "");
    EXPECT_FALSE(asked.passwordProblem.empty());

    // 80,000 nested folders: a clear refusal, nothing imported, no crash.
    QByteArray deep = "<FileZilla3><Servers>";
    for (int i = 0; i < 80000; ++i)
        deep += "<Folder>f";
    deep += "<Server><Host>h</Host><User>u</User><Name>deep</Name></Server>";
    auto fresh = book("deep.db");
    try {
        BookTransfer::importBook(*fresh, cipher, deep, "", false);
        ADD_FAILURE() << "a file nested 80,000 deep came in";
    } catch (const Exception& e) {
        EXPECT_NE(e.message().find("nested more than 100 deep"), std::string::npos) << e.message();
    }
    EXPECT_TRUE(SiteBook::names(*fresh).isEmpty());
}

TEST_F(Books, AConnectionPathTravelsWithItsProxysPasswordSealedAndAuthenticated)
{
    auto from = book("from.db");
    SiteBook::Record site = SiteBook::NewSite();
    site.host = "ftp.example.org";
    site.login = "siteop";
    site.password = "s3cret";
    site.connectVia = "socks5://op@proxy.example:1080";
    site.proxyPassword = "pr0xy \xe9";
    for (const char* name : {"edited", "proxied", "unsealed"}) // the export's order
        SiteBook::save(*from, cipher, name, site);
    const QByteArray file = BookTransfer::exportBook(*from, cipher, {}, "correct horse");
    EXPECT_FALSE(file.contains("pr0xy")) << "a proxy's password left the book in clear";
    EXPECT_TRUE(file.contains("socks5://op@proxy.example:1080"));

    // Someone without the passphrase sends one site through a proxy of theirs, and takes another's proxy seal away.
    const QByteArray changed = edited(edited(file, 0, "connectVia", "socks5://op@evil.example:1080"), 2,
                                      "proxyPassword", QJsonValue(QJsonValue::Undefined));
    auto to = book("to.db");
    const BookTransfer::Report report = BookTransfer::importBook(*to, cipher, changed, "correct horse", false);
    EXPECT_EQ(report.added, 1);
    ASSERT_EQ(report.skipped.size(), 2);
    EXPECT_TRUE(report.skipped[0].startsWith("edited: the record was changed")) << report.skipped[0].toStdString();
    EXPECT_TRUE(report.skipped[1].startsWith("unsealed: the record was changed")) << report.skipped[1].toStdString();
    const SiteBook::Record back = SiteBook::read(*to, cipher, "proxied");
    EXPECT_EQ(back.connectVia, site.connectVia);
    EXPECT_EQ(back.proxyPassword, site.proxyPassword);
    EXPECT_EQ(back.password, site.password);

    // Without the passphrase the path comes in and its password does not, which the report says.
    auto bare = book("bare.db");
    const BookTransfer::Report plain = BookTransfer::importBook(*bare, cipher, file, "", false);
    EXPECT_EQ(plain.added, 3);
    EXPECT_TRUE(plain.notes.join('|').contains("proxied: the password of its proxy did not come in"))
        << plain.notes.join('|').toStdString();
    const SiteBook::Record unlocked = SiteBook::read(*bare, cipher, "proxied");
    EXPECT_EQ(unlocked.connectVia, site.connectVia);
    EXPECT_EQ(unlocked.proxyPassword, "");

    // A proxy's password the book cannot give (sealed, with the master password gone) takes nothing of the site's own
    // password with it: the site's goes sealed, the proxy's is said missing on both sides.
    from->OpenKey("\\Drummock\\SiTES", false);
    from->WriteString("proxied", "ProxyPassWordIn", "master");
    QStringList lost;
    const QByteArray partial = BookTransfer::exportBook(*from, cipher, {"proxied"}, "correct horse", &lost);
    EXPECT_TRUE(lost.join('|').contains("proxied's proxy is sealed")) << lost.join('|').toStdString();
    auto again = book("again.db");
    const BookTransfer::Report half = BookTransfer::importBook(*again, cipher, partial, "correct horse", false);
    EXPECT_EQ(half.added, 1);
    EXPECT_TRUE(half.notes.join('|').contains("proxied: the password of its proxy did not come in"));
    EXPECT_EQ(SiteBook::read(*again, cipher, "proxied").password, site.password);
    EXPECT_FALSE(SiteBook::read(*again, cipher, "proxied").passwordAsked);

    // A path no door would take is refused at the import as everywhere else.
    const BookTransfer::Report bad = BookTransfer::importBook(
        *book("bad.db"), cipher, edited(file, 1, "connectVia", "socks5://op:secret@p:1"), "", false);
    ASSERT_EQ(bad.skipped.size(), 1);
    EXPECT_TRUE(bad.skipped[0].contains("proxied: the connection path's URL holds a password"))
        << bad.skipped[0].toStdString();
}
