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
#include "shell/ReplyText.h"
#include "sitebook/Keyring.h"
#include "sitebook/SiteBook.h"

#include <QCheckBox>
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
#include <QScrollBar>
#include <QSet>
#include <QSpinBox>
#include <QSplitter>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace {

constexpr int SiteRole = Qt::UserRole;        // a site item: the site's name
constexpr int IndexRole = Qt::UserRole + 1;   // a result row: the index of its site's outcome
constexpr int GroupRole = Qt::UserRole + 2;   // a group's head: the group it heads
constexpr std::size_t HeadNames = 10;         // the names a group's head shows before "..."
constexpr qsizetype ConfirmWithoutTyping = 5; // more sites than this: the operator types their number
constexpr qsizetype NamesInQuestion = 20;     // the names a question lists before "and N more"

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

QString fromUtf8(const std::string& text)
{
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

// What an ended site's state column says: how it ended; under way, where it is.
QString stateText(const SiteOutcome& outcome)
{
    return QString::fromLatin1(outcome.ended() ? outcomeWord(outcome.outcome) : stepWord(outcome.step));
}

// The key sites that ended alike share: the outcome and what they answered.
std::string groupKey(Outcome outcome, const std::vector<std::string>& lines)
{
    std::string key(1, char('0' + int(outcome)));
    for (const std::string& line : lines) {
        key += '\n';
        key += line;
    }
    return key;
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

QString plural(qsizetype n, const char* one, const char* many)
{
    return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
}

// The mark a watch gives a line that came or went, in words as well as in colour: the text says it to a screen
// reader and to an operator who cannot tell the colours apart, the colour to the eye that scans.
QString markText(LineChange::Mark mark)
{
    switch (mark) {
    case LineChange::Mark::Added:
        return QStringLiteral("+ ");
    case LineChange::Mark::Removed:
        return QStringLiteral("- ");
    case LineChange::Mark::Same:
        break;
    }
    return QStringLiteral("  ");
}

// Green for a line that came, red for one that went, light enough over the reply box's near-black and over a light
// base alike.
QColor markColour(LineChange::Mark mark)
{
    return mark == LineChange::Mark::Added ? QColor(40, 170, 70, 110) : QColor(210, 50, 50, 110);
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

void TRunSitesForm::roundEnded()
{
    fileEnded();
    showState();
    for (int c = 1; c < 3; ++c)
        ResultTree->resizeColumnToContents(c);
}

void TRunSitesForm::watchFinished()
{
    bbCancelRun->setText(QStringLiteral("CANCEL"));
    bbCancelRun->setToolTip(QStringLiteral("Stop every site that has not answered yet; what came is kept"));
    batchFinished();
}

void TRunSitesForm::bbCancelRunClick()
{
    if (watch_ && watch_->watching()) {
        // The round under way ends, and every site is logged out; the rows keep the last round.
        watch_->stop(2000);
        bbCancelRun->setEnabled(false);
        showState();
        return;
    }
    if (batch_)
        batch_->cancel();
}

void TRunSitesForm::clearResults()
{
    ResultTree->clear();
    groups_.clear();
    groupOf_.clear();
    rows_.clear();
    pending_.clear();
    fold_->stop();
    siteGroup_.assign(batch_ ? batch_->outcomes().size() : 0, nullptr);
    changed_.assign(siteGroup_.size(), false);
    underWay_ = 0;
    memoSite_ = -1;
    if (!batch_)
        return;
    QList<QTreeWidgetItem*> rows;
    for (std::size_t i = 0; i < batch_->outcomes().size(); ++i) {
        auto* row = new QTreeWidgetItem;
        row->setData(0, IndexRole, int(i));
        fillRow(row, i);
        rows_.push_back(row);
        rows << row;
    }
    underWay_ = int(rows.size());
    ResultTree->addTopLevelItems(rows);
}

void TRunSitesForm::fillRow(QTreeWidgetItem* row, std::size_t index)
{
    const SiteOutcome& o = batch_->outcomes()[index];
    row->setText(0, BatchReport::siteText(o.site));
    row->setText(2, o.ended() && o.outcome != Outcome::NotRun ? seconds(o.ms) : QString());
    row->setText(3, BatchReport::summary(o));
    QString state = stateText(o);
    QString spoken = state;
    const bool changed = watch_ && o.ended() && watch_->changed(index);
    if (watch_ && o.ended() && o.loggedInAgain) {
        state += QStringLiteral(", logged in again");
        spoken = state;
    }
    if (changed) {
        // "ok +2 -1" to the eye, "ok, 2 lines added, 1 removed" to a screen reader, the row bold and shaded.
        const std::vector<LineChange>& changes = watch_->changes(index);
        const auto added = qsizetype(BatchFold::countMarked(changes, LineChange::Mark::Added));
        const auto removed = qsizetype(BatchFold::countMarked(changes, LineChange::Mark::Removed));
        state += QStringLiteral("  +%1 -%2").arg(added).arg(removed);
        spoken += QStringLiteral(", %1 added, %2 removed").arg(plural(added, "line", "lines")).arg(removed);
    }
    row->setText(1, state);
    row->setData(1, Qt::AccessibleTextRole, spoken);
    QFont font = ResultTree->font();
    font.setBold(changed);
    QColor shade = ResultTree->palette().color(QPalette::Highlight);
    shade.setAlpha(60);
    for (int c = 0; c < ResultTree->columnCount(); ++c) {
        row->setFont(c, font);
        row->setBackground(c, changed ? QBrush(shade) : QBrush());
    }
}

void TRunSitesForm::siteChanged(int index)
{
    if (!batch_ || std::size_t(index) >= rows_.size() || changed_[std::size_t(index)])
        return;
    changed_[std::size_t(index)] = true;
    // The rows that changed are brought up to date together a few times a second: a change costs its own row, and
    // thousands of them cost the tree a few layouts and paintings rather than one each.
    pending_.push_back(std::size_t(index));
    if (!fold_->isActive())
        fold_->start();
}

void TRunSitesForm::siteEnded(int index)
{
    siteChanged(index);
}

void TRunSitesForm::fileEnded()
{
    fold_->stop();
    if (!batch_ || pending_.empty())
        return;
    QTreeWidgetItem* current = ResultTree->currentItem();
    bool currentChanged = false;
    ResultTree->setUpdatesEnabled(false);
    for (const std::size_t index : std::exchange(pending_, {})) {
        changed_[index] = false;
        const SiteOutcome& outcome = batch_->outcomes()[index];
        QTreeWidgetItem* row = rows_[index];
        fillRow(row, index);
        currentChanged = currentChanged || current == row;
        // An ended site joins its group among the ended ones; in a watch each site keeps its row and place, which
        // every round fills anew.
        if (outcome.ended() && !siteGroup_[index] && !watch_) {
            const Group* group = fileRow(index);
            currentChanged = currentChanged || (current && current == group->head);
        }
    }
    ResultTree->setUpdatesEnabled(true);
    // Taking rows out and putting them back loses the selection: it is given back, and a selected row or group
    // that just changed shows what it is now.
    if (current && ResultTree->currentItem() != current)
        ResultTree->setCurrentItem(current);
    if (currentChanged)
        ResultTreeChange();
    showState();
    if (!widen_->isActive())
        widen_->start();
}

TRunSitesForm::Group* TRunSitesForm::fileRow(std::size_t index)
{
    const SiteOutcome& outcome = batch_->outcomes()[index];
    QTreeWidgetItem* row = rows_[index];
    // Out of the rows under way at the top, and into its group among the ended ones.
    ResultTree->takeTopLevelItem(ResultTree->indexOfTopLevelItem(row));
    --underWay_;
    std::vector<std::string> lines = BatchFold::transcript(outcome, batch_->plan().lines.size() != 1);
    const std::string key = groupKey(outcome.outcome, lines);
    Group* group = nullptr;
    if (const auto at = groupOf_.find(key); at != groupOf_.end()) {
        group = at->second;
    } else {
        auto fresh = std::make_unique<Group>();
        fresh->outcome = outcome.outcome;
        fresh->lines = std::move(lines);
        group = fresh.get();
        groups_.push_back(std::move(fresh));
        groupOf_.emplace(key, group);
    }
    siteGroup_[index] = group;
    group->members.push_back(index);
    if (group->members.size() == 1) {
        ResultTree->addTopLevelItem(row);
        return group;
    }
    if (!group->head) {
        // The group's first site stood alone: a head takes its place, with both sites below it.
        QTreeWidgetItem* first = rows_[group->members.front()];
        const int at = ResultTree->indexOfTopLevelItem(first);
        ResultTree->takeTopLevelItem(at);
        group->head = new QTreeWidgetItem;
        group->head->setData(0, GroupRole, QVariant::fromValue(quintptr(group)));
        ResultTree->insertTopLevelItem(at, group->head);
        group->head->addChild(first);
    }
    group->head->addChild(row);
    fillHead(*group);
    const auto at = std::find_if(groups_.begin(), groups_.end(), [&](const auto& g) { return g.get() == group; });
    raiseGroup(std::size_t(at - groups_.begin()));
    return group;
}

void TRunSitesForm::fillHead(Group& group)
{
    const std::vector<SiteOutcome>& outcomes = batch_->outcomes();
    ReplyGroup folded{group.members, group.outcome, {}};
    QTreeWidgetItem* head = group.head;
    head->setText(0, QString::fromStdString(BatchReport::groupHeader(outcomes, folded, HeadNames, false)));
    head->setText(1, QString::fromLatin1(outcomeWord(group.outcome)));
    // The slowest so far, kept with the head: the newest member is the only one that can change it.
    const qint64 slowest = std::max({head->data(2, Qt::UserRole).toLongLong(), outcomes[group.members.front()].ms,
                                     outcomes[group.members.back()].ms});
    head->setData(2, Qt::UserRole, slowest);
    head->setText(2, seconds(slowest));
    head->setText(3, BatchReport::summary(outcomes[group.members.front()]));
}

void TRunSitesForm::raiseGroup(std::size_t at)
{
    // Largest first: a group that grew moves up past the smaller ones.
    while (at > 0 && groups_[at - 1]->members.size() < groups_[at]->members.size()) {
        const int from = underWay_ + int(at);
        QTreeWidgetItem* item = ResultTree->takeTopLevelItem(from);
        ResultTree->insertTopLevelItem(from - 1, item);
        std::swap(groups_[at - 1], groups_[at]);
        --at;
    }
}

void TRunSitesForm::showState()
{
    if (!batch_)
        return;
    const std::vector<SiteOutcome>& outcomes = batch_->outcomes();
    const std::string recap = BatchFold::recapLine(BatchFold::recap(outcomes));
    const QString shown = Latin1ToQString(MaskedLine(batch_->plan().sent(batch_->plan().lines.front())));
    const QString what =
        batch_->plan().lines.size() == 1 ? shown : QStringLiteral("%1 lines").arg(batch_->plan().lines.size());
    const QString sites =
        outcomes.size() == 1 ? QStringLiteral("1 site") : QStringLiteral("%1 sites").arg(outcomes.size());
    if (watch_) {
        const QString round = QStringLiteral("round %1 at %2")
                                  .arg(watch_->round())
                                  .arg(watch_->roundTime().toString(QStringLiteral("HH:mm:ss")));
        if (watch_->stopping())
            RunState->setText(QStringLiteral("Ending the watch: logging out of %1...").arg(sites));
        else if (watch_->watching())
            RunState->setText(QStringLiteral("Watching %1 on %2 every %3 s: %4, %5")
                                  .arg(what, sites)
                                  .arg(watch_->seconds())
                                  .arg(round, QString::fromStdString(recap)));
        else
            RunState->setText(QStringLiteral("The watch ended after %1: %2")
                                  .arg(plural(watch_->round(), "round", "rounds"), QString::fromStdString(recap)));
        return;
    }
    if (batch_->running())
        RunState->setText(QStringLiteral("Running %1 on %2... %3").arg(what, sites, QString::fromStdString(recap)));
    else
        RunState->setText(
            QString::fromStdString(recap) +
            (batch_->stopReason().empty() ? QString() : QStringLiteral(". ") + fromUtf8(batch_->stopReason())));
}

void TRunSitesForm::batchFinished()
{
    fileEnded();
    bbRun->setEnabled(true);
    bbPreview->setEnabled(true);
    bbCancelRun->setEnabled(false);
    for (QPushButton* b : {bbRunFailed, bbDifferences, bbCopyResults, bbSaveResults})
        b->setEnabled(true);
    showState();
    widen_->stop();
    for (int c = 1; c < 3; ++c)
        ResultTree->resizeColumnToContents(c);
}

void TRunSitesForm::ResultTreeChange()
{
    QTreeWidgetItem* item = ResultTree->currentItem();
    if (!item || !batch_) {
        ResultMemo->clear();
        return;
    }
    const std::vector<SiteOutcome>& outcomes = batch_->outcomes();
    const bool script = batch_->plan().lines.size() != 1;
    QStringList text;
    std::size_t index = 0;
    if (const QVariant group = item->data(0, GroupRole); group.isValid()) {
        const auto* g = reinterpret_cast<const Group*>(group.value<quintptr>());
        ReplyGroup folded{g->members, g->outcome, {}};
        text << QString::fromStdString(BatchReport::groupHeader(outcomes, folded)) << QString();
        index = g->members.front();
    } else if (const QVariant site = item->data(0, IndexRole); site.isValid()) {
        index = std::size_t(site.toInt());
    } else {
        ResultMemo->clear();
        return;
    }
    const SiteOutcome& o = outcomes[index];
    if (watch_) {
        // While a round is under way at the site, the box keeps what the round before showed.
        if (!o.ended() && memoSite_ == int(index))
            return;
        const int scrolled = memoSite_ == int(index) ? ResultMemo->verticalScrollBar()->value() : 0;
        memoSite_ = int(index);
        showChanges(index, text, scrolled);
        return;
    }
    ResultMemo->setExtraSelections({});
    for (const std::string& line : BatchFold::transcript(o, script))
        text << ShownLine(line);
    if (o.ended())
        if (const std::string next = failureAdvice(o.outcome, o.failure.kind); !next.empty())
            text << fromUtf8(next);
    if (!o.note.empty())
        text << fromUtf8(o.note);
    ResultMemo->setPlainText(text.join(QLatin1Char('\n')));
}

void TRunSitesForm::showChanges(std::size_t index, const QStringList& head, int scrolled)
{
    // A watch shows the site's text with every line that came or went since the round before marked, where it
    // stood; the box stays where the operator had scrolled it from one round to the next.
    const SiteOutcome& o = batch_->outcomes()[index];
    QStringList text = head;
    std::vector<std::pair<int, LineChange::Mark>> marked; // the box's line and its mark
    const bool first = watch_->firstSight(index);
    for (const LineChange& change : watch_->changes(index)) {
        const LineChange::Mark mark = first ? LineChange::Mark::Same : change.mark;
        if (mark != LineChange::Mark::Same)
            marked.emplace_back(int(text.size()), mark);
        text << markText(mark) + ShownLine(change.line);
    }
    if (o.ended())
        if (const std::string next = failureAdvice(o.outcome, o.failure.kind); !next.empty())
            text << fromUtf8(next);
    if (!o.note.empty())
        text << fromUtf8(o.note);
    ResultMemo->setPlainText(text.join(QLatin1Char('\n')));
    QList<QTextEdit::ExtraSelection> shades;
    for (const auto& [line, mark] : marked) {
        QTextEdit::ExtraSelection shade;
        shade.cursor = QTextCursor(ResultMemo->document()->findBlockByNumber(line));
        shade.format.setBackground(markColour(mark));
        shade.format.setProperty(QTextFormat::FullWidthSelection, true);
        shades << shade;
    }
    ResultMemo->setExtraSelections(shades);
    ResultMemo->verticalScrollBar()->setValue(scrolled);
}

void TRunSitesForm::bbDifferencesClick()
{
    if (batch_)
        ResultMemo->setPlainText(QString::fromStdString(BatchReport::differences(batch_->outcomes())));
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
    const std::string text =
        path.endsWith(QStringLiteral(".json"), Qt::CaseInsensitive)
            ? BatchReport::jsonLines(batch_->outcomes()) + BatchReport::jsonRecap(batch_->outcomes())
            : BatchReport::csv(batch_->outcomes());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(text.data(), qint64(text.size())) != qint64(text.size()) || !file.flush())
        throw Exception("The results cannot be written to " + path.toStdString() + ": " +
                        file.errorString().toStdString());
}

void TRunSitesForm::closeEvent(QCloseEvent* event)
{
    // Closing stops what still runs, a watch with its log-outs; the results stay for the next time the window
    // opens.
    if (watch_ && watch_->watching())
        watch_->stop(2000);
    else if (batch_)
        batch_->cancel();
    QDialog::closeEvent(event);
}
