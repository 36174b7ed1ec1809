// The health check against real peers: quillon-sim with certificates made here that end in 5, 20 and 200 days
// (explicit and implicit TLS), a certificate that is not the pinned one, one that is pinned nowhere, a closed port and
// a daemon that never answers; what each check finds, what the daemon was sent, the plugin line, JSON and exit status
// of kolvane-health, and the history both it and the window write.

#include "common/SimProcess.h"
#include "platform/SettingsStore.h"
#include "session/BookChoice.h"
#include "session/HealthCheck.h"
#include "session/HealthHistory.h"
#include "session/HealthReport.h"
#include "sitebook/Diamond.h"
#include "sitebook/SiteBook.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <sqlite3.h>
#include <sys/stat.h>

#include <map>
#include <memory>

namespace {

struct Certificate {
    QString cert;
    QString key;
};

// A self-signed EC certificate for 127.0.0.1 that ends in `days` days, made with OpenSSL's command line.
Certificate makeCertificate(const QTemporaryDir& dir, const QString& name, int days)
{
    Certificate made{dir.filePath(name + ".pem"), dir.filePath(name + ".key")};
    QProcess openssl;
    openssl.start("openssl", {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                              "-keyout", made.key, "-out", made.cert, "-days", QString::number(days), "-subj",
                              "/CN=" + name, "-addext", "subjectAltName=IP:127.0.0.1"});
    EXPECT_TRUE(openssl.waitForFinished(20000));
    EXPECT_EQ(openssl.exitCode(), 0) << openssl.readAllStandardError().toStdString();
    return made;
}

struct ToolRun {
    int status = -1;
    QString out;
    QString err;
};

// The daemons and a site book of their sites, made once for the tests below.
class HealthPeers : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir_ = new QTemporaryDir;
        const Certificate five = makeCertificate(*dir_, "five", 5);
        const Certificate twenty = makeCertificate(*dir_, "twenty", 20);
        const Certificate longer = makeCertificate(*dir_, "longer", 200);
        const Certificate other = makeCertificate(*dir_, "other", 200);
        const auto tls = [](const Certificate& c, const char* kind) {
            return QStringList{kind, "--cert", c.cert, "--key", c.key};
        };
        fiveSim_ = new SimProcess(tls(five, "--tls"));
        twentySim_ = new SimProcess(tls(twenty, "--implicit-tls"));
        longSim_ = new SimProcess(tls(longer, "--tls"));
        otherSim_ = new SimProcess(tls(other, "--tls"));
        silent_ = new QTcpServer;
        silent_->listen(QHostAddress::LocalHost); // connections are taken, and nothing is ever said on them
        closedPort_ = [] {
            QTcpServer probe;
            probe.listen(QHostAddress::LocalHost);
            return probe.serverPort();
        }();

