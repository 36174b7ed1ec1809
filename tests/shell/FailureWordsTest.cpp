// The words of a failure are worked out once, in the session's folder: the console's error box says what the
// function says, and kolvane-run gives the same hint on the same site, for the failures an operator meets first.

#include "ConsoleFixture.h"

#include "ftp/ScriptPeer.h"
#include "gui/Guard.h"
#include "session/FailureText.h"

#include <QProcess>

namespace {

using FailureWordsTest = ConsoleTest;

// What kolvane-run prints for the book's site "sim", with no terminal and no secret store.
QString runToolOnSim()
{
    QProcess tool;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DBUS_SESSION_BUS_ADDRESS");
    tool.setProcessEnvironment(env);
    tool.start(qEnvironmentVariable("KOLVANE_BINARY_DIR") + "/session/kolvane-run", {"sim", "WHO"});
    tool.closeWriteChannel();
    if (!tool.waitForFinished(20000))
        tool.kill();
    tool.waitForFinished();
    return QString::fromUtf8(tool.readAllStandardOutput() + tool.readAllStandardError());
}

TEST_F(FailureWordsTest, TheErrorBoxSaysWhatTheFailureWordsSay)
{
    SimProcess plain, tls({"--tls"});
    ScriptPeer silent([](PeerSession& c) { c.waitClosed(); }, 2); // takes the connection and says nothing
    const quint16 nobody = closedPort();
    const auto requireTls = [](SiteBook::Record& site) { site.security = TFtpSecurity::ExplicitRequired; };
    struct Case {
        const char* what;
        quint16 port;
        std::string password;
        std::function<void(SiteBook::Record&)> adjust;
        const char* hintStarts;
    };
    const Case cases[] = {
        {"connection refused", nobody, "quillon", nullptr, "Check the host name and port of the site in SiTES"},
        {"time-out", silent.port(), "quillon", [](SiteBook::Record& site) { site.replyTimeout = 1; },
         "Check that the daemon is running and answering"},
        {"unknown certificate", tls.port, "quillon", requireTls, "Compare the certificate's fingerprint"},
        {"TLS refused by the daemon", plain.port, "quillon", requireTls, "The daemon offers no TLS here"},
        {"wrong password", plain.port, "wrong", nullptr, "Check the log-in name and password"},
        {"proxy not running", plain.port, "quillon",
         [nobody](SiteBook::Record& site) { site.connectVia = "socks5://127.0.0.1:" + std::to_string(nobody); },
         "Check CONNECT ViA of the site in SiTES"},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.what);
        prompts.errors.clear();
        prompts.trustAnswers = {TTrustAnswer::Refuse};
        startConsole(row.port, row.password, row.adjust);
        click(control<QPushButton>("bbLogin"));
        ASSERT_EQ(prompts.errors.size(), 1);
        const FailureText words = failureText(session().lastFailure(), session().site());
        ASSERT_FALSE(words.hint.empty());
        QString message = QString::fromStdString(words.message);
        while (message.endsWith('\n') || message.endsWith('\r'))
            message.chop(1);
        EXPECT_EQ(prompts.errors[0], ErrorBoxText(message) + '\n' + QString::fromStdString(words.hint));
        EXPECT_TRUE(words.hint.rfind(row.hintStarts, 0) == 0) << words.hint;
        form->close();
        form.reset();
        // The same site from a script: the same hint, under a line that names where the run tried to go.
        const QString printed = runToolOnSim();
        EXPECT_TRUE(printed.contains(QString::fromStdString(words.hint))) << printed.toStdString();
    }
}

} // namespace
