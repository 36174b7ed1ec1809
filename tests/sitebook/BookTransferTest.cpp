// Moving a site book out and in: an export read back into another book with its passphrase, with a wrong one and
// with none; a damaged file; a FileZilla site manager file with folders, base64 passwords and an SFTP site.

#include "sitebook/BookTransfer.h"
#include "platform/SettingsStore.h"
#include "sitebook/Diamond.h"
#include "sitebook/SiteBook.h"

#include <gtest/gtest.h>

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
