#include "shell/RunSites.h"

#include "gui/Guard.h"
#include "gui/Prompts.h"
#include "gui/WidgetKit.h"
#include "platform/Exceptions.h"
#include "platform/OemText.h"
#include "platform/SettingsLayout.h"
#include "platform/SettingsStore.h"
#include "session/BatchReport.h"
#include "shell/ReplyText.h"
#include "sitebook/SiteBook.h"

#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QCompleter>
#include <QFile>
#include <QFileDialog>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <map>

namespace {

constexpr int SiteRole = Qt::UserRole;        // a site item: the site's name
constexpr int MembersRole = Qt::UserRole + 1; // a result item: the indexes of the outcomes it stands for

QPushButton* makeButton(QWidget* parent, const char* name, const QString& caption, const QString& tip)
{
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(QLatin1String(name));
    button->setToolTip(tip);
    return button;
}

QString seconds(qint64 ms)
{
    return QString::number(double(ms) / 1000.0, 'f', 2) + QStringLiteral(" s");
}

// What a site that failed should look at next.
QString nextStep(FailureKind kind)
{
    switch (kind) {
    case FailureKind::Certificate:
        return QStringLiteral("Log in to the site once from the main window to see its certificate and pin it.");
    case FailureKind::Refused:
    case FailureKind::Unreachable:
    case FailureKind::Lookup:
        return QStringLiteral("Check the site's host and port in SiTES, and that its daemon is running.");
    case FailureKind::TimedOut:
        return QStringLiteral("Check the daemon's state, or the site's reply time-out in SiTES.");
    case FailureKind::DaemonReply:
        return QStringLiteral("Check the site's log-in and password in SiTES.");
    case FailureKind::Tls:
        return QStringLiteral("Check the site's SECURiTY in SiTES.");
    default:
        return QString();
    }
}

} // namespace

