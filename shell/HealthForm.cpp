#include "shell/HealthForm.h"

#include "gui/Guard.h"
#include "gui/Prompts.h"
#include "gui/WidgetKit.h"
#include "platform/Exceptions.h"
#include "platform/OemText.h"
#include "platform/SettingsLayout.h"
#include "platform/SettingsStore.h"
#include "session/BatchReport.h"
#include "session/BookChoice.h"
#include "sitebook/Keyring.h"
#include "sitebook/SiteBook.h"

#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QCursor>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QPushButton>
#include <QSaveFile>
#include <QSet>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QSplitter>
#include <QTableWidget>
#include <QToolTip>
#include <QVBoxLayout>
#include <QValueAxis>

#include <algorithm>
#include <cmath>

namespace {

enum Column {
    SiteColumn,
    StatusColumn,
    ReachableColumn,
    ConnectColumn,
    TlsColumn,
    LoginColumn,
    NoopColumn,
    VersionColumn,
    CipherColumn,
    SubjectColumn,
    IssuerColumn,
    LastDayColumn,
    DaysColumn,
    PinColumn,
    BannerColumn,
    CheckedColumn,
    ColumnCount
};

constexpr int SiteRole = Qt::UserRole;     // the first cell of a row: the site's own name
constexpr int SortRole = Qt::UserRole + 1; // what a cell sorts by, where it is not its text

// A cell that sorts by its number where it has one (a time, a count of days, a level), else by its text.
class Cell : public QTableWidgetItem {
public:
    explicit Cell(const QString& text = QString()) : QTableWidgetItem(text)
    {
        setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    }
    bool operator<(const QTableWidgetItem& other) const override
    {
        const QVariant mine = data(SortRole);
        const QVariant theirs = other.data(SortRole);
        if (mine.isValid() && theirs.isValid())
            return mine.toDouble() < theirs.toDouble();
        if (mine.isValid() != theirs.isValid())
            return !mine.isValid(); // a cell without a figure sorts before every figure
        return QTableWidgetItem::operator<(other);
    }
};

QPushButton* makeButton(QWidget* parent, const char* name, const QString& caption, const QString& tip)
{
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(QLatin1String(name));
    button->setToolTip(tip);
    button->setAutoDefault(false);
    return button;
}

QString fromUtf8(const std::string& text)
{
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

// The engine's and the certificate's texts, every control character a visible escape.
QString shown(const QString& text)
{
    return QString::fromStdString(BatchReport::printableText(text));
}

// The order STATUS sorts in: OK, WARNING, UNKNOWN, CRITICAL.
int severity(HealthLevel level)
{
    int rank = 0;
    for (HealthLevel lower : {HealthLevel::Ok, HealthLevel::Warning, HealthLevel::Unknown})
        rank += worse(level, lower) != lower ? 1 : 0;
    return rank;
}

QString msText(qint64 ms)
{
    return ms < 0 ? QString() : QStringLiteral("%1 ms").arg(ms);
}

double luminance(const QColor& c)
{
    const auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}

// How long a minute of CHECK EVERY lasts, in milliseconds: a minute, unless KOLVANE_HEALTH_MINUTE_MS holds a
// shorter time, for tests and benchmarks.
int minuteMs()
{
    bool ok = false;
    const int ms = qEnvironmentVariableIntValue("KOLVANE_HEALTH_MINUTE_MS", &ok);
    return ok && ms > 0 && ms < 60000 ? ms : 60000;
}

} // namespace

THealthForm::THealthForm(std::function<TSettingsStore&()> store, const TDiamond& cipher, QString historyPath,
                         QWidget* parent)
    : QDialog(parent), store_(std::move(store)), cipher_(cipher), history_(std::move(historyPath))
{
    setObjectName(QStringLiteral("HealthForm"));
    setWindowTitle(QStringLiteral("SiTE HEALTH"));
    setModal(false);
    resize(1100, 680);

    HealthFolder = new QComboBox(this);
    HealthFolder->setObjectName(QStringLiteral("HealthFolder"));
    HealthFolder->setToolTip(QStringLiteral("Every site, or the sites of a folder and the folders below it"));
    HealthFilter = new QLineEdit(this);
    HealthFilter->setObjectName(QStringLiteral("HealthFilter"));
    HealthFilter->setPlaceholderText(QStringLiteral("Filter by name or host"));
    HealthFilter->setClearButtonEnabled(true);
    HealthFilter->setToolTip(QStringLiteral("Only the sites whose name or host holds this text"));
    bbCheckNow = makeButton(this, "bbCheckNow", QStringLiteral("CHECK NOW"),
                            QStringLiteral("Log in to every site shown, all at once, send NOOP and log out"));
    HealthEvery = new QSpinBox(this);
    HealthEvery->setObjectName(QStringLiteral("HealthEvery"));
    HealthEvery->setRange(0, 1440);
    HealthEvery->setSuffix(QStringLiteral(" minutes"));
    HealthEvery->setSpecialValueText(QStringLiteral("never"));
    HealthEvery->setToolTip(QStringLiteral("Check the sites shown again every N minutes while this window is open"));

    HealthTable = new QTableWidget(0, ColumnCount, this);
    HealthTable->setObjectName(QStringLiteral("HealthTable"));
    HealthTable->setHorizontalHeaderLabels(
        {QStringLiteral("SiTE"), QStringLiteral("STATUS"), QStringLiteral("REACHABLE"), QStringLiteral("CONNECT"),
         QStringLiteral("TLS"), QStringLiteral("LOG-iN"), QStringLiteral("NOOP"), QStringLiteral("TLS VERSiON"),
         QStringLiteral("CiPHER"), QStringLiteral("SUBJECT"), QStringLiteral("iSSUER"), QStringLiteral("LAST DAY"),
         QStringLiteral("DAYS LEFT"), QStringLiteral("PiN"), QStringLiteral("BANNER"), QStringLiteral("CHECKED")});
    HealthTable->setAccessibleName(QStringLiteral("The health of each site"));
    HealthTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    HealthTable->setSelectionMode(QAbstractItemView::SingleSelection);
    HealthTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    HealthTable->verticalHeader()->hide();
    HealthTable->horizontalHeader()->setStretchLastSection(true);
    HealthTable->setSortingEnabled(true);
    HealthTable->sortByColumn(SiteColumn, Qt::AscendingOrder);
    HealthState = new QLabel(this);
    HealthState->setObjectName(QStringLiteral("HealthState"));
    HealthState->setWordWrap(true);

    HealthRange = new QComboBox(this);
    HealthRange->setObjectName(QStringLiteral("HealthRange"));
    fillRangeChoice();
    HealthRange->setToolTip(QStringLiteral("How far back the chart and EXPORT go"));
    HealthFigure = new QComboBox(this);
    HealthFigure->setObjectName(QStringLiteral("HealthFigure"));
    HealthFigure->addItems({QStringLiteral("NOOP round trip"), QStringLiteral("log-in time")});
    HealthFigure->setToolTip(QStringLiteral("What the chart draws for each site"));
    HealthChart = new QChartView(this);
    HealthChart->setObjectName(QStringLiteral("HealthChart"));
    HealthChart->setAccessibleName(QStringLiteral("Each site's figure over time"));
    HealthChart->setRenderHint(QPainter::Antialiasing);
    HealthChart->setMinimumHeight(220);
    HealthHover = new QLabel(this);
    HealthHover->setObjectName(QStringLiteral("HealthHover"));
    HealthHover->setToolTip(QStringLiteral("Rest the mouse on a point of the chart to see its value and time"));
    bbExportHealth = makeButton(this, "bbExportHealth", QStringLiteral("EXPORT..."),
                                QStringLiteral("Save the shown sites' checks over the chart's range as CSV"));

    auto* choice = new QHBoxLayout;
    const auto labelled = [&](const QString& caption, QWidget* box) {
        auto* label = new QLabel(caption, this);
        label->setBuddy(box);
        choice->addWidget(label);
        choice->addWidget(box);
    };
    labelled(QStringLiteral("SiTES"), HealthFolder);
    labelled(QStringLiteral("FiLTER"), HealthFilter);
    choice->addWidget(bbCheckNow);
    labelled(QStringLiteral("CHECK EVERY"), HealthEvery);
    auto* chartRow = new QHBoxLayout;
    auto* rangeLabel = new QLabel(QStringLiteral("CHART"), this);
    rangeLabel->setBuddy(HealthFigure);
    chartRow->addWidget(rangeLabel);
    chartRow->addWidget(HealthFigure);
    chartRow->addWidget(HealthRange);
    chartRow->addWidget(HealthHover, 1);
    chartRow->addWidget(bbExportHealth);
    auto* chartPart = new QWidget(this);
    auto* chartLayout = new QVBoxLayout(chartPart);
    chartLayout->setContentsMargins(0, 0, 0, 0);
    chartLayout->addLayout(chartRow);
    chartLayout->addWidget(HealthChart, 1);
    auto* split = new QSplitter(Qt::Vertical, this);
    split->addWidget(HealthTable);
    split->addWidget(chartPart);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(choice);
    layout->addWidget(split, 1);
    layout->addWidget(HealthState);
    WidgetKit::tabChain(
        {HealthFolder, HealthFilter, bbCheckNow, HealthEvery, HealthTable, HealthFigure, HealthRange, bbExportHealth});
    WidgetKit::nameControls(this);

    typing_.setSingleShot(true);
    typing_.setInterval(250);
    connect(&typing_, &QTimer::timeout, this, [this] { Guarded([this] { ChoiceChange(); }); });
    connect(HealthFilter, &QLineEdit::textChanged, this, [this] { typing_.start(); });
    connect(HealthFolder, &QComboBox::currentIndexChanged, this, [this] { Guarded([this] { ChoiceChange(); }); });
    connectGuarded(bbCheckNow, &QPushButton::clicked, this, &THealthForm::bbCheckNowClick);
    connect(HealthEvery, &QSpinBox::valueChanged, this, [this] { Guarded([this] { HealthEveryChange(); }); });
    connect(&every_, &QTimer::timeout, this, [this] {
        // A round still going is not started again, and a choice that shows no site is not told every N minutes.
        if ((!batch_ || !batch_->running()) && !shownSites().isEmpty())
            Guarded([this] { bbCheckNowClick(); });
    });
    for (QComboBox* box : {HealthRange, HealthFigure})
        connect(box, &QComboBox::currentIndexChanged, this, [this] { Guarded([this] { refreshChart(); }); });
    connectGuarded(bbExportHealth, &QPushButton::clicked, this, &THealthForm::bbExportHealthClick);
}

THealthForm::~THealthForm() = default;

void THealthForm::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (event->spontaneous())
        return;
    Guarded([this] {
        const QSignalBlocker quiet(HealthEvery);
        HealthEvery->setValue(SettingsLayout::readHealthEvery(store_()));
    });
    Guarded([this] {
        reload();
        refreshChart();
    });
    HealthEveryChange();
}

