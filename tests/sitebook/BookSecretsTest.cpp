// The site book's passwords without a secret store (the master password), and kolvane-site at a terminal.

#include "common/ScriptedPrompts.h"
#include "ftp/NMFtp.h"
#include "platform/SettingsStore.h"
#include "sitebook/Diamond.h"
#include "sitebook/Keyring.h"
#include "sitebook/SiteBook.h"
#include "sitebook/Sites.h"

#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QThread>

#include <csignal>
#include <deque>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

std::string stored(TSettingsStore& store, const std::string& site, const char* value)
{
    store.OpenKey("\\Drummock\\SiTES", false);
    return store.ReadString(site, value, "<none>");
}

TEST(MasterPassword, SealsThePasswordsAskedOnceAndAWrongOneLosesNothing)
{
    if (Keyring::reachable())
        GTEST_SKIP() << "the passwords go to the secret store in this session";
    ScriptedPrompts prompts;
    QFile::remove(QString::fromStdString(TSettingsStore::defaultPath()));
    TDiamond cipher;
    cipher.SetKey(std::string(DiamondConsoleKey));
    std::deque<std::optional<std::string>> answers;
    int asked = 0;
    SiteBook::setMasterPasswordAsker([&](bool) {
        ++asked;
        std::optional<std::string> answer;
        if (!answers.empty()) {
            answer = answers.front();
            answers.pop_front();
        }
        return answer;
    });
    SiteBook::forgetMasterPassword();
    TSettingsStore store(TSettingsStore::defaultPath());
    TSiteForm dialog([&]() -> TSettingsStore& { return store; }, cipher);
    EXPECT_TRUE(dialog.PasswordSafety->text().contains("only obscured")) << dialog.PasswordSafety->text().toStdString();

    SiteBook::Record site = SiteBook::NewSite();
    site.host = "h";
    site.login = "l";
    site.password = "s3cretPw";
    SiteBook::save(store, cipher, "one", site);
    // Obscured only: the key built into the program gives it back to anyone who has the file.
    TDiamond anyone;
    anyone.SetKey(std::string(DiamondConsoleKey));
    EXPECT_EQ(anyone.DecipherString(stored(store, "one", "PassWord")), "s3cretPw");

    SiteBook::setMasterPassword(store, cipher, "m4ster");
    EXPECT_EQ(stored(store, "one", "PassWord"), "");
    EXPECT_EQ(stored(store, "one", "PassWordIn"), "master");
    const std::string sealed = stored(store, "one", "SealedPassWord");
    EXPECT_EQ(sealed.rfind("aes-256-gcm:", 0), 0u) << sealed;
    QFile file(QString::fromStdString(TSettingsStore::defaultPath()));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_FALSE(file.readAll().contains("s3cretPw"));
    dialog.openOn(QString());
    EXPECT_TRUE(dialog.PasswordSafety->text().contains("master password"))
        << dialog.PasswordSafety->text().toStdString();

    // A new run. A wrong master password opens nothing, saves nothing, and is said to be wrong.
    SiteBook::forgetMasterPassword();
    answers = {"wrong", "wrong", "wrong"};
    const SiteBook::Record locked = SiteBook::read(store, cipher, "one");
    EXPECT_EQ(locked.password, "");
    EXPECT_NE(locked.passwordProblem.find("wrong"), std::string::npos) << locked.passwordProblem;
    answers = {"nope", "nope", "nope"};
    site.password = "changed";
    EXPECT_THROW(SiteBook::save(store, cipher, "one", site), EStoreError);
    EXPECT_EQ(stored(store, "one", "SealedPassWord"), sealed);
    EXPECT_THROW(SiteBook::setMasterPassword(store, cipher, "other"), EStoreError);
    EXPECT_EQ(stored(store, "one", "SealedPassWord"), sealed);

    // The right one, asked once for the whole run.
    asked = 0;
    answers = {"m4ster"};
    EXPECT_EQ(SiteBook::read(store, cipher, "one").password, "s3cretPw");
    site.password = "otherPw";
    SiteBook::save(store, cipher, "two", site);
    EXPECT_EQ(SiteBook::read(store, cipher, "two").password, "otherPw");
    EXPECT_EQ(asked, 1);

    // Without it again, both passwords are as they were, obscured.
    SiteBook::setMasterPassword(store, cipher, "");
    SiteBook::forgetMasterPassword();
    EXPECT_EQ(SiteBook::read(store, cipher, "one").password, "s3cretPw");
    EXPECT_EQ(SiteBook::read(store, cipher, "two").password, "otherPw");
    EXPECT_EQ(stored(store, "two", "PassWordIn"), "");
    EXPECT_EQ(asked, 1);
    SiteBook::setMasterPasswordAsker(nullptr);
}