TRunSitesForm::TRunSitesForm(std::function<TSettingsStore&()> store, const TDiamond& cipher,
                             QAbstractItemModel* commandWords, QWidget* parent)
    : QDialog(parent), store_(std::move(store)), cipher_(cipher)
{
    setObjectName(QStringLiteral("RunSitesForm"));
    setWindowTitle(QStringLiteral("RUN ON SiTES"));
    setModal(false);
    resize(820, 560);

    auto* sitesLabel = new QLabel(QStringLiteral("SiTES"), this);
    SiteFilter = new QLineEdit(this);
    SiteFilter->setObjectName(QStringLiteral("SiteFilter"));
    SiteFilter->setPlaceholderText(QStringLiteral("Filter by name or host"));
    SiteFilter->setClearButtonEnabled(true);
    SiteFilter->setAccessibleName(QStringLiteral("Filter sites"));
    SiteTree = new QTreeWidget(this);
    SiteTree->setObjectName(QStringLiteral("SiteTree"));
    SiteTree->setHeaderLabels({QStringLiteral("SiTE"), QStringLiteral("HOST")});
    SiteTree->setAccessibleName(QStringLiteral("Sites to run on"));
    SiteTree->setToolTip(QStringLiteral("Check the sites to run the command on; checking a folder checks every "
                                        "site in it"));
    sitesLabel->setBuddy(SiteFilter);

    auto* commandLabel = new QLabel(QStringLiteral("COMMAND"), this);
    RunCommand = new QComboBox(this);
    RunCommand->setObjectName(QStringLiteral("RunCommand"));
    RunCommand->setEditable(true);
    RunCommand->setInsertPolicy(QComboBox::NoInsert);
    RunCommand->setAccessibleName(QStringLiteral("SITE command to run"));
    RunCommand->setToolTip(QStringLiteral("A SITE command without the word SITE, as in the main window's command "
                                          "box"));
    if (commandWords) {
        auto* completer = new QCompleter(commandWords, RunCommand);
        completer->setCaseSensitivity(Qt::CaseInsensitive);
        RunCommand->setCompleter(completer);
        WidgetKit::passClicksThroughCompletion(RunCommand); // the first click on RUN runs
    }
    commandLabel->setBuddy(RunCommand);
    bbRun = makeButton(this, "bbRun", QStringLiteral("RUN"),
                       QStringLiteral("Log in to every checked site at once, send the command and log out"));
    bbRun->setDefault(true);
    bbCancelRun = makeButton(this, "bbCancelRun", QStringLiteral("CANCEL"),
                             QStringLiteral("Stop every site that has not answered yet"));
    bbCancelRun->setEnabled(false);

    ResultTree = new QTreeWidget(this);
    ResultTree->setObjectName(QStringLiteral("ResultTree"));
    ResultTree->setHeaderLabels(
        {QStringLiteral("SiTE"), QStringLiteral("STATE"), QStringLiteral("TiME"), QStringLiteral("REPLY")});
    ResultTree->setAccessibleName(QStringLiteral("Results by site"));
    ResultTree->setRootIsDecorated(true);
    ResultTree->header()->setStretchLastSection(true);
    // The whole reply shows as the pages show the daemon's lines: the console's font, tables unwrapped.
    ResultMemo = WidgetKit::memo(this, "ResultMemo");
    ResultMemo->setReadOnly(true);
    ResultMemo->setAccessibleName(QStringLiteral("Whole reply of the selected site or group"));
    RunState = new QLabel(this);
    RunState->setObjectName(QStringLiteral("RunState"));
    bbCopyResults = makeButton(this, "bbCopyResults", QStringLiteral("COPY"),
                               QStringLiteral("Copy the results, identical replies folded, to the clipboard"));
    bbSaveResults =
        makeButton(this, "bbSaveResults", QStringLiteral("SAVE..."), QStringLiteral("Save the results as CSV or JSON"));
    bbCopyResults->setEnabled(false);
    bbSaveResults->setEnabled(false);

    auto* left = new QWidget(this);
    auto* leftLayout = new QVBoxLayout(left);
    leftLayout->setContentsMargins(0, 0, 0, 0);
    leftLayout->addWidget(sitesLabel);
    leftLayout->addWidget(SiteFilter);
    leftLayout->addWidget(SiteTree);
    auto* right = new QWidget(this);
    auto* rightLayout = new QVBoxLayout(right);
    rightLayout->setContentsMargins(0, 0, 0, 0);
    auto* commandRow = new QHBoxLayout;
    commandRow->addWidget(commandLabel);
    commandRow->addWidget(RunCommand, 1);
    commandRow->addWidget(bbRun);
    commandRow->addWidget(bbCancelRun);
    rightLayout->addLayout(commandRow);
    auto* results = new QSplitter(Qt::Vertical, right);
    results->addWidget(ResultTree);
    results->addWidget(ResultMemo);
    rightLayout->addWidget(results, 1);
    auto* bottomRow = new QHBoxLayout;
    bottomRow->addWidget(RunState, 1);
    bottomRow->addWidget(bbCopyResults);
    bottomRow->addWidget(bbSaveResults);
    rightLayout->addLayout(bottomRow);
    auto* split = new QSplitter(Qt::Horizontal, this);
    split->addWidget(left);
    split->addWidget(right);
    split->setStretchFactor(1, 2);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(split);
    setTabOrder(SiteFilter, SiteTree);
    setTabOrder(SiteTree, RunCommand);
    setTabOrder(RunCommand, bbRun);
    setTabOrder(bbRun, bbCancelRun);
    setTabOrder(bbCancelRun, ResultTree);
    setTabOrder(ResultTree, ResultMemo);
    setTabOrder(ResultMemo, bbCopyResults);
    setTabOrder(bbCopyResults, bbSaveResults);

    connect(SiteFilter, &QLineEdit::textChanged, this, [this] { Guarded([this] { SiteFilterChange(); }); });
    connectGuarded(bbRun, &QPushButton::clicked, this, &TRunSitesForm::bbRunClick);
    connectGuarded(bbCancelRun, &QPushButton::clicked, this, &TRunSitesForm::bbCancelRunClick);
    connectGuarded(ResultTree, &QTreeWidget::itemSelectionChanged, this, &TRunSitesForm::ResultTreeChange);
    connectGuarded(bbCopyResults, &QPushButton::clicked, this, &TRunSitesForm::bbCopyResultsClick);
    connectGuarded(bbSaveResults, &QPushButton::clicked, this, &TRunSitesForm::bbSaveResultsClick);
    // Enter in the command box runs, as RUN does.
    connect(RunCommand->lineEdit(), &QLineEdit::returnPressed, this, [this] { Guarded([this] { bbRunClick(); }); });
}