void THealthForm::hideEvent(QHideEvent* event)
{
    every_.stop(); // checks are made while the window is open, not behind the operator's back
    // The next window starts checking as this one did: kept once as it closes, not at every step of the box.
    Guarded([this] { SettingsLayout::writeHealthEvery(store_(), HealthEvery->value()); });
    QDialog::hideEvent(event);
}

void THealthForm::closeEvent(QCloseEvent* event)
{
    every_.stop();
    if (batch_)
        batch_->cancel();
    QDialog::closeEvent(event);
}

void THealthForm::reload()
{
    TSettingsStore& store = store_();
    // Only what the list shows is read: no password is fetched until a check needs it.
    std::vector<Listed> listed;
    auto readAll = [&] {
        for (const QString& name : SiteBook::names(store)) {
            const std::string key = SiteBook::keyName(name);
            if (key.empty())
                continue;
            const SiteBook::Record record = SiteBook::readListed(store, key);
            listed.push_back({name,
                              Latin1ToQString(record.host) + QLatin1Char(':') + QString::number(record.portNumber()),
                              fromUtf8(record.folder)});
        }
    };
    if (store.readOnly())
        readAll();
    else
        store.transaction(readAll);
    listed_ = std::move(listed);

    // Each folder, and each folder above one, once.
    QStringList folders;
    for (const Listed& site : listed_) {
        QString folder = site.folder;
        while (!folder.isEmpty() && !folders.contains(folder)) {
            folders << folder;
            folder = folder.section(QLatin1Char('/'), 0, -2);
        }
    }
    folders.sort(Qt::CaseInsensitive);
    const QString chosen = HealthFolder->currentData().toString();
    {
        const QSignalBlocker quiet(HealthFolder);
        HealthFolder->clear();
        HealthFolder->addItem(QStringLiteral("every site"), QString());
        for (const QString& folder : folders)
            HealthFolder->addItem(shown(folder), folder);
        HealthFolder->setCurrentIndex(std::max(0, HealthFolder->findData(chosen)));
    }
    fillRows();
}