TEST(MasterPassword, AProxysPasswordIsKeptAsTheSitesIsAndReachesTheClientWithItsPath)
{
    if (Keyring::reachable())
        GTEST_SKIP() << "the passwords go to the secret store in this session";
    QFile::remove(QString::fromStdString(TSettingsStore::defaultPath()));
    TDiamond cipher;
    cipher.SetKey(std::string(DiamondConsoleKey));
    std::optional<std::string> answer;
    SiteBook::setMasterPasswordAsker([&](bool again) { return again ? std::nullopt : answer; });
    SiteBook::forgetMasterPassword();
    TSettingsStore store(TSettingsStore::defaultPath());
    SiteBook::Record site = SiteBook::NewSite();
    site.host = "ftp.example.org";
    site.login = "op";
    site.password = "s1tePw";
    site.connectVia = "SOCKS5://op%40corp@127.0.0.1:1080/";
    site.proxyPassword = "pr0xyPw";
    SiteBook::save(store, cipher, "proxied", site);
    SiteBook::Record asked = site;
    asked.connectVia.clear();
    asked.passwordAsked = true; // as an import without its passphrase leaves a site
    SiteBook::save(store, cipher, "asked", asked);
    // Without a master password the proxy's password is obscured beside the site's; the path is kept as the one
    // reader gives it back.
    EXPECT_EQ(stored(store, "proxied", "ConnectVia"), "socks5://op%40corp@127.0.0.1:1080");
    EXPECT_EQ(cipher.DecipherString(stored(store, "proxied", "ProxyPassWord")), "pr0xyPw");
    EXPECT_EQ(stored(store, "asked", "ConnectVia"), "<none>") << "a direct site's record is as it always was";

    // With one, it is sealed as the site's is; the site that asks for its password keeps asking.
    SiteBook::setMasterPassword(store, cipher, "m4ster");
    EXPECT_EQ(stored(store, "proxied", "ProxyPassWord"), "");
    EXPECT_EQ(stored(store, "proxied", "ProxyPassWordIn"), "master");
    EXPECT_EQ(stored(store, "proxied", "SealedProxyPassWord").rfind("aes-256-gcm:", 0), 0u);
    EXPECT_EQ(stored(store, "asked", "PassWordIn"), "ask");
    QFile file(QString::fromStdString(TSettingsStore::defaultPath()));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    EXPECT_FALSE(bytes.contains("pr0xyPw") || bytes.contains("s1tePw"));

    // A new run without the master password has neither password, and says so; with it, both.
    SiteBook::forgetMasterPassword();
    const SiteBook::Record locked = SiteBook::read(store, cipher, "proxied");
    EXPECT_EQ(locked.proxyPassword, "");
    EXPECT_NE(locked.passwordProblem.find("proxied's proxy is sealed"), std::string::npos) << locked.passwordProblem;
    answer = "m4ster";
    const SiteBook::Record back = SiteBook::read(store, cipher, "proxied");
    EXPECT_EQ(back.password, "s1tePw");
    EXPECT_EQ(back.proxyPassword, "pr0xyPw");
    EXPECT_EQ(back.passwordProblem, "");
    // The site's own sealed password put in the proxy's place does not open there.
    {
        store.OpenKey("\\Drummock\\SiTES", false);
        store.WriteString("proxied", "SealedProxyPassWord", stored(store, "proxied", "SealedPassWord"));
    }
    EXPECT_NE(SiteBook::read(store, cipher, "proxied").passwordProblem.find("damaged"), std::string::npos);
    SiteBook::save(store, cipher, "proxied", back);

    // The client is given the path with its password for the next log-in; a path no reader takes (a hand edit)
    // leaves the client as it was, rather than letting it go straight to the site.
    TNMFTP client;
    SiteBook::loadInto(client, SiteBook::read(store, cipher, "proxied"));
    EXPECT_EQ(client.Via.kind, ProxyKind::Socks5);
    EXPECT_EQ(client.Via.user, "op@corp");
    EXPECT_EQ(client.Via.password, "pr0xyPw");
    EXPECT_EQ(client.Via.host, "127.0.0.1");
    EXPECT_EQ(client.Host, "ftp.example.org");
    SiteBook::Record damaged = back;
    damaged.connectVia = "socks5://proxy.example";
    damaged.host = "elsewhere.example.org";
    EXPECT_THROW(SiteBook::loadInto(client, damaged), Exception);
    EXPECT_EQ(client.Via.host, "127.0.0.1");
    EXPECT_EQ(client.Host, "ftp.example.org");

    // Without the master password again, the proxy's password is obscured as before.
    SiteBook::setMasterPassword(store, cipher, "");
    SiteBook::forgetMasterPassword();
    EXPECT_EQ(SiteBook::read(store, cipher, "proxied").proxyPassword, "pr0xyPw");
    EXPECT_EQ(stored(store, "proxied", "ProxyPassWordIn"), "");
    SiteBook::setMasterPasswordAsker(nullptr);
}