TRunSitesForm::~TRunSitesForm() = default;

QTreeWidgetItem* TRunSitesForm::folderItem(const QString& folder)
{
    QTreeWidgetItem* parent = nullptr;
    for (const QString& part : folder.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        QTreeWidgetItem* found = nullptr;
        const int count = parent ? parent->childCount() : SiteTree->topLevelItemCount();
        for (int i = 0; i < count && !found; ++i) {
            QTreeWidgetItem* item = parent ? parent->child(i) : SiteTree->topLevelItem(i);
            if (item->data(0, SiteRole).isNull() && item->text(0) == part)
                found = item;
        }
        if (!found) {
            found = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(SiteTree);
            found->setText(0, part);
            found->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable | Qt::ItemIsAutoTristate);
            found->setCheckState(0, Qt::Unchecked);
            found->setToolTip(0, QStringLiteral("Check to run on every site in this folder"));
            found->setExpanded(true);
        }
        parent = found;
    }
    return parent;
}

void TRunSitesForm::openWith(const QStringList& history)
{
    QStringList wasChecked = chosenSites();
    SiteTree->clear();
    TSettingsStore& store = store_();
    for (const QString& name : SiteBook::names(store)) {
        const std::string key = SiteBook::keyName(name);
        if (key.empty())
            continue;
        const SiteBook::Record record = SiteBook::read(store, cipher_, key);
        QTreeWidgetItem* folder = folderItem(QString::fromUtf8(record.folder.data(), qsizetype(record.folder.size())));
        auto* item = folder ? new QTreeWidgetItem(folder) : new QTreeWidgetItem(SiteTree);
        item->setText(0, name);
        item->setText(1, Latin1ToQString(record.host) + QLatin1Char(':') + QString::number(record.portNumber()));
        item->setData(0, SiteRole, name);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        item->setCheckState(0, wasChecked.contains(name) ? Qt::Checked : Qt::Unchecked);
    }
    SiteTree->resizeColumnToContents(0);
    const QString typed = RunCommand->currentText();
    RunCommand->clear();
    RunCommand->addItems(history);
    RunCommand->setCurrentIndex(-1);
    RunCommand->setEditText(typed);
    SiteFilterChange();
}

void TRunSitesForm::SiteFilterChange()
{
    const QString filter = SiteFilter->text().trimmed();
    // A site shows when its name or host holds the filter; a folder when any site below it shows.
    std::function<bool(QTreeWidgetItem*)> apply = [&](QTreeWidgetItem* item) {
        bool shown = false;
        if (item->data(0, SiteRole).isNull()) {
            for (int i = 0; i < item->childCount(); ++i)
                shown = apply(item->child(i)) || shown;
        } else {
            shown = filter.isEmpty() || item->text(0).contains(filter, Qt::CaseInsensitive) ||
                    item->text(1).contains(filter, Qt::CaseInsensitive);
        }
        item->setHidden(!shown);
        return shown;
    };
    for (int i = 0; i < SiteTree->topLevelItemCount(); ++i)
        apply(SiteTree->topLevelItem(i));
}

QStringList TRunSitesForm::chosenSites() const
{
    QStringList sites;
    std::function<void(QTreeWidgetItem*)> collect = [&](QTreeWidgetItem* item) {
        if (item->isHidden())
            return;
        if (!item->data(0, SiteRole).isNull()) {
            if (item->checkState(0) == Qt::Checked)
                sites << item->data(0, SiteRole).toString();
            return;
        }
        for (int i = 0; i < item->childCount(); ++i)
            collect(item->child(i));
    };
    for (int i = 0; i < SiteTree->topLevelItemCount(); ++i)
        collect(SiteTree->topLevelItem(i));
    return sites;
}

