#include "shell/RunSites.h"

#include "gui/Guard.h"
#include "gui/Prompts.h"
#include "gui/WidgetKit.h"
#include "platform/Exceptions.h"
#include "platform/OemText.h"
#include "platform/PasswordMask.h"
#include "platform/SettingsLayout.h"
#include "platform/SettingsStore.h"
#include "session/BatchReport.h"
#include "session/BatchWatch.h"
#include "sitebook/Keyring.h"
#include "sitebook/SiteBook.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCompleter>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSet>
#include <QSpinBox>
#include <QSplitter>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace {

constexpr int SiteRole = Qt::UserRole;        // a site item: the site's name
constexpr qsizetype ConfirmWithoutTyping = 5; // more sites than this: the operator types their number
constexpr qsizetype NamesInQuestion = 20;     // the names a question lists before "and N more"

QPushButton* makeButton(QWidget* parent, const char* name, const QString& caption, const QString& tip)
{
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(QLatin1String(name));
    button->setToolTip(tip);
    return button;
}

QString fromUtf8(const std::string& text)
{
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

QString namesList(const QStringList& sites)
{
    QStringList shown;
    for (qsizetype i = 0; i < sites.size() && i < NamesInQuestion; ++i)
        shown << SiteBook::shownName(sites[i]);
    if (sites.size() <= NamesInQuestion)
        return shown.join(QLatin1Char('\n'));
    return shown.join(QLatin1Char('\n')) + QStringLiteral("\n... and %1 more").arg(sites.size() - NamesInQuestion);
}

} // namespace