QString tool()
{
    return qEnvironmentVariable("KOLVANE_BINARY_DIR") + "/sitebook/kolvane-site";
}

std::pair<int, QByteArray> run(const QStringList& args, const QByteArray& input)
{
    QProcess p;
    p.start(tool(), args);
    p.write(input);
    p.closeWriteChannel();
    EXPECT_TRUE(p.waitForFinished(10000));
    return {p.exitCode(), p.readAllStandardOutput() + p.readAllStandardError()};
}

TEST(SiteTool, RefusesBadPortsAndFingerprintsAndEscapesEveryControlCharacter)
{
    QFile::remove(QString::fromStdString(TSettingsStore::defaultPath()));
    for (const char* port : {"0", "70000", "abc", "65536"}) {
        const auto [code, said] = run({"add", "x", "h", port, "u"}, "pw\n");
        EXPECT_EQ(code, 2) << port;
        EXPECT_TRUE(said.contains("port")) << said.toStdString();
    }
    EXPECT_EQ(run({"add", "x", "h", "21", "u", "--fingerprint", "zz"}, "pw\n").first, 2);
    EXPECT_EQ(run({"add", "x", "h", "21", "u", "--fingerprint", QStringList(31, "AB").join(':')}, "pw\n").first, 2);
    {
        TSettingsStore store(TSettingsStore::defaultPath());
        EXPECT_TRUE(SiteBook::names(store).isEmpty()) << "nothing was stored";
    }
    EXPECT_EQ(run({"add", "x", "h", "65535", "u", "--fingerprint", QStringList(32, "0f").join(':')}, "pw\n").first, 0);
    // A control character never makes a name (a C1 one no more than NUL); format characters and those beyond the
    // BMP do, and are printed by code point, the ones that would hide or reorder text as escapes.
    const auto [refused, why] = run({"add", QStringLiteral("c1\u009b2J"), "h", "1", "u"}, "pw\n");
    EXPECT_EQ(refused, 2);
    EXPECT_TRUE(why.contains("control character (it holds \\u009B)")) << why.toStdString();
    EXPECT_EQ(run({"add", QStringLiteral("prod\u202eatad\u200b\U0001F600\U000E0001"), "h", "1", "u"}, "pw\n").first, 0);
    const QByteArray listed = run({"list"}, "").second;
    EXPECT_EQ(listed, "prod\\u202Eatad\\u200B\xF0\x9F\x98\x80\\U000E0001\nx\n");
}

// Ctrl-C at the password prompt ends kolvane-site; the terminal it leaves has its echo back.
TEST(SiteTool, CtrlCAtThePasswordPromptGivesTheEchoBack)
{
    int terminal = -1;
    const std::string program = tool().toStdString();
    const pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(child, 0);
    if (child == 0) {
        execl(program.c_str(), program.c_str(), "add", "x", "h", "21", "u", static_cast<char*>(nullptr));
        _exit(127);
    }
    QByteArray said;
    const QDeadlineTimer deadline(10000);
    while (!said.contains("Password: ") && !deadline.hasExpired()) {
        pollfd ready{terminal, POLLIN, 0};
        if (::poll(&ready, 1, 100) > 0) {
            char buffer[256];
            const ssize_t got = ::read(terminal, buffer, sizeof buffer);
            if (got <= 0)
                break;
            said.append(buffer, got);
        }
    }
    EXPECT_TRUE(said.contains("Password: ")) << said.toStdString();
    QThread::msleep(100); // the prompt is written just before the echo goes off; let the read begin
    termios during{};
    ASSERT_EQ(tcgetattr(terminal, &during), 0);
    EXPECT_FALSE(during.c_lflag & ECHO) << "the password is typed without echo";
    const char interrupt = '\x03';
    ASSERT_EQ(::write(terminal, &interrupt, 1), 1);
    int status = 0;
    pid_t ended = 0;
    const QDeadlineTimer exit(10000);
    while ((ended = ::waitpid(child, &status, WNOHANG)) == 0 && !exit.hasExpired())
        QThread::msleep(10);
    if (ended == 0) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        ADD_FAILURE() << "kolvane-site did not end at Ctrl-C";
    }
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
    termios after{};
    ASSERT_EQ(tcgetattr(terminal, &after), 0);
    EXPECT_TRUE(after.c_lflag & ECHO) << "the echo is back";
    ::close(terminal);
}

} // namespace