void TRunSitesForm::bbRunClick()
{
    if (batch_ && batch_->running())
        return;
    const QString command = RunCommand->currentText();
    if (command.trimmed().isEmpty()) {
        Prompts().Notice(QStringLiteral("Type the SITE command to run first (without the word SITE)."));
        return;
    }
    const QStringList sites = chosenSites();
    if (sites.isEmpty()) {
        Prompts().Notice(QStringLiteral("Check the sites to run the command on first."));
        return;
    }
    const std::string line = QStringToLatin1(command);
    if (changesDaemonState(line)) {
        const QString shown = Latin1ToQString(MaskedLine("SITE " + line));
        if (!Prompts().Confirm(QStringLiteral("%1 changes the daemon's state. Run it on these %2 sites?\n\n%3")
                                   .arg(shown)
                                   .arg(sites.size())
                                   .arg(sites.join(QLatin1Char('\n')))))
            return;
    }
    TSettingsStore& store = store_();
    std::vector<BatchSite> batchSites;
    for (const QString& name : sites) {
        const std::string key = SiteBook::keyName(name);
        batchSites.push_back({key, SiteBook::read(store, cipher_, key)});
    }
    batch_ = std::make_unique<TSiteBatch>(std::move(batchSites), line, SettingsLayout::readRunJobs(store));
    connect(batch_.get(), &TSiteBatch::siteChanged, this, [this] { Guarded([this] { showResults(); }); });
    connect(batch_.get(), &TSiteBatch::finished, this, [this] { Guarded([this] { batchFinished(); }); });
    if (RunCommand->findText(command) < 0)
        RunCommand->addItem(command);
    emit commandRun(command);
    bbRun->setEnabled(false);
    bbCancelRun->setEnabled(true);
    bbCopyResults->setEnabled(false);
    bbSaveResults->setEnabled(false);
    ResultMemo->clear();
    RunState->setText(
        QStringLiteral("Running %1 on %2 sites...").arg(Latin1ToQString(MaskedLine("SITE " + line))).arg(sites.size()));
    showResults();
    batch_->start();
}

void TRunSitesForm::bbCancelRunClick()
{
    if (batch_)
        batch_->cancel();
}

void TRunSitesForm::batchFinished()
{
    bbRun->setEnabled(true);
    bbCancelRun->setEnabled(false);
    bbCopyResults->setEnabled(true);
    bbSaveResults->setEnabled(true);
    int ok = 0;
    for (const SiteOutcome& outcome : batch_->outcomes())
        ok += outcome.ok();
    RunState->setText(QStringLiteral("%1 of %2 sites answered with 2xx.").arg(ok).arg(batch_->outcomes().size()));
    showResults();
}

