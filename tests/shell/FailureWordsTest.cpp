// The words of a failure are worked out once, in the session's folder: the console's error box says what the
// function says, for the failures an operator meets first.

#include "ConsoleFixture.h"

#include "ftp/ScriptPeer.h"
#include "gui/Guard.h"
#include "session/FailureText.h"

namespace {

using FailureWordsTest = ConsoleTest;

TEST_F(FailureWordsTest, TheErrorBoxSaysWhatTheFailureWordsSay)
{
    SimProcess plain, tls({"--tls"});
    ScriptPeer silent([](PeerSession& c) { c.waitClosed(); }); // takes the connection and says nothing
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
    }
}

} // namespace
