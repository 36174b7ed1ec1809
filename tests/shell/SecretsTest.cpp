// Secrets the console must keep: passwords in command lines, a pinned site's TLS, and the question about a
// certificate that does not verify. The real main window against quillon-sim.

#include "ConsoleFixture.h"
#include "common/WhenModal.h"
#include "platform/SettingsLayout.h"
#include "sitebook/TrustForm.h"

#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QTemporaryDir>

namespace {

using SecretsTest = ConsoleTest;

// A daemon's reply line or a user name that looks like markup is shown as written in every box, never rendered.
TEST(RealBoxes, ShowDaemonTextsAsWritten)
{
    SetPrompts(nullptr);
    std::vector<Qt::TextFormat> formats;
    auto answer = [&] {
        whenModal(qApp, [&](QWidget* w) {
            auto* box = qobject_cast<QMessageBox*>(w);
            formats.push_back(box ? box->textFormat() : Qt::RichText);
            qobject_cast<QDialog*>(w)->reject();
        });
    };
    answer();
    Prompts().ErrorBox(QStringLiteral("550 <img src=\"/etc/x.png\"><b>bold</b>"));
    answer();
    Prompts().Notice(QStringLiteral("<h1>big</h1>"));
    answer();
    Prompts().Confirm(QStringLiteral("Do you really want to delete <b>x</b>?"));
    EXPECT_EQ(formats, std::vector<Qt::TextFormat>(3, Qt::PlainText));
}

// Every place a command with a password could be kept or shown, the leading blank that once let it through
// included: the page, the wait text, the session log, the box's list, Up's recall and the stored history.
TEST_F(SecretsTest, APasswordNeverStaysInTheConsole)
{
    SimProcess sim;
    startConsole(sim.port);
    form->close();
    form.reset();
    {
        // A history stored before passwords were masked in it.
        TSettingsStore store(TSettingsStore::defaultPath());
        SettingsLayout::writeCommands(store, {QStringLiteral("CHPASS old 0ldSecret"), QStringLiteral("WHO")});
    }
    form = std::make_unique<TMainForm>();
    form->CreateDialogs();
    form->show();
    control<QComboBox>("SiteName")->setCurrentIndex(0);
    emit control<QComboBox>("SiteName")->activated(0);
    EXPECT_EQ(control<QComboBox>("CommandText")->itemText(0), "CHPASS old *****") << "masked as it is loaded";
    control<QAction>("mnuSessionLog")->trigger();
    click(control<QPushButton>("bbLogin"));
    ASSERT_TRUE(session().connected()) << prompts.errors.join('\n').toStdString();

    QTest::keyClicks(control<QComboBox>("CommandText")->lineEdit(), QStringLiteral(" CHPASS siteop NewPass"));
    QTest::keyClick(control<QComboBox>("CommandText"), Qt::Key_Return);
    EXPECT_TRUE(sim.commands().contains("SITE  CHPASS siteop NewPass")) << "the daemon receives the password";
    EXPECT_TRUE(control<QPlainTextEdit>("StatusMemo")->toPlainText().contains("SITE  CHPASS siteop *****"));
    emit session().awaiting("SITE  CHPASS siteop NewPass");
    EXPECT_EQ(control<TStatusBar>("StatusBar1")->waitText(), "Waiting for SITE  CHPASS siteop *****...");
    emit session().awaiting(std::string());
    EXPECT_EQ(control<QComboBox>("CommandText")->itemText(control<QComboBox>("CommandText")->count() - 1),
              " CHPASS siteop *****");

    // Up recalls it masked; sent again, its password is asked for, and a cancel sends nothing. (Keys go to the box,
    // the focus widget, as a person's do.)
    const qsizetype sent = sim.commands().size();
    QTest::keyClick(control<QComboBox>("CommandText")->lineEdit(), Qt::Key_Up);
    EXPECT_EQ(control<QComboBox>("CommandText")->currentText(), " CHPASS siteop *****");
    QTest::keyClick(control<QComboBox>("CommandText"), Qt::Key_Return);
    EXPECT_EQ(prompts.passwords.size(), 1) << prompts.passwords.join('\n').toStdString();
    EXPECT_EQ(sim.commands().size(), sent) << "cancelled: nothing went";
    prompts.passwordAnswers = {QStringLiteral("Again2")};
    QTest::keyClick(control<QComboBox>("CommandText")->lineEdit(), Qt::Key_Down);
    QTest::keyClick(control<QComboBox>("CommandText")->lineEdit(), Qt::Key_Up);
    QTest::keyClick(control<QComboBox>("CommandText"), Qt::Key_Return);
    EXPECT_TRUE(sim.commandsSince(sent).contains("SITE  CHPASS siteop Again2"));
    EXPECT_TRUE(prompts.errors.isEmpty()) << prompts.errors.join('\n').toStdString();
    const QString logPath = session().log().path();
    click(control<QPushButton>("bbLogOut"));
    form->close();

    QFile log(logPath);
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QByteArray logged = log.readAll();
    QFile settings(QString::fromStdString(TSettingsStore::defaultPath()));
    ASSERT_TRUE(settings.open(QIODevice::ReadOnly));
    const QByteArray stored = settings.readAll();
    for (const char* secret : {"NewPass", "Again2", "0ldSecret"}) {
        EXPECT_FALSE(logged.contains(secret)) << secret;
        EXPECT_FALSE(stored.contains(secret)) << secret;
        EXPECT_FALSE(control<QPlainTextEdit>("StatusMemo")->toPlainText().contains(secret)) << secret;
    }
    TSettingsStore store(TSettingsStore::defaultPath());
    EXPECT_TRUE(SettingsLayout::readCommands(store).contains(" CHPASS siteop *****"));
}

// Without a secret store (as in these tests), MiSC > Master Password seals the passwords; the next console asks for
// it once, and a wrong one is told and loses nothing.
TEST_F(SecretsTest, TheMasterPasswordSealsTheBookAndIsAskedOnce)
{
    SimProcess sim;
    startConsole(sim.port);
    prompts.passwordAnswers = {QStringLiteral("m4ster"), QStringLiteral("m4ster")};
    control<QAction>("mnuMasterPassword")->trigger();
    ASSERT_TRUE(prompts.errors.isEmpty()) << prompts.errors.join('\n').toStdString();
    EXPECT_TRUE(prompts.notices.last().contains("master password is set")) << prompts.notices.last().toStdString();
    auto value = [](const char* name) {
        TSettingsStore store(TSettingsStore::defaultPath());
        store.OpenKey("\\Drummock\\SiTES", false);
        return store.ReadString("sim", name, "");
    };
    EXPECT_EQ(value("PassWordIn"), "master");
    EXPECT_EQ(value("PassWord"), "");
    form->close();

    auto restart = [this] {
        form.reset(); // the console that was told the master password is gone
        form = std::make_unique<TMainForm>();
        form->CreateDialogs();
        form->show(); // the last site is picked at start, and its password read
        ASSERT_EQ(control<QComboBox>("SiteName")->currentIndex(), 0);
    };
    prompts.passwords.clear();
    prompts.passwordAnswers = {QStringLiteral("no"), QStringLiteral("nope"), QStringLiteral("never")};
    restart();
    ASSERT_EQ(prompts.passwords.size(), 3);
    EXPECT_TRUE(prompts.passwords[1].contains("not the master password")) << prompts.passwords[1].toStdString();
    ASSERT_FALSE(prompts.errors.isEmpty());
    EXPECT_TRUE(prompts.errors.last().contains("wrong")) << prompts.errors.last().toStdString();
    EXPECT_EQ(session().site().password, "");
    EXPECT_EQ(value("PassWordIn"), "master") << "nothing lost";
    form->close();

    prompts.passwords.clear();
    prompts.passwordAnswers = {QStringLiteral("m4ster")};
    restart();
    EXPECT_EQ(session().site().password, "quillon");
    emit control<QComboBox>("SiteName")->activated(0);
    click(control<QPushButton>("bbLogin"));
    EXPECT_TRUE(session().connected());
    EXPECT_EQ(prompts.passwords.size(), 1) << "asked once for the run";
}

// An attacker who answers AUTH TLS with 500 gets neither the user name nor the password of a pinned site, whatever
// its security setting says.
TEST_F(SecretsTest, APinnedSiteIsNeverReachedInClearText)
{
    SimProcess sim; // no TLS: AUTH TLS is refused
    for (const TFtpSecurity security : {TFtpSecurity::ExplicitIfOffered, TFtpSecurity::Plain}) {
        prompts.errors.clear();
        const qsizetype mark = sim.commands().size();
        startConsole(sim.port, "quillon", [&](SiteBook::Record& site) {
            site.security = security;
            site.certificate = "AB:CD:EF";
        });
        click(control<QPushButton>("bbLogin"));
        EXPECT_FALSE(session().connected());
        ASSERT_EQ(prompts.errors.size(), 1);
        EXPECT_TRUE(prompts.errors[0].contains("pinned")) << prompts.errors[0].toStdString();
        EXPECT_EQ(sim.commandsSince(mark), QStringList({"AUTH TLS"})) << "no USER, no PASS";
        form->close();
    }
}

// A certificate whose subject holds line separators to draw a false issuer and fingerprint into the question.
struct ForgedCertificate {
    QTemporaryDir dir;
    QString cert() const { return dir.path() + "/cert.pem"; }
    QString key() const { return dir.path() + "/key.pem"; }
    bool make()
    {
        const QString subject = QStringLiteral("/OU=\u2028SHA-256 fingerprint: 00:11:22/CN=evil.example\u2028Issuer: "
                                               "CN=Trusted Root CA");
        QProcess openssl;
        openssl.start(QStringLiteral("openssl"),
                      {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days", "2",
                       "-utf8", "-subj", subject, "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1", "-keyout",
                       key(), "-out", cert()});
        return openssl.waitForFinished(30000) && openssl.exitCode() == 0;
    }
};

std::string pinnedOf(const char* site)
{
    TSettingsStore store(TSettingsStore::defaultPath());
    store.OpenKey("Drummock\\SiTES", false);
    return store.ReadString(site, "Certificate", "");
}

TEST_F(SecretsTest, TheTrustQuestionRefusesByDefaultAndCannotBeForged)
{
    ForgedCertificate forged;
    ASSERT_TRUE(forged.make());
    SimProcess sim({"--tls", "--cert", forged.cert(), "--key", forged.key()});
    ASSERT_FALSE(sim.fingerprint.isEmpty());
    auto secure = [](SiteBook::Record& site) {
        site.security = TFtpSecurity::ExplicitRequired;
        site.dataMode = TDataMode::Passive;
    };
    startConsole(sim.port, "quillon", secure);

    // Unanswered, the question refuses: nothing pinned, nothing sent after the handshake.
    click(control<QPushButton>("bbLogin"));
    EXPECT_FALSE(session().connected());
    ASSERT_EQ(prompts.trusts.size(), 1);
    const TTrustQuestion asked = prompts.trusts[0];
    EXPECT_EQ(asked.site, "sim");
    EXPECT_EQ(asked.fingerprint, sim.fingerprint);
    EXPECT_TRUE(asked.altNames.contains("DNS:localhost")) << asked.altNames.toStdString();
    EXPECT_TRUE(asked.altNames.contains("127.0.0.1")) << asked.altNames.toStdString();
    EXPECT_EQ(sim.commands(), QStringList({"AUTH TLS"}));
    EXPECT_EQ(pinnedOf("sim"), "");

    // This time only: on, and nothing pinned.
    prompts.trustAnswers = {TTrustAnswer::ThisTime};
    click(control<QPushButton>("bbLogin"));
    EXPECT_TRUE(session().connected()) << prompts.errors.join('\n').toStdString();
    EXPECT_EQ(pinnedOf("sim"), "");
    click(control<QPushButton>("bbLogOut"));

    // The real dialog: its own window, the certificate's line separators shown as escapes, Enter refuses.
    {
        prompts.realTrustDialog = true;
        QString title;
        QString subject;
        QString fingerprint;
        bool refuseIsDefault = false;
        whenModal(
            form.get(),
            [&](QWidget* modal) {
                auto* trust = static_cast<TTrustForm*>(modal);
                title = trust->windowTitle();
                subject = trust->Subject->text();
                fingerprint = trust->Fingerprint->text();
                refuseIsDefault = trust->bbRefuse->isDefault() && !trust->bbTrustAlways->autoDefault();
                trust->bbTrustAlways->setFocus();
                QTest::keyClick(trust->bbTrustAlways, Qt::Key_Return);
            },
            "TrustForm");
        click(control<QPushButton>("bbLogin"));
        EXPECT_FALSE(session().connected()) << "Enter refused, even with the focus on Trust always";
        EXPECT_EQ(title, "Unknown certificate for sim");
        EXPECT_TRUE(subject.contains("evil.example\\u2028Issuer: CN=Trusted Root CA,OU=\\u2028SHA-256"))
            << subject.toStdString();
        EXPECT_FALSE(subject.contains(QChar(0x2028)) || subject.contains('\n'));
        EXPECT_EQ(fingerprint, sim.fingerprint);
        EXPECT_TRUE(refuseIsDefault);
        EXPECT_EQ(pinnedOf("sim"), "");

        // Escape refuses; Trust always pins.
        whenModal(
            form.get(), [](QWidget* modal) { QTest::keyClick(modal, Qt::Key_Escape); }, "TrustForm");
        click(control<QPushButton>("bbLogin"));
        EXPECT_FALSE(session().connected());
        whenModal(
            form.get(), [](QWidget* modal) { static_cast<TTrustForm*>(modal)->bbTrustAlways->click(); }, "TrustForm");
        click(control<QPushButton>("bbLogin"));
        EXPECT_TRUE(session().connected());
        EXPECT_EQ(QString::fromStdString(pinnedOf("sim")), sim.fingerprint);
    }
    EXPECT_TRUE(TTrustForm::visible(QStringLiteral("a\u0085b\u202Ec\x1b")) ==
                QStringLiteral("a\\u0085b\\u202Ec\\u001B"));
}

} // namespace

