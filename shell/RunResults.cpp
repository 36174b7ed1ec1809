// The Run on Sites window's results: a row per site as it goes, the rows of sites that ended alike folded under a
// head, the reply box of the row chosen (with a watch's changes marked), the differences, copying and saving.

#include "shell/RunSites.h"

#include "platform/Exceptions.h"
#include "platform/OemText.h"
#include "platform/PasswordMask.h"
#include "session/BatchReport.h"
#include "session/BatchWatch.h"
#include "shell/ReplyText.h"

#include <QClipboard>
#include <QCloseEvent>
#include <QFile>
#include <QFileDialog>
#include <QGuiApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QTextBlock>
#include <QTextDocument>
#include <QTreeWidget>

#include <algorithm>

namespace {

QString seconds(qint64 ms)
{
    return QString::number(double(ms) / 1000.0, 'f', 2) + QStringLiteral(" s");
}

constexpr int IndexRole = Qt::UserRole + 1; // a result row: the index of its site's outcome
constexpr int GroupRole = Qt::UserRole + 2; // a group's head: the group it heads
constexpr std::size_t HeadNames = 10;       // the names a group's head shows before "..."

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
    // The rows go quietly: the selection they leave names sites of the run before, which the new run may not have.
    {
        const QSignalBlocker quiet(ResultTree);
        ResultTree->clear();
    }
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
        RunState->setText(QString::fromStdString(recap) +
                          (batch_->stopReason().empty()
                               ? QString()
                               : QStringLiteral(". ") + QString::fromStdString(batch_->stopReason())));
}

void TRunSitesForm::batchFinished()
{
    fileEnded();
    bbRun->setEnabled(true);
    bbPreview->setEnabled(true);
    bbCancelRun->setEnabled(false);
    // RUN AGAiN ON FAiLED once a site did not end ok, DiFFERENCES once the replies fell into more than one group.
    const std::vector<SiteOutcome>& outcomes = batch_->outcomes();
    bbRunFailed->setEnabled(
        std::any_of(outcomes.begin(), outcomes.end(), [](const SiteOutcome& o) { return !o.ok(); }));
    bbDifferences->setEnabled(
        std::count_if(groups_.begin(), groups_.end(), [](const auto& g) { return !g->members.empty(); }) > 1);
    bbCopyResults->setEnabled(true);
    bbSaveResults->setEnabled(true);
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
    if (!o.note.empty())
        text << QString::fromStdString(o.note);
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
    if (!o.note.empty())
        text << QString::fromStdString(o.note);
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
