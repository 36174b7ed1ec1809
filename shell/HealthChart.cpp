// Site Health's chart of each site's round trip or log-in time over the range chosen, from the checks' history, the
// value and time of the point under the pointer, and the shown range written as CSV.

#include "shell/HealthForm.h"

#include "gui/Prompts.h"
#include "platform/Exceptions.h"

#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QCursor>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QFileDialog>
#include <QLabel>
#include <QLineSeries>
#include <QSaveFile>
#include <QToolTip>
#include <QValueAxis>

#include <algorithm>
#include <cmath>

namespace {

constexpr int ChartPoints = 300; // the most points a site's line has
constexpr qint64 HourMs = 3600LL * 1000;

struct Range {
    const char* caption;
    qint64 ms;
    const char* marks; // how the time axis writes its marks
};

constexpr Range Ranges[] = {
    {"last hour", HourMs, "HH:mm"},
    {"last day", 24 * HourMs, "HH:mm"},
    {"last week", 7 * 24 * HourMs, "ddd d MMM"},
    {"last month", 30 * 24 * HourMs, "d MMM"},
};

} // namespace

void THealthForm::fillRangeChoice()
{
    for (const Range& range : Ranges)
        HealthRange->addItem(QLatin1String(range.caption));
}

qint64 THealthForm::rangeMs() const
{
    const int at = std::clamp(HealthRange->currentIndex(), 0, int(std::size(Ranges)) - 1);
    return Ranges[at].ms;
}

void THealthForm::refreshChart()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const qint64 since = now - rangeMs();
    const bool noop = HealthFigure->currentIndex() != 1;
    const QStringList sites = shownSites();
    std::vector<HealthPoint> points;
    try {
        points = history_.points(since, now, ChartPoints, sites);
    } catch (const Exception& e) {
        HealthHover->setText(QString::fromStdString(e.message()));
        points.clear();
    }
    auto* chart = new QChart;
    chart->legend()->setAlignment(Qt::AlignRight);
    auto* time = new QDateTimeAxis;
    time->setFormat(
        QLatin1String(Ranges[std::clamp(HealthRange->currentIndex(), 0, int(std::size(Ranges)) - 1)].marks));
    time->setTickCount(7);
    time->setRange(QDateTime::fromMSecsSinceEpoch(since), QDateTime::fromMSecsSinceEpoch(now));
    auto* value = new QValueAxis;
    value->setTitleText(noop ? QStringLiteral("NOOP round trip (ms)") : QStringLiteral("log-in time (ms)"));
    value->setLabelFormat(QStringLiteral("%.0f"));
    chart->addAxis(time, Qt::AlignBottom);
    chart->addAxis(value, Qt::AlignLeft);
    double highest = 1;
    std::map<QString, QLineSeries*> lines;
    for (const HealthPoint& p : points) {
        const double figure = noop ? p.noopMs : p.loginMs;
        if (figure < 0)
            continue;
        QLineSeries*& line = lines[p.site];
        if (!line) {
            line = new QLineSeries;
            line->setName(SiteBook::shownName(p.site));
            line->setPointsVisible(true);
            const QString site = p.site;
            connect(line, &QLineSeries::hovered, this,
                    [this, site](const QPointF& at, bool over) { pointHovered(site, at, over); });
        }
        line->append(double(p.time), figure);
        highest = std::max(highest, figure);
    }
    for (const QString& site : sites)
        if (const auto found = lines.find(site); found != lines.end()) {
            chart->addSeries(found->second);
            found->second->attachAxis(time);
            found->second->attachAxis(value);
        }
    // Whole milliseconds on round marks: a fleet that answers in under a millisecond still gets a readable scale.
    value->setRange(0, std::max(highest * 1.1, 10.0));
    value->applyNiceNumbers();
    QChart* old = HealthChart->chart();
    HealthChart->setChart(chart);
    delete old;
}

void THealthForm::pointHovered(const QString& site, const QPointF& point, bool over)
{
    if (!over) {
        QToolTip::hideText();
        return;
    }
    const QString what = HealthFigure->currentIndex() == 1 ? QStringLiteral("log-in") : QStringLiteral("NOOP");
    const QString text =
        QStringLiteral("%1: %2 %3 ms at %4")
            .arg(SiteBook::shownName(site), what, QString::number(point.y(), 'f', 0),
                 QDateTime::fromMSecsSinceEpoch(qint64(point.x())).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
    HealthHover->setText(text);
    QToolTip::showText(QCursor::pos(), text, HealthChart);
}

void THealthForm::bbExportHealthClick()
{
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("EXPORT SiTE HEALTH"),
                                                      QStringLiteral("site-health.csv"), QStringLiteral("CSV (*.csv)"));
    if (!path.isEmpty())
        exportTo(path);
}

void THealthForm::exportTo(const QString& path)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const std::string text = healthCsv(history_.samples(now - rangeMs(), now, shownSites()));
    // Written aside and put in place whole: a full disk never leaves half an export where an older one stood.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text.data(), qint64(text.size())) != qint64(text.size()) ||
        !file.commit())
        throw Exception("The site health cannot be exported to " + path.toStdString() + ": " +
                        file.errorString().toStdString());
}