void TRunSitesForm::showResults()
{
    if (!batch_)
        return;
    const std::vector<SiteOutcome>& outcomes = batch_->outcomes();
    // The selection is kept across the rebuild by the first outcome it stands for.
    int selected = -1;
    if (QTreeWidgetItem* item = ResultTree->currentItem(); item && ResultTree->selectedItems().contains(item))
        selected = item->data(0, MembersRole).toList().value(0, -1).toInt();
    ResultTree->clear();
    auto siteRow = [&](QTreeWidgetItem* parent, std::size_t i) {
        const SiteOutcome& o = outcomes[i];
        auto* row = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(ResultTree);
        row->setText(0, BatchReport::siteText(o.site));
        row->setText(1, QString::fromLatin1(stepWord(o.step)));
        row->setText(2, o.step == SiteOutcome::Step::Done || o.step == SiteOutcome::Step::Failed ? seconds(o.ms)
                                                                                                 : QString());
        row->setText(3, BatchReport::summary(o));
        row->setData(0, MembersRole, QVariantList{int(i)});
        return row;
    };
    QTreeWidgetItem* toSelect = nullptr;
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        if (outcomes[i].step == SiteOutcome::Step::Done || outcomes[i].step == SiteOutcome::Step::Failed)
            continue;
        QTreeWidgetItem* row = siteRow(nullptr, i);
        if (int(i) == selected)
            toSelect = row;
    }
    for (const ReplyGroup& group : foldOutcomes(outcomes)) {
        if (group.members.size() == 1) {
            QTreeWidgetItem* row = siteRow(nullptr, group.members.front());
            if (int(group.members.front()) == selected)
                toSelect = row;
            continue;
        }
        auto* head = new QTreeWidgetItem(ResultTree);
        QStringList names;
        QVariantList members;
        qint64 slowest = 0;
        for (const std::size_t i : group.members) {
            names << BatchReport::siteText(outcomes[i].site);
            members << int(i);
            slowest = std::max(slowest, outcomes[i].ms);
        }
        head->setText(0, QStringLiteral("%1 sites: %2").arg(names.size()).arg(names.join(QStringLiteral(", "))));
        head->setText(1, group.failed ? QStringLiteral("failed") : QStringLiteral("done"));
        head->setText(2, seconds(slowest));
        head->setText(3, BatchReport::summary(outcomes[group.members.front()]));
        head->setData(0, MembersRole, members);
        head->setToolTip(0, names.join(QLatin1Char('\n')));
        for (const std::size_t i : group.members)
            siteRow(head, i);
        if (int(group.members.front()) == selected)
            toSelect = head;
    }
    for (int c = 1; c < 3; ++c)
        ResultTree->resizeColumnToContents(c);
    if (toSelect)
        ResultTree->setCurrentItem(toSelect);
}

void TRunSitesForm::ResultTreeChange()
{
    ResultMemo->clear();
    QTreeWidgetItem* item = ResultTree->currentItem();
    if (!item || !batch_)
        return;
    const QVariantList members = item->data(0, MembersRole).toList();
    if (members.isEmpty())
        return;
    const SiteOutcome& o = batch_->outcomes()[std::size_t(members.front().toInt())];
    QStringList text;
    if (members.size() > 1) {
        QStringList names;
        for (const QVariant& m : members)
            names << BatchReport::siteText(batch_->outcomes()[std::size_t(m.toInt())].site);
        text << QStringLiteral("%1 sites: %2").arg(members.size()).arg(names.join(QStringLiteral(", "))) << QString();
    }
    if (o.step == SiteOutcome::Step::Failed) {
        text << BatchReport::lineText(failureLine(o.failure));
        if (const QString next = nextStep(o.failure.kind); !next.isEmpty())
            text << next;
    } else {
        for (const std::string& line : o.lines)
            text << ShownLine(line);
    }
    ResultMemo->setPlainText(text.join(QLatin1Char('\n')));
}

void TRunSitesForm::bbCopyResultsClick()
{
    if (batch_)
        QGuiApplication::clipboard()->setText(QString::fromStdString(BatchReport::folded(batch_->outcomes())));
}

void TRunSitesForm::bbSaveResultsClick()
{
    if (!batch_)
        return;
    const QString path =
        QFileDialog::getSaveFileName(this, QStringLiteral("SAVE RESULTS"), QStringLiteral("results.csv"),
                                     QStringLiteral("CSV (*.csv);;JSON lines (*.json)"));
    if (!path.isEmpty())
        saveResults(path);
}

void TRunSitesForm::saveResults(const QString& path)
{
    if (!batch_)
        return;
    const std::string text = path.endsWith(QStringLiteral(".json"), Qt::CaseInsensitive)
                                 ? BatchReport::jsonLines(batch_->outcomes())
                                 : BatchReport::csv(batch_->outcomes());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(text.data(), qint64(text.size())) != qint64(text.size()) || !file.flush())
        throw Exception("The results cannot be written to " + path.toStdString() + ": " +
                        file.errorString().toStdString());
}

void TRunSitesForm::closeEvent(QCloseEvent* event)
{
    // Closing stops what still runs; the results stay for the next time the window opens.
    if (batch_)
        batch_->cancel();
    QDialog::closeEvent(event);
}
