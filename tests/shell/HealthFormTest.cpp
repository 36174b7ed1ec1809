// Site Health, opened from the MiSC menu and driven through its widgets against quillon-sims (plain, and TLS with a
// certificate made here that ends in 20 days, pinned and pinned to another), and a port where nothing listens: a
// row a site with its words and colours, CHECK NOW, sorting by a column, the folder and the filter, CHECK EVERY while
// the window is open, the chart of the history that the window and kolvane-health both write, and EXPORT.

#include "shell/HealthForm.h"
#include "ConsoleFixture.h"
#include "platform/SettingsLayout.h"
#include "session/HealthHistory.h"

#include <QAction>
#include <QChart>
#include <QChartView>
#include <QDateTimeAxis>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QPalette>
#include <QProcess>
#include <QSet>
#include <QSpinBox>
#include <QTableWidget>
#include <QTcpServer>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>

namespace {

enum Column { Site = 0, Status = 1, Reachable = 2, Noop = 6, Version = 7, Days = 12, Pin = 13, Banner = 14 };

QStringList column(QTableWidget* table, int c)
{
    QStringList cells;
    for (int row = 0; row < table->rowCount(); ++row)
        cells << table->item(row, c)->text();
    return cells;
}

QTableWidgetItem* cell(QTableWidget* table, const QString& site, int c)
{
    for (int row = 0; row < table->rowCount(); ++row)
        if (table->item(row, Site)->text() == site)
            return table->item(row, c);
    return nullptr;
}

void clickHeader(QTableWidget* table, int section)
{
    QHeaderView* header = table->horizontalHeader();
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                      QPoint(header->sectionViewportPosition(section) + 4, header->height() / 2));
}

double luminance(const QColor& c)
{
    const auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}

double contrast(const QColor& a, const QColor& b)
{
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QSet<QString> verbsOf(const QStringList& lines)
{
    QSet<QString> verbs;
    for (const QString& line : lines)
        verbs << line.section(' ', 0, 0);
    return verbs;
}

} // namespace