TRunSitesForm::TRunSitesForm(std::function<TSettingsStore&()> store, const TDiamond& cipher,
                             QAbstractItemModel* commandWords, QWidget* parent)
    : QDialog(parent), store_(std::move(store)), cipher_(cipher), widen_(new QTimer(this)), fold_(new QTimer(this))
{
    setObjectName(QStringLiteral("RunSitesForm"));
    setWindowTitle(QStringLiteral("RUN ON SiTES"));
    setModal(false);
    resize(900, 600);

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
    SiteTree->setUniformRowHeights(true);
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
    RunAsScript = new QCheckBox(QStringLiteral("SCRiPT"), this);
    RunAsScript->setObjectName(QStringLiteral("RunAsScript"));
    RunAsScript->setToolTip(QStringLiteral("Several lines, sent one after another in one log-in per site; a site "
                                           "stops at its first line that fails"));
    RunScript = new QPlainTextEdit(this);
    RunScript->setObjectName(QStringLiteral("RunScript"));
    RunScript->setAccessibleName(QStringLiteral("Script: one SITE command a line"));
    RunScript->setPlaceholderText(QStringLiteral("One SITE command a line, without the word SITE; # starts a comment"));
    RunScript->setTabChangesFocus(true);
    RunScript->setMaximumHeight(90);
    RunScript->setVisible(false);
    bbPreview = makeButton(this, "bbPreview", QStringLiteral("PREViEW"),
                           QStringLiteral("Show every line each checked site would be sent, passwords hidden; "
                                          "nothing is sent"));
    bbRun = makeButton(this, "bbRun", QStringLiteral("RUN"),
                       QStringLiteral("Log in to every checked site at once, send the command and log out"));
    bbRun->setDefault(true);
    bbCancelRun = makeButton(this, "bbCancelRun", QStringLiteral("CANCEL"),
                             QStringLiteral("Stop every site that has not answered yet; what came is kept"));
    bbCancelRun->setEnabled(false);

    auto* serialLabel = new QLabel(QStringLiteral("AT A TiME"), this);
    RunSerial = new QSpinBox(this);
    RunSerial->setObjectName(QStringLiteral("RunSerial"));
    RunSerial->setRange(0, 1000);
    RunSerial->setSpecialValueText(QStringLiteral("all"));
    RunSerial->setAccessibleName(QStringLiteral("Sites at a time"));
    RunSerial->setToolTip(QStringLiteral("1: one site at a time; N: N sites, the next N once those have ended; "
                                         "all: as many at once as RunJobs allows"));
    serialLabel->setBuddy(RunSerial);
    auto* failLabel = new QLabel(QStringLiteral("STOP PAST % FAiLED"), this);
    RunMaxFail = new QSpinBox(this);
    RunMaxFail->setObjectName(QStringLiteral("RunMaxFail"));
    RunMaxFail->setRange(-1, 100);
    RunMaxFail->setValue(-1);
    RunMaxFail->setSpecialValueText(QStringLiteral("never"));
    RunMaxFail->setAccessibleName(QStringLiteral("Stop past this share of failed sites"));
    RunMaxFail->setToolTip(QStringLiteral("No more sites start once more than this share of the sites run so far "
                                          "did not end ok (0: stop at the first failure)"));
    failLabel->setBuddy(RunMaxFail);
    auto* repeatLabel = new QLabel(QStringLiteral("REPEAT EVERY"), this);
    RunRepeat = new QSpinBox(this);
    RunRepeat->setObjectName(QStringLiteral("RunRepeat"));
    RunRepeat->setRange(0, BatchWatching::MaximumSeconds);
    RunRepeat->setSpecialValueText(QStringLiteral("off"));
    RunRepeat->setSuffix(QStringLiteral(" s"));
    RunRepeat->setAccessibleName(QStringLiteral("Repeat every so many seconds"));
    RunRepeat->setToolTip(QStringLiteral("Watch: run a command that only reads again every so many seconds (5 or "
                                         "more), logged in all along, marking what changed; STOP ends it"));
    repeatLabel->setBuddy(RunRepeat);
    // No interval below the shortest: from off a step up goes to it, and a step down from it goes off.
    connect(RunRepeat, &QSpinBox::valueChanged, this, [this](int seconds) {
        if (seconds > 0 && seconds < BatchWatching::MinimumSeconds)
            RunRepeat->setValue(seconds == BatchWatching::MinimumSeconds - 1 ? 0 : BatchWatching::MinimumSeconds);
    });
    RunAllowClearText = new QCheckBox(QStringLiteral("Allow clear text"), this);
    RunAllowClearText->setObjectName(QStringLiteral("RunAllowClearText"));
    RunAllowClearText->setToolTip(QStringLiteral("Log in without TLS to sites set to Explicit TLS if offered whose "
                                                 "server refuses it (the password goes in clear text)"));

    ResultTree = new QTreeWidget(this);
    ResultTree->setObjectName(QStringLiteral("ResultTree"));
    ResultTree->setHeaderLabels(
        {QStringLiteral("SiTE"), QStringLiteral("STATE"), QStringLiteral("TiME"), QStringLiteral("REPLY")});
    ResultTree->setAccessibleName(QStringLiteral("Results by site"));
    ResultTree->setRootIsDecorated(true);
    ResultTree->setUniformRowHeights(true);
    ResultTree->header()->setStretchLastSection(true);
    // The whole reply shows as the pages show the daemon's lines: the console's font, tables unwrapped.
    ResultMemo = WidgetKit::memo(this, "ResultMemo");
    ResultMemo->setReadOnly(true);
    ResultMemo->setAccessibleName(QStringLiteral("Whole reply of the selected site or group"));
    RunState = new QLabel(this);
    RunState->setObjectName(QStringLiteral("RunState"));
    RunState->setWordWrap(true);
    bbRunFailed = makeButton(this, "bbRunFailed", QStringLiteral("RUN AGAiN ON FAiLED"),
                             QStringLiteral("Run the same lines again on the sites that did not end ok"));
    bbDifferences = makeButton(this, "bbDifferences", QStringLiteral("DiFFERENCES"),
                               QStringLiteral("Show each smaller group as a unified diff against the largest"));
    bbCopyResults = makeButton(this, "bbCopyResults", QStringLiteral("COPY"),
                               QStringLiteral("Copy the results, identical replies folded, to the clipboard"));
    bbSaveResults =
        makeButton(this, "bbSaveResults", QStringLiteral("SAVE..."), QStringLiteral("Save the results as CSV or JSON"));
    for (QPushButton* b : {bbRunFailed, bbDifferences, bbCopyResults, bbSaveResults})
        b->setEnabled(false);

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
    commandRow->addWidget(RunAsScript);
    commandRow->addWidget(bbPreview);
    commandRow->addWidget(bbRun);
    commandRow->addWidget(bbCancelRun);
    rightLayout->addLayout(commandRow);
    rightLayout->addWidget(RunScript);
    auto* optionRow = new QHBoxLayout;
    optionRow->addWidget(serialLabel);
    optionRow->addWidget(RunSerial);
    optionRow->addWidget(failLabel);
    optionRow->addWidget(RunMaxFail);
    optionRow->addWidget(RunAllowClearText);
    optionRow->addWidget(repeatLabel);
    optionRow->addWidget(RunRepeat);
    optionRow->addStretch(1);
    rightLayout->addLayout(optionRow);
    auto* results = new QSplitter(Qt::Vertical, right);
    results->addWidget(ResultTree);
    results->addWidget(ResultMemo);
    rightLayout->addWidget(results, 1);
    auto* bottomRow = new QHBoxLayout;
    bottomRow->addWidget(RunState, 1);
    for (QPushButton* b : {bbRunFailed, bbDifferences, bbCopyResults, bbSaveResults})
        bottomRow->addWidget(b);
    rightLayout->addLayout(bottomRow);
    auto* split = new QSplitter(Qt::Horizontal, this);
    split->addWidget(left);
    split->addWidget(right);
    split->setStretchFactor(1, 2);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(split);
    QWidget* order[] = {SiteFilter, SiteTree,    RunCommand,  RunAsScript,   RunScript,         bbPreview,
                        bbRun,      bbCancelRun, RunSerial,   RunMaxFail,    RunAllowClearText, RunRepeat,
                        ResultTree, ResultMemo,  bbRunFailed, bbDifferences, bbCopyResults,     bbSaveResults};
    for (std::size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);
    WidgetKit::nameControls(this);

    fold_->setSingleShot(true);
    fold_->setInterval(150);
    connect(fold_, &QTimer::timeout, this, [this] { Guarded([this] { fileEnded(); }); });
    widen_->setSingleShot(true);
    widen_->setInterval(250);
    connect(widen_, &QTimer::timeout, this, [this] {
        for (int c = 1; c < 3; ++c)
            ResultTree->resizeColumnToContents(c);
    });
    connect(SiteFilter, &QLineEdit::textChanged, this, [this] { Guarded([this] { SiteFilterChange(); }); });
    connect(RunAsScript, &QCheckBox::toggled, this, [this](bool on) {
        if (on && RunScript->toPlainText().trimmed().isEmpty())
            RunScript->setPlainText(RunCommand->currentText());
        RunScript->setVisible(on);
        RunCommand->setEnabled(!on);
    });
    connectGuarded(bbPreview, &QPushButton::clicked, this, &TRunSitesForm::bbPreviewClick);
    connectGuarded(bbRun, &QPushButton::clicked, this, &TRunSitesForm::bbRunClick);
    connectGuarded(bbCancelRun, &QPushButton::clicked, this, &TRunSitesForm::bbCancelRunClick);
    connectGuarded(bbRunFailed, &QPushButton::clicked, this, &TRunSitesForm::bbRunFailedClick);
    connectGuarded(ResultTree, &QTreeWidget::itemSelectionChanged, this, &TRunSitesForm::ResultTreeChange);
    connectGuarded(bbDifferences, &QPushButton::clicked, this, &TRunSitesForm::bbDifferencesClick);
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
    const QStringList checked = chosenSites();
    const QSet<QString> wasChecked(checked.begin(), checked.end());
    SiteTree->clear();
    TSettingsStore& store = store_();
    // Only what the list shows is read: no password is fetched or unlocked until a run needs it. The values are
    // read under one lock of the store, not one each, so that a book of thousands of sites opens at once.
    QList<QTreeWidgetItem*> topLevel;
    auto readAll = [&] {
        for (const QString& name : SiteBook::names(store)) {
            const std::string key = SiteBook::keyName(name);
            if (key.empty())
                continue;
            const SiteBook::Record record = SiteBook::readListed(store, key);
            QTreeWidgetItem* folder = record.folder.empty() ? nullptr : folderItem(fromUtf8(record.folder));
            auto* item = folder ? new QTreeWidgetItem(folder) : new QTreeWidgetItem;
            item->setText(0, SiteBook::shownName(name));
            item->setText(1, Latin1ToQString(record.host) + QLatin1Char(':') + QString::number(record.portNumber()));
            item->setData(0, SiteRole, name);
            item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
            item->setCheckState(0, wasChecked.contains(name) ? Qt::Checked : Qt::Unchecked);
            if (!folder)
                topLevel << item;
        }
    };
    if (store.readOnly())
        readAll();
    else
        store.transaction(readAll);
    SiteTree->addTopLevelItems(topLevel);
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
    // A site shows when its name or host holds the filter; a folder when any site below it shows. Only rows whose
    // state changes are touched, so a key typed into a filter over thousands of sites stays quick.
    std::function<bool(QTreeWidgetItem*)> apply = [&](QTreeWidgetItem* item) {
        bool shown = false;
        if (item->data(0, SiteRole).isNull()) {
            for (int i = 0; i < item->childCount(); ++i)
                shown = apply(item->child(i)) || shown;
        } else {
            shown = filter.isEmpty() || item->text(0).contains(filter, Qt::CaseInsensitive) ||
                    item->text(1).contains(filter, Qt::CaseInsensitive);
        }
        if (item->isHidden() == shown)
            item->setHidden(!shown);
        return shown;
    };
    SiteTree->setUpdatesEnabled(false);
    for (int i = 0; i < SiteTree->topLevelItemCount(); ++i)
        apply(SiteTree->topLevelItem(i));
    SiteTree->setUpdatesEnabled(true);
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

std::vector<std::string> TRunSitesForm::planLines() const
{
    if (RunAsScript->isChecked())
        return BatchPlanning::scriptLines(QStringToLatin1(RunScript->toPlainText()));
    const std::string line = QStringToLatin1(RunCommand->currentText());
    if (line.find_first_not_of(' ') == std::string::npos)
        return {};
    return {line};
}

BatchPlan TRunSitesForm::plan() const
{
    BatchPlan plan;
    plan.lines = planLines();
    plan.allowClearText = RunAllowClearText->isChecked();
    return plan;
}

std::vector<BatchSite> TRunSitesForm::readSites(const QStringList& sites)
{
    TSettingsStore& store = store_();
    std::vector<BatchSite> batchSites;
    batchSites.reserve(std::size_t(sites.size()));
    auto readAll = [&] {
        for (const QString& name : sites) {
            const std::string key = SiteBook::keyName(name);
            batchSites.push_back({key, SiteBook::read(store, cipher_, key)});
        }
    };
    // Under one lock of the store rather than one a value; but never while a question (the master password) or
    // the secret store's answer could keep the lock waiting.
    if (store.readOnly() || Keyring::reachable() || SiteBook::hasMasterPassword(store))
        readAll();
    else
        store.transaction(readAll);
    return batchSites;
}

bool TRunSitesForm::confirmChange(const std::vector<std::string>& lines, const QStringList& sites)
{
    QStringList changing;
    for (const std::string& line : lines)
        if (changesDaemonState(line))
            changing << Latin1ToQString(MaskedLine("SITE " + line));
    if (changing.isEmpty())
        return true;
    const QString what = changing.join(QStringLiteral(", "));
    const QString changes = changing.size() == 1 ? QStringLiteral("changes the daemon's state")
                                                 : QStringLiteral("change the daemon's state");
    if (sites.size() <= ConfirmWithoutTyping) {
        const QString question = sites.size() == 1 ? QStringLiteral("Run it on this site?")
                                                   : QStringLiteral("Run it on these %1 sites?").arg(sites.size());
        return Prompts().Confirm(QStringLiteral("%1 %2. %3\n\n%4").arg(what, changes, question, namesList(sites)));
    }
    // Past a handful of sites a Yes given from habit is not enough: the operator types how many sites it is.
    const QString count = QString::number(sites.size());
    const QString typed = Prompts()
                              .InputBox(QStringLiteral("RUN ON SiTES"),
                                        QStringLiteral("%1 %2 on %3 sites:\n\n%4\n\nType %3 to run it on all of them.")
                                            .arg(what, changes, count, namesList(sites)),
                                        QString())
                              .trimmed();
    if (typed == count)
        return true;
    if (!typed.isEmpty())
        Prompts().Notice(QStringLiteral("Nothing was run: %1 is not the number of sites (%2).").arg(typed, count));
    return false;
}

void TRunSitesForm::bbPreviewClick()
{
    const BatchPlan planned = plan();
    if (planned.lines.empty()) {
        Prompts().Notice(QStringLiteral("Type the SITE command to run first (without the word SITE)."));
        return;
    }
    const QStringList sites = chosenSites();
    if (sites.isEmpty()) {
        Prompts().Notice(QStringLiteral("Check the sites to run the command on first."));
        return;
    }
    ResultMemo->setPlainText(QString::fromStdString(BatchReport::dryRun(readSites(sites), planned)));
    RunState->setText(
        QStringLiteral("The lines each of the %1 would be sent; nothing was sent.")
            .arg(sites.size() == 1 ? QStringLiteral("site") : QStringLiteral("%1 sites").arg(sites.size())));
}

void TRunSitesForm::bbRunClick()
{
    if ((batch_ && batch_->running()) || (watch_ && watch_->watching()))
        return;
    if (planLines().empty()) {
        Prompts().Notice(QStringLiteral("Type the SITE command to run first (without the word SITE)."));
        return;
    }
    const QStringList sites = chosenSites();
    if (sites.isEmpty()) {
        Prompts().Notice(QStringLiteral("Check the sites to run the command on first."));
        return;
    }
    runOn(sites);
}

void TRunSitesForm::bbRunFailedClick()
{
    if (!batch_ || batch_->running() || (watch_ && watch_->watching()))
        return;
    QStringList failed;
    for (const SiteOutcome& outcome : batch_->outcomes())
        if (!outcome.ok())
            failed << fromUtf8(outcome.site); // the name the book knows, not the one shown
    if (failed.isEmpty()) {
        Prompts().Notice(QStringLiteral("Every site of the last run ended ok."));
        return;
    }
    // The same lines as the last run, as they went then.
    const std::vector<std::string> lines = batch_->plan().lines;
    if (RunAsScript->isChecked() || lines.size() > 1) {
        QStringList text;
        for (const std::string& line : lines)
            text << Latin1ToQString(line);
        RunAsScript->setChecked(true);
        RunScript->setPlainText(text.join(QLatin1Char('\n')));
    } else {
        RunCommand->setEditText(Latin1ToQString(lines.front()));
    }
    runOn(failed);
}

void TRunSitesForm::runOn(const QStringList& sites)
{
    BatchPlan planned = plan();
    if (RunRepeat->value() > 0) {
        if (!watchOn(sites, std::move(planned)))
            return;
    } else {
        if (!confirmChange(planned.lines, sites))
            return;
        TSettingsStore& store = store_();
        watch_.reset();
        batch_ = std::make_unique<TSiteBatch>(readSites(sites), std::move(planned), SettingsLayout::readRunJobs(store));
        batch_->serial = RunSerial->value();
        batch_->maxFailPercent = RunMaxFail->value();
        connect(batch_.get(), &TSiteBatch::siteEnded, this, [this](int i) { Guarded([this, i] { siteEnded(i); }); });
        connect(batch_.get(), &TSiteBatch::finished, this, [this] { Guarded([this] { batchFinished(); }); });
    }
    connect(batch_.get(), &TSiteBatch::siteChanged, this, [this](int i) { Guarded([this, i] { siteChanged(i); }); });
    if (!RunAsScript->isChecked()) {
        const QString command = RunCommand->currentText();
        if (RunCommand->findText(command) < 0)
            RunCommand->addItem(command);
    }
    for (const std::string& line : batch_->plan().lines)
        emit commandRun(Latin1ToQString(line));
    // RUN goes off while the sites run: the keys go back to the command, not on to the next box in the row.
    if (bbRun->hasFocus() || bbPreview->hasFocus())
        (RunAsScript->isChecked() ? static_cast<QWidget*>(RunScript) : RunCommand)->setFocus();
    bbRun->setEnabled(false);
    bbPreview->setEnabled(false);
    bbCancelRun->setEnabled(true);
    for (QPushButton* b : {bbRunFailed, bbDifferences, bbCopyResults, bbSaveResults})
        b->setEnabled(false);
    ResultMemo->clear();
    clearResults();
    showState();
    if (watch_)
        watch_->start();
    else
        batch_->start();
}

bool TRunSitesForm::watchOn(const QStringList& sites, BatchPlan planned)
{
    // Only what reads is repeated: a change made every few seconds on every site is never what was meant.
    if (const std::optional<std::string> why = BatchWatching::refusal(planned.lines)) {
        Prompts().Notice(
            QStringLiteral("Nothing was run: %1. Set REPEAT EVERY to off to run it once.").arg(Latin1ToQString(*why)));
        return false;
    }
    TSettingsStore& store = store_();
    int keepAlive = SettingsLayout::WindowSettings().keepAlive;
    try {
        keepAlive = SettingsLayout::readWindow(store).keepAlive;
    } catch (const EStoreError&) {
        // a store without the console's settings keeps the default
    }
    watch_.reset();
    batch_ = std::make_unique<TSiteBatch>(readSites(sites), BatchWatching::watchPlan(std::move(planned), keepAlive),
                                          SettingsLayout::readRunJobs(store));
    watch_ = std::make_unique<TBatchWatch>(*batch_, RunRepeat->value());
    connect(watch_.get(), &TBatchWatch::siteEnded, this, [this](int i) { Guarded([this, i] { siteEnded(i); }); });
    connect(watch_.get(), &TBatchWatch::roundStarted, this, [this] { Guarded([this] { showState(); }); });
    connect(watch_.get(), &TBatchWatch::roundEnded, this, [this] { Guarded([this] { roundEnded(); }); });
    connect(watch_.get(), &TBatchWatch::finished, this, [this] { Guarded([this] { watchFinished(); }); });
    bbCancelRun->setText(QStringLiteral("STOP"));
    bbCancelRun->setToolTip(QStringLiteral("End the watch and log out of every site"));
    return true;
}
