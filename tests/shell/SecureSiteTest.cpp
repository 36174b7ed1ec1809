// A site reached over TLS, end to end: the real main window against quillon-sim speaking FTPS.

#include "ConsoleFixture.h"

#include <QPlainTextEdit>

namespace {

using SecureSiteTest = ConsoleTest;

void secure(SiteBook::Record& site)
{
    site.security = TFtpSecurity::ExplicitRequired;
    site.dataMode = TDataMode::Passive;
}

std::string pinned()
{
    TSettingsStore store(TSettingsStore::defaultPath());
    store.OpenKey("Drummock\\SiTES", false);
    return store.ReadString("sim", "Certificate", "");
}

TEST_F(SecureSiteTest, ASelfSignedCertificateIsAskedAboutOnceThenHeldTo)
{
    SimProcess sim({"--tls", "--require-tls"});
    ASSERT_FALSE(sim.fingerprint.isEmpty());
    startConsole(sim.port, "quillon", secure);
    prompts.trustAnswers = {TTrustAnswer::Always};
    click(control<QPushButton>("bbLogin"));
    ASSERT_TRUE(session().connected()) << prompts.errors.join('\n').toStdString();
    ASSERT_EQ(prompts.trusts.size(), 1);
    EXPECT_EQ(prompts.trusts[0].fingerprint, sim.fingerprint);
    EXPECT_EQ(QString::fromStdString(pinned()), sim.fingerprint) << "trusted once, pinned in the site's record";
    const QString status = control<QPlainTextEdit>("StatusMemo")->toPlainText();
    EXPECT_TRUE(status.contains("AUTH TLS\n234")) << status.toStdString();
    EXPECT_TRUE(status.contains("Secured with TLS")) << status.toStdString();

    // The file tree comes over a protected passive data connection.
    clickTab(control<TFilePage>("FileSheet"));
    EXPECT_TRUE(prompts.errors.isEmpty()) << prompts.errors.join('\n').toStdString();
    EXPECT_EQ(panel(3), "Done...");
    EXPECT_GT(control<TFileTreeView>("TreeView1")->model()->rowCount(), 1);
    const QStringList sent = sim.commands();
    for (const char* command : {"PBSZ 0", "PROT P", "EPSV", "LIST"})
        EXPECT_TRUE(sent.contains(command)) << command;

    // The next log-in accepts the pinned certificate without a question.
    click(control<QPushButton>("bbLogOut"));
    click(control<QPushButton>("bbLogin"));
    EXPECT_TRUE(session().connected());
    EXPECT_EQ(prompts.trusts.size(), 1);
    click(control<QPushButton>("bbLogOut"));

    // Another certificate where the pinned one was expected: refused, naming both, and nothing is sent after the
    // handshake.
    SimProcess impostor({"--tls"});
    {
        TSettingsStore store(TSettingsStore::defaultPath());
        store.OpenKey("Drummock\\SiTES", false);
        store.WriteString("sim", "Port", std::to_string(impostor.port));
    }
    emit control<QComboBox>("SiteName")->activated(0);
    click(control<QPushButton>("bbLogin"));
    EXPECT_FALSE(session().connected());
    ASSERT_EQ(prompts.errors.size(), 1);
    EXPECT_TRUE(prompts.errors[0].contains(sim.fingerprint) && prompts.errors[0].contains(impostor.fingerprint))
        << prompts.errors[0].toStdString();
    EXPECT_TRUE(prompts.errors[0].contains("\nThe site's certificate has changed: compare"))
        << prompts.errors[0].toStdString();
    EXPECT_EQ(impostor.commands(), QStringList({"AUTH TLS"}));
    EXPECT_EQ(prompts.trusts.size(), 1) << "a pinned site is never asked about again";
}

TEST_F(SecureSiteTest, AListingWhoseTlsDataConnectionEndsWithoutCloseNotifyIsReportedAndKeepsWhatCame)
{
    // What a listing cut short by somebody on the path looks like: the data connection ends with a plain close.
    SimProcess sim({"--tls", "--no-close-notify"});
    startConsole(sim.port, "quillon", [&](SiteBook::Record& site) {
        secure(site);
        site.certificate = sim.fingerprint.toStdString();
    });
    click(control<QPushButton>("bbLogin"));
    ASSERT_TRUE(session().connected()) << prompts.errors.join('\n').toStdString();
    clickTab(control<TFilePage>("FileSheet"));
    ASSERT_EQ(prompts.errors.size(), 1) << "a listing that may not be whole is no success";
    EXPECT_TRUE(prompts.errors[0].contains("incomplete")) << prompts.errors[0].toStdString();
    EXPECT_NE(panel(3), "Done...");
    EXPECT_GT(control<TFileTreeView>("TreeView1")->model()->rowCount(), 0);
}

TEST_F(SecureSiteTest, NoTlsOnOfferIsClearTextOnlyWhenTheSiteAllowsIt)
{
    SimProcess sim; // plain FTP: AUTH TLS is refused
    startConsole(sim.port, "quillon", secure);
    click(control<QPushButton>("bbLogin"));
    EXPECT_FALSE(session().connected()) << "TLS required: never on in clear text";
    ASSERT_EQ(prompts.errors.size(), 1);
    EXPECT_TRUE(prompts.errors[0].contains("refused AUTH TLS")) << prompts.errors[0].toStdString();
    EXPECT_EQ(sim.commands(), QStringList({"AUTH TLS"})) << "no user name, no password in clear text";
    click(control<QPushButton>("bbLogOut"));

    startConsole(sim.port, "quillon", [](SiteBook::Record& site) { site.security = TFtpSecurity::ExplicitIfOffered; });
    click(control<QPushButton>("bbLogin"));
    EXPECT_TRUE(session().connected());
    EXPECT_TRUE(control<QPlainTextEdit>("StatusMemo")->toPlainText().contains("does not offer TLS"))
        << "and the operator is told";
}

} // namespace