QStringList THealthForm::shownSites() const
{
    const QString folder = HealthFolder->currentData().toString();
    const QString filter = HealthFilter->text().trimmed();
    QStringList sites;
    for (const Listed& site : listed_) {
        if (!folder.isEmpty() && !SiteBook::inFolder(site.folder.toStdString(), folder))
            continue;
        if (!filter.isEmpty() && !site.name.contains(filter, Qt::CaseInsensitive) &&
            !site.host.contains(filter, Qt::CaseInsensitive))
            continue;
        sites << site.name;
    }
    return sites;
}

void THealthForm::ChoiceChange()
{
    typing_.stop();
    fillRows();
    refreshChart();
}

void THealthForm::fillRows()
{
    const QStringList sites = shownSites();
    // Sorting is held off while the rows go in: a sorted table would move each row as its cells arrive.
    HealthTable->setSortingEnabled(false);
    HealthTable->setRowCount(int(sites.size()));
    for (int row = 0; row < int(sites.size()); ++row) {
        for (int column = 0; column < ColumnCount; ++column)
            HealthTable->setItem(row, column, new Cell);
        fillRow(row, sites[row]);
    }
    HealthTable->setSortingEnabled(true);
    HealthTable->resizeColumnsToContents();
    showState();
}

int THealthForm::rowOf(const QString& site) const
{
    for (int row = 0; row < HealthTable->rowCount(); ++row)
        if (HealthTable->item(row, SiteColumn)->data(SiteRole).toString() == site)
            return row;
    return -1;
}