        config_ = new QTemporaryDir;
        state_ = new QTemporaryDir;
        const auto pinned = [](SimProcess* sim, TFtpSecurity security = TFtpSecurity::ExplicitRequired) {
            return [sim, security](SiteBook::Record& r) {
                r.port = std::to_string(sim->port);
                r.security = security;
                r.certificate = sim->fingerprint.toStdString();
            };
        };
        addSite("five", pinned(fiveSim_));
        addSite("twenty", pinned(twentySim_, TFtpSecurity::Implicit), "tls");
        addSite("longer", pinned(longSim_), "tls");
        // A site whose pin is another certificate's, and one pinned nowhere.
        addSite("changed", [](SiteBook::Record& r) {
            r.port = std::to_string(otherSim_->port);
            r.security = TFtpSecurity::ExplicitRequired;
            r.certificate = fiveSim_->fingerprint.toStdString();
        });
        addSite("unpinned", [](SiteBook::Record& r) {
            r.port = std::to_string(longSim_->port);
            r.security = TFtpSecurity::ExplicitRequired;
        });
        addSite("refused", [](SiteBook::Record& r) {
            pinnedTo(r, *fiveSim_);
            r.password = "wrong";
        });
        addSite("closed", [](SiteBook::Record& r) { r.port = std::to_string(closedPort_); });
        addSite("silent", [](SiteBook::Record& r) {
            r.port = std::to_string(silent_->serverPort());
            r.replyTimeout = 1;
        });
    }

    static void TearDownTestSuite()
    {
        for (SimProcess* sim : {fiveSim_, twentySim_, longSim_, otherSim_})
            delete sim;
        delete silent_;
        delete config_;
        delete state_;
        delete dir_;
    }

    static void pinnedTo(SiteBook::Record& r, const SimProcess& sim)
    {
        r.port = std::to_string(sim.port);
        r.security = TFtpSecurity::ExplicitRequired;
        r.certificate = sim.fingerprint.toStdString();
    }

    // The book of this test, as this process reaches it.
    static void inBook(const std::function<void(TSettingsStore&)>& work)
    {
        const QByteArray before = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", config_->path().toLocal8Bit());
        {
            TSettingsStore store(TSettingsStore::defaultPath());
            work(store);
        }
        qputenv("XDG_CONFIG_HOME", before);
    }

    static void addSite(const std::string& name, const std::function<void(SiteBook::Record&)>& adjust,
                        const std::string& folder = "")
    {
        inBook([&](TSettingsStore& store) {
            TDiamond cipher;
            cipher.SetKey(std::string(DiamondConsoleKey));
            SiteBook::Record site;
            site.host = "127.0.0.1";
            site.login = "siteop";
            site.password = "quillon";
            site.folder = folder;
            adjust(site);
            SiteBook::save(store, cipher, name, site);
        });
    }

    static std::vector<BatchSite> sites(const QStringList& names)
    {
        std::vector<BatchSite> read;
        inBook([&](TSettingsStore& store) {
            read = BookChoice::readSites(store, names, {std::nullopt, "test", true, false});
        });
        return read;
    }

    static QString historyPath() { return state_->path() + "/kolvane/health.db"; }

    // kolvane-health on this book and this history, its standard input not a terminal.
    static ToolRun tool(const QStringList& args, const QString& config = QString())
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", config.isEmpty() ? config_->path() : config);
        env.insert("XDG_STATE_HOME", state_->path());
        env.remove("DBUS_SESSION_BUS_ADDRESS");
        QProcess process;
        process.setProcessEnvironment(env);
        process.start(qEnvironmentVariable("KOLVANE_BINARY_DIR") + "/session/kolvane-health", args);
        process.closeWriteChannel();
        if (!process.waitForFinished(30000)) {
            process.kill();
            process.waitForFinished();
        }
        return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
                QString::fromUtf8(process.readAllStandardOutput()), QString::fromUtf8(process.readAllStandardError())};
    }

    static QTemporaryDir* dir_;
    static SimProcess* fiveSim_;
    static SimProcess* twentySim_;
    static SimProcess* longSim_;
    static SimProcess* otherSim_;
    static QTcpServer* silent_;
    static quint16 closedPort_;
    static QTemporaryDir* config_;
    static QTemporaryDir* state_;
};

QTemporaryDir* HealthPeers::dir_ = nullptr;
SimProcess* HealthPeers::fiveSim_ = nullptr;
SimProcess* HealthPeers::twentySim_ = nullptr;
SimProcess* HealthPeers::longSim_ = nullptr;
SimProcess* HealthPeers::otherSim_ = nullptr;
QTcpServer* HealthPeers::silent_ = nullptr;
quint16 HealthPeers::closedPort_ = 0;
QTemporaryDir* HealthPeers::config_ = nullptr;
QTemporaryDir* HealthPeers::state_ = nullptr;

const char* const kEveryone[] = {"five", "twenty", "longer", "changed", "unpinned", "refused", "closed", "silent"};

// The first word of each line a daemon received.
QSet<QString> verbsOf(const QStringList& lines)
{
    QSet<QString> verbs;
    for (const QString& line : lines)
        verbs << line.section(' ', 0, 0);
    return verbs;
}

} // namespace