TEST_F(ConsoleTest, SiteHealthChecksEverySiteShownSaysWhatNeedsAttentionAndSorts)
{
    QTemporaryDir dir;
    QProcess openssl;
    const QString cert = dir.filePath("twenty.pem"), key = dir.filePath("twenty.key");
    openssl.start("openssl",
                  {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
                   key, "-out", cert, "-days", "20", "-subj", "/CN=twenty", "-addext", "subjectAltName=IP:127.0.0.1"});
    ASSERT_TRUE(openssl.waitForFinished(20000));
    ASSERT_EQ(openssl.exitCode(), 0) << openssl.readAllStandardError().toStdString();
    SimProcess plain;
    SimProcess tls({"--tls", "--cert", cert, "--key", key});
    ASSERT_FALSE(tls.fingerprint.isEmpty());
    QString otherPin = tls.fingerprint;
    otherPin[0] = otherPin[0] == QLatin1Char('A') ? QLatin1Char('B') : QLatin1Char('A');
    const quint16 closedPort = [] {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost);
        return probe.serverPort();
    }();
    startConsole(plain.port);
    {
        TSettingsStore& store = this->store();
        const auto secured = [&](const QString& pin) {
            return [pin](SiteBook::Record& r) {
                r.security = TFtpSecurity::ExplicitRequired;
                r.certificate = pin.toStdString();
            };
        };
        addSite(store, "twenty", tls.port, "quillon", secured(tls.fingerprint));
        addSite(store, "moved", tls.port, "quillon", secured(otherPin));
        addSite(store, "gone", closedPort, "quillon", [](SiteBook::Record& r) { r.folder = "lab/old"; });
    }
    QFile::remove(THealthHistory::defaultPath());

    form->findChild<QAction*>("mnuSiteHealth")->trigger();
    auto* health = form->findChild<THealthForm*>("HealthForm");
    ASSERT_TRUE(health);
    ASSERT_TRUE(health->isVisible());
    auto* table = health->findChild<QTableWidget*>("HealthTable");
    auto* state = health->findChild<QLabel*>("HealthState");
    auto* check = health->findChild<QPushButton*>("bbCheckNow");
    ASSERT_TRUE(table && state && check);
    EXPECT_EQ(column(table, Site), (QStringList{"gone", "moved", "sim", "twenty"}));
    EXPECT_EQ(state->text(), "4 sites; CHECK NOW checks them.");

    // The folder and the filter choose the rows.
    auto* folder = health->findChild<QComboBox*>("HealthFolder");
    auto* filter = health->findChild<QLineEdit*>("HealthFilter");
    ASSERT_TRUE(folder && filter);
    ASSERT_NE(folder->findData("lab/old"), -1);
    folder->setCurrentIndex(folder->findData("lab"));
    EXPECT_EQ(column(table, Site), QStringList{"gone"});
    folder->setCurrentIndex(0);
    QTest::keyClicks(filter, "TW");
    ASSERT_TRUE(QTest::qWaitFor([&] { return table->rowCount() == 1; }, 5000));
    EXPECT_EQ(column(table, Site), QStringList{"twenty"});
    filter->clear();
    ASSERT_TRUE(QTest::qWaitFor([&] { return table->rowCount() == 4; }, 5000));

    // CHECK NOW: every row filled with its words, all at once.
    click(check);
    EXPECT_FALSE(check->isEnabled());
    ASSERT_TRUE(QTest::qWaitFor([&] { return check->isEnabled(); }, 20000)) << state->text().toStdString();
    EXPECT_EQ(cell(table, "sim", Status)->text(), "OK");
    EXPECT_EQ(cell(table, "sim", Reachable)->text(), "yes");
    EXPECT_TRUE(cell(table, "sim", Banner)->text().startsWith("220"))
        << cell(table, "sim", Banner)->text().toStdString();
    EXPECT_TRUE(cell(table, "sim", Noop)->text().endsWith(" ms"));
    EXPECT_EQ(cell(table, "sim", Pin)->text(), "no pin");
    EXPECT_EQ(cell(table, "twenty", Status)->text(), "WARNING");
    EXPECT_EQ(cell(table, "twenty", Pin)->text(), "matches");
    EXPECT_EQ(cell(table, "twenty", Days)->text(), "19");
    EXPECT_TRUE(cell(table, "twenty", Version)->text().startsWith("TLSv1."));
    EXPECT_TRUE(cell(table, "twenty", Status)->toolTip().contains("the certificate ends in 19 days"));
    EXPECT_EQ(cell(table, "moved", Status)->text(), "WARNING");
    EXPECT_EQ(cell(table, "moved", Pin)->text(), "CHANGED");
    EXPECT_EQ(cell(table, "gone", Status)->text(), "CRITICAL");
    EXPECT_TRUE(cell(table, "gone", Reachable)->text().startsWith("unreachable: "))
        << cell(table, "gone", Reachable)->text().toStdString();
    EXPECT_EQ(state->text(), "4 of 4 sites checked: 1 OK, 2 WARNING, 1 CRITICAL.");
    // Nothing asked about a certificate, and the changed pin is as it was.
    TDiamond cipher;
    cipher.SetKey(std::string(DiamondConsoleKey));
    EXPECT_TRUE(prompts.trusts.isEmpty());
    EXPECT_TRUE(prompts.errors.isEmpty()) << prompts.errors.join('\n').toStdString();
    EXPECT_EQ(SiteBook::read(store(), cipher, SiteBook::keyName("moved")).certificate, otherPin.toStdString());
    // The daemons heard the log-in, NOOP and QUIT, and nothing else.
    const QSet<QString> allowed{"AUTH", "PBSZ", "PROT", "USER", "PASS", "NOOP", "QUIT"};
    for (SimProcess* sim : {&plain, &tls})
        EXPECT_TRUE(verbsOf(sim->commands()).subtract(allowed).isEmpty()) << sim->commands().join(", ").toStdString();
    EXPECT_EQ(plain.commands().count("NOOP"), 1);

    // The rows that need attention stand out, in colours that read on a light desktop and on a dark one.
    const auto [warnBack, warnText] = THealthForm::attentionColours(HealthLevel::Warning, table->palette());
    EXPECT_EQ(cell(table, "twenty", Days)->background().color(), warnBack);
    EXPECT_EQ(cell(table, "sim", Days)->background().style(), Qt::NoBrush);
    EXPECT_NE(cell(table, "gone", Site)->background().color(), warnBack);
    for (const QColor base : {QColor(Qt::white), QColor(0x1E, 0x1E, 0x1E)}) {
        QPalette palette;
        palette.setColor(QPalette::Base, base);
        for (const HealthLevel level : {HealthLevel::Warning, HealthLevel::Critical}) {
            const auto [back, text] = THealthForm::attentionColours(level, palette);
            EXPECT_GE(contrast(back, text), 7.0) << base.name().toStdString();
            EXPECT_GE(contrast(back, base), 1.3) << base.name().toStdString();
        }
        EXPECT_FALSE(THealthForm::attentionColours(HealthLevel::Ok, palette).first.isValid());
    }

    // Sorting by STATUS goes by how much attention a row needs, both ways; by SiTE, by name.
    clickHeader(table, Status);
    QStringList words = column(table, Status);
    QStringList order{"OK", "WARNING", "WARNING", "CRITICAL"};
    if (table->horizontalHeader()->sortIndicatorOrder() == Qt::DescendingOrder)
        std::reverse(order.begin(), order.end());
    EXPECT_EQ(words, order);
    clickHeader(table, Status);
    std::reverse(order.begin(), order.end());
    EXPECT_EQ(column(table, Status), order);
    table->sortByColumn(Site, Qt::DescendingOrder);
    EXPECT_EQ(column(table, Site), (QStringList{"twenty", "sim", "moved", "gone"}));

    // CHECK EVERY checks again while the window is open, and not once it is closed.
    qputenv("KOLVANE_HEALTH_MINUTE_MS", "200");
    health->findChild<QSpinBox*>("HealthEvery")->setValue(1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return plain.commands().count("NOOP") >= 2 && check->isEnabled(); }, 20000));
    health->close();
    qunsetenv("KOLVANE_HEALTH_MINUTE_MS");
    ASSERT_TRUE(QTest::qWaitFor([&] { return check->isEnabled(); }, 10000));
    const qsizetype noops = plain.commands().count("NOOP");
    QTest::qWait(600);
    EXPECT_EQ(plain.commands().count("NOOP"), noops);
    EXPECT_EQ(SettingsLayout::readHealthEvery(store()), 1) << "the next window starts checking as this one did";

    // kolvane-health writes the same history; the chart draws a line a site from both, over the range chosen.
    QProcess tool;
    tool.start(qEnvironmentVariable("KOLVANE_BINARY_DIR") + "/session/kolvane-health", {"sim"});
    tool.closeWriteChannel();
    ASSERT_TRUE(tool.waitForFinished(20000));
    EXPECT_EQ(tool.exitCode(), 0) << tool.readAllStandardError().toStdString();
    EXPECT_TRUE(tool.readAllStandardOutput().startsWith("KOLVANE OK - 1 site"));
    form->findChild<QAction*>("mnuSiteHealth")->trigger();
    ASSERT_TRUE(health->isVisible());
    auto* range = health->findChild<QComboBox*>("HealthRange");
    auto* chart = health->findChild<QChartView*>("HealthChart");
    ASSERT_TRUE(range && chart);
    range->setCurrentIndex(range->findText("last month"));
    QStringList lines;
    QLineSeries* simLine = nullptr;
    for (QAbstractSeries* series : chart->chart()->series()) {
        lines << series->name();
        if (series->name() == "sim")
            simLine = qobject_cast<QLineSeries*>(series);
    }
    lines.sort();
    EXPECT_EQ(lines, (QStringList{"sim", "twenty"})); // the others have no round trip to draw
    ASSERT_TRUE(simLine);
    const auto axes = chart->chart()->axes(Qt::Horizontal);
    ASSERT_EQ(axes.size(), 1);
    EXPECT_EQ(qobject_cast<QDateTimeAxis*>(axes[0])->format(), "d MMM");
    // Hovering a point says its site, value and time.
    ASSERT_GT(simLine->count(), 0);
    const QPointF point = simLine->at(0);
    emit simLine->hovered(point, true);
    const QString said = health->findChild<QLabel*>("HealthHover")->text();
    EXPECT_TRUE(said.startsWith("sim: NOOP ")) << said.toStdString();
    EXPECT_TRUE(said.contains(QDateTime::fromMSecsSinceEpoch(qint64(point.x())).toString("yyyy-MM-dd HH:mm")))
        << said.toStdString();

    // EXPORT writes every check of the shown sites over that range, from the window and from the program.
    health->exportTo(dir.filePath("health.csv"));
    QFile csv(dir.filePath("health.csv"));
    ASSERT_TRUE(csv.open(QIODevice::ReadOnly));
    const QList<QByteArray> rows = csv.readAll().split('\n');
    EXPECT_EQ(rows[0], "time,site,program,outcome,connect_ms,tls_ms,login_ms,noop_ms,certificate_days\r");
    const auto count = [&](const QByteArray& text) {
        return std::count_if(rows.begin(), rows.end(), [&](const QByteArray& row) { return row.contains(text); });
    };
    EXPECT_GE(count("\"sim\","), 3); // two checks of the window, one of the program
    EXPECT_EQ(count("\"kolvane-health\""), 1);
    EXPECT_GE(count("\"gone\","), 2);
    health->close();
}