std::pair<QColor, QColor> THealthForm::attentionColours(HealthLevel level, const QPalette& palette)
{
    if (level == HealthLevel::Ok)
        return {};
    const bool dark = luminance(palette.color(QPalette::Base)) < 0.2;
    const bool critical = level == HealthLevel::Critical;
    if (dark)
        return critical ? std::pair{QColor(0x7A, 0x1F, 0x1F), QColor(0xFF, 0xE4, 0xE4)}
                        : std::pair{QColor(0x5E, 0x48, 0x00), QColor(0xFF, 0xF3, 0xC8)};
    return critical ? std::pair{QColor(0xF6, 0xB8, 0xB8), QColor(0x4A, 0x00, 0x00)}
                    : std::pair{QColor(0xFF, 0xD9, 0x66), QColor(0x3A, 0x2C, 0x00)};
}

void THealthForm::fillRow(int row, const QString& site)
{
    const auto set = [&](int column, const QString& text, const QVariant& sort = QVariant()) {
        QTableWidgetItem* cell = HealthTable->item(row, column);
        cell->setText(text);
        cell->setData(SortRole, sort);
    };
    const auto ms = [&](int column, qint64 value) { set(column, msText(value), value < 0 ? QVariant() : value); };
    HealthTable->item(row, SiteColumn)->setData(SiteRole, site);
    set(SiteColumn, SiteBook::shownName(site));
    const auto found = results_.find(site);
    const bool checking = batch_ && batch_->running() && found == results_.end();
    if (found == results_.end()) {
        for (int column = StatusColumn; column < ColumnCount; ++column)
            set(column, QString());
        set(StatusColumn, checking ? QStringLiteral("checking") : QString());
        for (int column = 0; column < ColumnCount; ++column) {
            HealthTable->item(row, column)->setBackground(QBrush());
            HealthTable->item(row, column)->setForeground(QBrush());
        }
        return;
    }
    const SiteHealth& h = found->second;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const HealthVerdict verdict = judgeHealth(h, HealthLimits{}, now);
    QStringList reasons;
    for (const std::string& reason : verdict.reasons)
        reasons << shown(fromUtf8(reason));
    set(StatusColumn, QLatin1String(levelWord(verdict.level)), severity(verdict.level));
    HealthTable->item(row, StatusColumn)->setToolTip(reasons.join(QLatin1Char('\n')));
    const QString failure = shown(fromUtf8(h.why.message));
    set(ReachableColumn,
        h.ok() ? QStringLiteral("yes") : QLatin1String(outcomeWord(h.outcome)) + QStringLiteral(": ") + failure);
    HealthTable->item(row, ReachableColumn)
        ->setToolTip(h.ok() ? QString() : failure + QLatin1Char('\n') + fromUtf8(h.why.hint));
    ms(ConnectColumn, h.connectMs);
    ms(TlsColumn, h.tlsMs);
    ms(LoginColumn, h.loginMs);
    ms(NoopColumn, h.noopMs);
    set(VersionColumn, fromUtf8(h.tlsVersion));
    set(CipherColumn, fromUtf8(h.cipher));
    set(SubjectColumn, shown(fromUtf8(h.subject)));
    set(IssuerColumn, shown(fromUtf8(h.issuer)));
    set(LastDayColumn, fromUtf8(h.notAfter), h.hasCertificate() ? QVariant(h.notAfterMs) : QVariant());
    set(DaysColumn, h.hasCertificate() ? QString::number(h.daysLeft(now)) : QString(),
        h.hasCertificate() ? QVariant(h.daysLeft(now)) : QVariant());
    set(PinColumn, QLatin1String(pinWord(h.pin)));
    set(BannerColumn, shown(BatchReport::lineText(h.banner)));
    set(CheckedColumn, QDateTime::fromMSecsSinceEpoch(h.checkedAt).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
        h.checkedAt);
    // A row that needs attention stands out in colour, and says so in its STATUS for whoever cannot tell colours.
    const auto [background, foreground] = attentionColours(verdict.level, HealthTable->palette());
    for (int column = 0; column < ColumnCount; ++column) {
        HealthTable->item(row, column)->setBackground(background.isValid() ? QBrush(background) : QBrush());
        HealthTable->item(row, column)->setForeground(foreground.isValid() ? QBrush(foreground) : QBrush());
    }
}