TEST_F(HealthPeers, EachCheckFindsItsFiguresAndSendsNothingButTheLogInNoopAndQuit)
{
    QStringList names;
    for (const char* name : kEveryone)
        names << name;
    std::unique_ptr<TSiteBatch> batch = makeHealthCheck(sites(names), 8);
    batch->start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !batch->running(); }, 30000));
    std::map<std::string, SiteHealth> found;
    for (const SiteHealth& h : healthOf(*batch))
        found[h.site] = h;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const auto level = [&](const char* site) { return judgeHealth(found[site], HealthLimits{}, now).level; };

    // Every figure of a site that is well, over explicit and over implicit TLS.
    for (const char* name : {"longer", "twenty"}) {
        SCOPED_TRACE(name);
        const SiteHealth& h = found[name];
        EXPECT_EQ(h.outcome, Outcome::Ok) << h.why.message;
        for (const qint64 ms : {h.connectMs, h.tlsMs, h.loginMs, h.noopMs})
            EXPECT_GE(ms, 0);
        EXPECT_EQ(h.tlsVersion.rfind("TLSv1.", 0), 0u) << h.tlsVersion;
        EXPECT_FALSE(h.cipher.empty());
        EXPECT_EQ(h.subject, "CN=" + std::string(name == std::string("longer") ? "longer" : "twenty"));
        EXPECT_EQ(h.issuer, h.subject);
        EXPECT_EQ(h.pin, SiteHealth::Pin::Matches);
        EXPECT_EQ(h.banner.rfind("220", 0), 0u) << h.banner;
        EXPECT_LE(std::abs(h.checkedAt - now), 60000);
    }
    EXPECT_EQ(found["longer"].daysLeft(now), 199);
    EXPECT_EQ(level("longer"), HealthLevel::Ok);
    EXPECT_EQ(found["twenty"].daysLeft(now), 19);
    EXPECT_EQ(level("twenty"), HealthLevel::Warning);
    EXPECT_EQ(found["five"].daysLeft(now), 4);
    EXPECT_EQ(level("five"), HealthLevel::Critical);
    EXPECT_EQ(judgeHealth(found["five"], HealthLimits{}, now).reasons,
              std::vector<std::string>{"the certificate ends in 4 days"});

    // A certificate that is not the pinned one is shown, and refused; so is one that is pinned nowhere, and nothing
    // asks about it or pins it.
    EXPECT_EQ(found["changed"].outcome, Outcome::Certificate);
    EXPECT_EQ(found["changed"].pin, SiteHealth::Pin::Changed);
    EXPECT_EQ(found["changed"].subject, "CN=other");
    EXPECT_EQ(level("changed"), HealthLevel::Warning);
    EXPECT_EQ(found["unpinned"].outcome, Outcome::Certificate);
    EXPECT_EQ(found["unpinned"].pin, SiteHealth::Pin::NoPin);
    EXPECT_NE(found["unpinned"].why.message.find("not trusted"), std::string::npos) << found["unpinned"].why.message;
    EXPECT_EQ(level("unpinned"), HealthLevel::Warning);
    EXPECT_TRUE(sites({"unpinned"}).front().record.certificate.empty());

    // A refused log-in, a closed port and a daemon that never answers are critical, each with the failure's words.
    EXPECT_EQ(found["refused"].outcome, Outcome::LoginRefused);
    EXPECT_EQ(found["refused"].why.message.rfind("530", 0), 0u) << found["refused"].why.message;
    EXPECT_EQ(found["closed"].outcome, Outcome::Unreachable);
    EXPECT_NE(found["closed"].why.message.find("connection refused"), std::string::npos);
    EXPECT_FALSE(found["closed"].why.hint.empty());
    EXPECT_EQ(found["closed"].connectMs, -1);
    EXPECT_EQ(found["silent"].outcome, Outcome::TimedOut);
    EXPECT_TRUE(found["silent"].banner.empty());
    for (const char* name : {"refused", "closed", "silent"})
        EXPECT_EQ(level(name), HealthLevel::Critical) << name;

    // The daemons heard the log-in, NOOP and QUIT, and nothing else.
    const QSet<QString> allowed{"AUTH", "PBSZ", "PROT", "USER", "PASS", "NOOP", "QUIT"};
    for (SimProcess* sim : {fiveSim_, twentySim_, longSim_, otherSim_}) {
        const QStringList heard = sim->commands();
        EXPECT_TRUE(verbsOf(heard).subtract(allowed).isEmpty()) << heard.join(", ").toStdString();
    }
    EXPECT_EQ(longSim_->commands().count("NOOP"), 1);
    EXPECT_EQ(longSim_->commands().count("AUTH TLS"), 2); // longer, and unpinned, which stopped at its certificate
    EXPECT_EQ(otherSim_->commands(), QStringList{"AUTH TLS"});
}

