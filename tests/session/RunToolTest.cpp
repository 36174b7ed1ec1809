// kolvane-run as a script runs it: a site book of its own, scripted daemons, and what the program prints and
// returns.

#include "FtpTestSupport.h"
#include "platform/SettingsStore.h"
#include "sitebook/Diamond.h"
#include "sitebook/SiteBook.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QTemporaryDir>

namespace {

ScriptPeer::Script answering(std::string reply)
{
    return [reply](PeerSession& c) {
        c.send("220 ready\r\n");
        c.expect("USER op");
        c.send("230 Logged in\r\n");
        c.expect("SITE WHO");
        c.send(reply);
        c.expect("QUIT");
        c.send("221 bye\r\n");
    };
}

struct ToolRun {
    int status = -1;
    QString out;
    QString err;
};

// Runs kolvane-run with the book under config, the engine's events running meanwhile (the peers need none).
ToolRun runTool(const QString& config, const QStringList& args)
{
    QProcess tool;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", config);
    env.remove("DBUS_SESSION_BUS_ADDRESS"); // no secret store: the enciphered passwords of the book are used
    tool.setProcessEnvironment(env);
    tool.start(qEnvironmentVariable("KOLVANE_BINARY_DIR") + "/session/kolvane-run", args);
    if (!tool.waitForFinished(20000)) {
        tool.kill();
        tool.waitForFinished();
    }
    return {tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1,
            QString::fromUtf8(tool.readAllStandardOutput()), QString::fromUtf8(tool.readAllStandardError())};
}

} // namespace

TEST(RunTool, FoldsIdenticalRepliesPrintsJsonAndSaysWhetherAllWentWell)
{
    ScriptPeer alpha(answering("200 nobody is on\r\n"), 2), beta(answering("200 nobody is on\r\n"), 2);
    ScriptPeer gamma(answering("550 WHO is off\r\n"));
    QTemporaryDir config;
    ASSERT_TRUE(config.isValid());
    {
        const QByteArray before = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
        const QByteArray bus = qgetenv("DBUS_SESSION_BUS_ADDRESS");
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
        TSettingsStore store(TSettingsStore::defaultPath());
        TDiamond cipher;
        cipher.SetKey(std::string(DiamondConsoleKey));
        for (const auto& [name, port, folder] :
             {std::tuple{"alpha", alpha.port(), "eu"}, std::tuple{"beta", beta.port(), "eu/north"},
              std::tuple{"gamma", gamma.port(), "us"}}) {
            SiteBook::Record site;
            site.host = "127.0.0.1";
            site.port = std::to_string(port);
            site.login = "op";
            site.password = "pw";
            site.folder = folder;
            SiteBook::save(store, cipher, name, site);
        }
        if (!bus.isEmpty())
            qputenv("DBUS_SESSION_BUS_ADDRESS", bus);
        qputenv("XDG_CONFIG_HOME", before);
    }

    const ToolRun plain = runTool(config.path(), {"--all", "WHO"});
    EXPECT_EQ(plain.status, 1) << plain.err.toStdString(); // gamma refused
    EXPECT_EQ(plain.out, "== 2 sites: alpha, beta\n200 nobody is on\n== gamma\n550 WHO is off\n");

    const ToolRun json = runTool(config.path(), {"--json", "--folder", "eu", "WHO"});
    EXPECT_EQ(json.status, 0) << json.err.toStdString();
    const QStringList lines = json.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].startsWith(R"({"site": "alpha", "ok": true, "code": 200, "lines": ["200 nobody is on"], )"
                                    R"("error": null, "ms": )"))
        << lines[0].toStdString();
    EXPECT_TRUE(lines[1].startsWith(R"({"site": "beta", )")) << lines[1].toStdString();

    EXPECT_EQ(runTool(config.path(), {"WHO"}).status, 2); // no site named
    EXPECT_EQ(runTool(config.path(), {"--jobs", "0", "--all", "WHO"}).status, 2);
    EXPECT_EQ(runTool(config.path(), {"alpha"}).status, 2); // no command
    for (const ScriptPeer* peer : {&alpha, &beta})
        EXPECT_EQ(peer->failure(), "");
}