void THealthForm::bbCheckNowClick()
{
    if (batch_ && batch_->running())
        return;
    const QStringList sites = shownSites();
    if (sites.isEmpty()) {
        Prompts().Notice(QStringLiteral("No site is shown: choose every site, another folder or another filter."));
        return;
    }
    TSettingsStore& store = store_();
    std::vector<BatchSite> read;
    read.reserve(std::size_t(sites.size()));
    for (const QString& name : sites) {
        const std::string key = SiteBook::keyName(name);
        read.push_back({key, SiteBook::read(store, cipher_, key)});
        results_.erase(name);
    }
    batch_ = makeHealthCheck(std::move(read), SettingsLayout::readRunJobs(store));
    connect(batch_.get(), &TSiteBatch::siteEnded, this, [this](int index) { Guarded([&] { siteEnded(index); }); });
    connect(batch_.get(), &TSiteBatch::finished, this, [this] { Guarded([this] { checkFinished(); }); });
    bbCheckNow->setEnabled(false);
    batch_->start();
    for (const QString& name : sites)
        if (const int row = rowOf(name); row >= 0)
            fillRow(row, name);
    showState();
}

void THealthForm::siteEnded(int index)
{
    const SiteHealth health = healthOf(*batch_, std::size_t(index));
    const QString name = fromUtf8(health.site);
    results_[name] = health;
    if (health.outcome != Outcome::Cancelled) {
        try {
            history_.record(health);
        } catch (const Exception& e) {
            if (trouble_.isEmpty())
                trouble_ = QString::fromStdString(e.message()) + QStringLiteral(". The checks go on without it.");
        }
    }
    HealthTable->setSortingEnabled(false);
    if (const int row = rowOf(name); row >= 0)
        fillRow(row, name);
    HealthTable->setSortingEnabled(true);
    showState();
}

void THealthForm::checkFinished()
{
    bbCheckNow->setEnabled(true);
    HealthTable->resizeColumnsToContents();
    showState();
    refreshChart();
}

void THealthForm::showState()
{
    const QStringList sites = shownSites();
    int counts[4] = {0, 0, 0, 0};
    int checked = 0;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (const QString& site : sites)
        if (const auto found = results_.find(site); found != results_.end()) {
            ++checked;
            ++counts[int(judgeHealth(found->second, HealthLimits{}, now).level)];
        }
    QString state;
    if (batch_ && batch_->running())
        state = QStringLiteral("Checking %1 of %2 sites...").arg(sites.size() - checked).arg(sites.size());
    else if (checked == 0)
        state = sites.size() == 1 ? QStringLiteral("1 site; CHECK NOW checks it.")
                                  : QStringLiteral("%1 sites; CHECK NOW checks them.").arg(sites.size());
    else {
        QStringList parts;
        for (const HealthLevel level :
             {HealthLevel::Ok, HealthLevel::Warning, HealthLevel::Critical, HealthLevel::Unknown})
            if (counts[int(level)] > 0)
                parts << QStringLiteral("%1 %2").arg(counts[int(level)]).arg(QLatin1String(levelWord(level)));
        state = QStringLiteral("%1 of %2 sites checked: %3.").arg(checked).arg(sites.size()).arg(parts.join(", "));
    }
    if (!trouble_.isEmpty())
        state += QLatin1Char(' ') + trouble_;
    HealthState->setText(state);
}

void THealthForm::HealthEveryChange()
{
    const int minutes = HealthEvery->value();
    if (minutes <= 0 || !isVisible()) {
        every_.stop();
        return;
    }
    every_.start(minuteMs() * minutes);
}