TEST_F(HealthPeers, KolvaneHealthPrintsOnePluginLineExitsWithTheWorstAndRecordsTheHistory)
{
    const QString history = historyPath();
    QFile::remove(history);

    const ToolRun ok = tool({"longer"});
    EXPECT_EQ(ok.status, 0) << ok.out.toStdString() << ok.err.toStdString();
    EXPECT_TRUE(ok.out.startsWith("KOLVANE OK - 1 site healthy | 'longer_rtt'=")) << ok.out.toStdString();
    EXPECT_TRUE(ok.out.contains("s;;;0 'longer_login'=")) << ok.out.toStdString();
    EXPECT_TRUE(ok.out.endsWith("'longer_cert_days'=199;30;7;0\n")) << ok.out.toStdString();

    // The sites that are not OK are named before the |, each with its state and why; the worst is the status.
    const ToolRun warning = tool({"--folder", "TLS"});
    EXPECT_EQ(warning.status, 1) << warning.out.toStdString();
    EXPECT_TRUE(warning.out.startsWith(
        "KOLVANE WARNING - twenty WARNING: the certificate ends in 19 days; 1 of 2 sites healthy | "))
        << warning.out.toStdString();
    const ToolRun critical = tool({"five", "closed", "longer", "--warn-days", "3", "--crit-days", "1"});
    EXPECT_EQ(critical.status, 2);
    const QString before = critical.out.section(" | ", 0, 0);
    EXPECT_TRUE(before.startsWith("KOLVANE CRITICAL - closed CRITICAL: unreachable: Connection Failed: could not "
                                  "connect to 127.0.0.1:"))
        << before.toStdString();
    EXPECT_FALSE(before.contains("five")) << "4 days is past the days given";
    EXPECT_TRUE(critical.out.contains("'five_cert_days'=4;3;1;0 'closed_rtt'=U;;;0 'closed_login'=U;;;0 'longer_rtt'="))
        << critical.out.toStdString();
    const ToolRun slow = tool({"longer", "--warn-ms", "0", "--crit-ms", "60000"});
    EXPECT_EQ(slow.status, 1);
    EXPECT_TRUE(slow.out.contains(QRegularExpression("'longer_rtt'=\\d+\\.\\d{3}s;0;60;0 "))) << slow.out.toStdString();

    // A command line, a choice or a book that cannot be had is UNKNOWN, said on the one line.
    const QTemporaryDir empty;
    for (const auto& [args, config, says] :
         {std::tuple{QStringList{"--warn-days", "soon", "longer"}, QString(), "--warn-days wants a number"},
          std::tuple{QStringList{"longr"}, QString(), "no site of the book is named longr (did you mean longer?)"},
          std::tuple{QStringList{"--folder", "nowhere"}, QString(), "no site is filed in the folder nowhere"},
          std::tuple{QStringList{"--all"}, empty.path(), "there is no site book at "}}) {
        const ToolRun refused = tool(args, config);
        EXPECT_EQ(refused.status, 3) << args.join(' ').toStdString();
        EXPECT_TRUE(refused.out.startsWith(QStringLiteral("KOLVANE UNKNOWN - ") + says)) << refused.out.toStdString();
    }
    // A name is the book's site as the store tells names apart: A to Z in either case, other letters as written.
    inBook([](TSettingsStore& store) {
        const QStringList book{QString::fromUtf16(u"\u00E4b"), "Longer"};
        EXPECT_EQ(BookChoice::chosen(store, book, false, std::nullopt, {"LONGER"}), QStringList{"Longer"});
        try {
            BookChoice::chosen(store, book, false, std::nullopt, {QString::fromUtf16(u"\u00C4B")});
            ADD_FAILURE() << "another site's name taken for the one typed";
        } catch (const BookChoice::Refused& e) {
            EXPECT_NE(e.why.find("did you mean"), std::string::npos) << e.why;
        }
    });

    // JSON: one object per site with every figure of its row.
    const ToolRun json = tool({"--json", "twenty", "changed"});
    EXPECT_EQ(json.status, 1);
    const QStringList lines = json.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2) << json.out.toStdString();
    std::map<QString, QJsonObject> objects;
    for (const QString& line : lines) {
        const QJsonObject o = QJsonDocument::fromJson(line.toUtf8()).object();
        objects[o["site"].toString()] = o;
    }
    const QJsonObject& twenty = objects["twenty"];
    EXPECT_EQ(twenty["status"].toString(), "WARNING");
    EXPECT_EQ(twenty["pin"].toString(), "matches");
    EXPECT_EQ(twenty["days_left"].toInt(), 19);
    EXPECT_EQ(twenty["subject"].toString(), "CN=twenty");
    EXPECT_TRUE(twenty["tls_version"].toString().startsWith("TLSv1."));
    EXPECT_GE(twenty["noop_ms"].toInt(-1), 0);
    EXPECT_TRUE(twenty["banner"].toString().startsWith("220"));
    EXPECT_TRUE(twenty["error"].isNull());
    const QJsonObject& changed = objects["changed"];
    EXPECT_EQ(changed["pin"].toString(), "CHANGED");
    EXPECT_EQ(changed["reachable"].toBool(true), false);
    EXPECT_TRUE(changed["error"].toString().startsWith("The server's certificate is not the pinned one"));
    EXPECT_TRUE(changed["noop_ms"].isNull());

    // Every check of the program is in the history, under its name.
    THealthHistory read(history);
    const std::vector<HealthSample> samples = read.samples(0, QDateTime::currentMSecsSinceEpoch());
    EXPECT_EQ(samples.size(), 1u + 2u + 3u + 1u + 2u);
    for (const HealthSample& s : samples)
        EXPECT_EQ(s.program, "kolvane-health");
    EXPECT_TRUE(std::any_of(samples.begin(), samples.end(), [](const HealthSample& s) {
        return s.site == "closed" && s.outcome == "unreachable" && s.noopMs == -1;
    }));
}