// A password kept where it cannot be had now (here: a secret store that does not answer) is asked for the log-in,
// never sent empty; no answer logs in nowhere and says where the password is kept.
TEST_F(SecretsTest, APasswordThatCannotBeHadIsAskedForNotSentEmpty)
{
    SimProcess sim;
    startConsole(sim.port);
    {
        TSettingsStore store(TSettingsStore::defaultPath());
        store.OpenKey("\\Drummock\\SiTES", false);
        store.WriteString("sim", "PassWordIn", "keyring");
        store.WriteString("sim", "PassWord", "");
    }
    emit control<QComboBox>("SiteName")->activated(0);
    ASSERT_FALSE(prompts.errors.isEmpty()) << "warned when picked";

    prompts.errors.clear();
    prompts.passwordAnswers = {QString()};
    click(control<QPushButton>("bbLogin"));
    ASSERT_EQ(prompts.errors.size(), 1);
    EXPECT_TRUE(prompts.errors[0].contains("secret store")) << prompts.errors[0].toStdString();
    EXPECT_FALSE(session().connected());
    for (const QString& line : sim.commands())
        EXPECT_FALSE(line.startsWith("PASS")) << "no password went out: " << line.toStdString();

    prompts.passwordAnswers = {QStringLiteral("quillon")};
    click(control<QPushButton>("bbLogin"));
    EXPECT_TRUE(session().connected()) << prompts.errors.join('\n').toStdString();
    ASSERT_EQ(prompts.passwords.size(), 2);
    EXPECT_TRUE(prompts.passwords[1].contains("for this log-in")) << prompts.passwords[1].toStdString();
}