TEST(HealthReport, LabelsQuoteAndEscapeNamesAsTheBookShowsThem)
{
    EXPECT_EQ(HealthReport::perfLabel("home", "rtt"), "'home_rtt'");
    EXPECT_EQ(HealthReport::perfLabel("o'neil=b", "rtt"), "'o''neil\\x3Db_rtt'");
    EXPECT_EQ(HealthReport::perfLabel(QStringLiteral("prod\u202Eatad"), "login"), "'prod\\u202Eatad_login'");
    // Nothing a daemon says can end the status part early or break the line.
    SiteHealth h;
    h.site = "a|b";
    h.outcome = Outcome::Refused;
    h.why.message = "500 no | way\r\nnext";
    const std::string line = HealthReport::pluginLine({h}, HealthLimits{}, 0);
    EXPECT_EQ(line.find('|'), line.find(" | ") + 1) << line;
    EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;
    EXPECT_EQ(line.rfind("KOLVANE CRITICAL - a\\u007Cb CRITICAL: refused: 500 no \\u007C way\\u000D\\u000Anext; 0 of 1 "
                         "site healthy | 'a|b_rtt'=U;;;0",
                         0),
              0u)
        << line;
}

TEST(HealthHistory, IsSharedBoundedToNinetyDaysAndOnlyItsOwnersToRead)
{
    QTemporaryDir dir;
    const QString path = dir.path() + "/state/kolvane/health.db";
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    SiteHealth h;
    h.site = "home";
    h.outcome = Outcome::Ok;
    h.connectMs = 3;
    h.loginMs = 20;
    {
        THealthHistory window(path), program(path);
        for (int i = 0; i < 10; ++i) {
            h.checkedAt = now - 3600 * 1000 + i * 360 * 1000;
            h.noopMs = 10 + i;
            (i % 2 ? window : program).record(h, i % 2 ? "kolvane" : "kolvane-health");
        }
        // Each reads what the other wrote, as it was written.
        const std::vector<HealthSample> seen = window.samples(now - 2 * 3600 * 1000, now);
        ASSERT_EQ(seen.size(), 10u);
        EXPECT_EQ(seen[0].program, "kolvane-health");
        EXPECT_EQ(seen[1].program, "kolvane");
        EXPECT_EQ(seen[3].noopMs, 13);
        EXPECT_EQ(seen[3].tlsMs, -1);
        EXPECT_FALSE(seen[3].hasCertificate);
        // A chart's points are means of the samples of a stretch: the first six, then the last four.
        const std::vector<HealthPoint> points = program.points(now - 3600 * 1000, now, 2);
        ASSERT_EQ(points.size(), 2u);
        EXPECT_DOUBLE_EQ(points[0].noopMs, 12.5);
        EXPECT_EQ(points[0].samples, 6);
        EXPECT_DOUBLE_EQ(points[1].noopMs, 17.5);
        EXPECT_DOUBLE_EQ(points[1].loginMs, 20.0);
        EXPECT_EQ(points[1].time, now - 3600 * 1000 + 9 * 360 * 1000);
        const std::string csv = healthCsv({seen[0]});
        EXPECT_EQ(csv.substr(0, csv.find('\n') + 1),
                  "time,site,program,outcome,connect_ms,tls_ms,login_ms,noop_ms,certificate_days\r\n");
        EXPECT_NE(csv.find("Z\",\"home\",\"kolvane-health\",\"ok\",3,,20,10,\r\n"), std::string::npos) << csv;
    }
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(QFile::encodeName(QFileInfo(path).path()).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // A sample past ninety days is dropped the next time a program writes.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(QFile::encodeName(path).constData(), &db), SQLITE_OK);
    sqlite3_stmt* mode = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &mode, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(mode), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(mode, 0)), "wal");
    sqlite3_finalize(mode);
    const qint64 old = now - 91LL * 24 * 3600 * 1000;
    const QByteArray sql = QStringLiteral("UPDATE samples SET time = %1 WHERE noop_ms < 13").arg(old).toUtf8();
    EXPECT_EQ(sqlite3_exec(db, sql.constData(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    THealthHistory later(path);
    EXPECT_EQ(later.samples(0, now).size(), 10u);
    h.checkedAt = now;
    later.record(h);
    EXPECT_EQ(later.samples(0, now).size(), 8u);
}
