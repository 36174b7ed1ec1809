#include "shell/AcrossForm.h"

#include "gui/Guard.h"
#include "gui/Look.h"
#include "gui/Prompts.h"
#include "gui/WidgetKit.h"
#include "platform/OemText.h"
#include "platform/SettingsLayout.h"
#include "platform/SettingsStore.h"
#include "session/BatchReport.h"
#include "shell/ReplyText.h"
#include "sitebook/Keyring.h"
#include "sitebook/SiteBook.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QColor>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QTabWidget>
#include <QTableWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>

namespace {

constexpr qsizetype NamesShown = 20;              // the chosen sites named before "and N more"
const QString DiffersMark = QStringLiteral("≠ "); // before a line that differs from the most common reply
const QString SameMark = QStringLiteral("  ");
const QColor DiffersColour(255, 226, 160); // beside the mark, never instead of it

QString sitesText(const QStringList& names)
{
    if (names.isEmpty())
        return QStringLiteral("No site is chosen.");
    QString text = names.size() == 1 ? QStringLiteral("1 site: ") : QStringLiteral("%1 sites: ").arg(names.size());
    text += QStringList(names.mid(0, NamesShown)).join(QStringLiteral(", "));
    if (names.size() > NamesShown)
        text += QStringLiteral(" and %1 more").arg(names.size() - NamesShown);
    return text;
}

QTableWidgetItem* cell(const QString& text, const QString& tip = QString())
{
    auto* item = new QTableWidgetItem(text);
    if (!tip.isEmpty())
        item->setToolTip(tip);
    return item;
}

} // namespace

TAcrossForm::TAcrossForm(std::function<TSettingsStore&()> store, const TDiamond& cipher, QWidget* parent)
    : QDialog(parent), store_(std::move(store)), cipher_(cipher)
{
    setObjectName(QStringLiteral("AcrossForm"));
    setWindowTitle(QStringLiteral("USERS ACROSS SiTES"));
    setModal(false);
    resize(1100, 720);
    buildControls();
    connectHandlers();
    AcrossChangeChange();
}

TAcrossForm::~TAcrossForm() = default;

QStringList TAcrossForm::chosenSites() const
{
    const QString folder = AcrossFolder->currentData().toString();
    const QString filter = AcrossSiteFilter->text().trimmed();
    QStringList chosen;
    for (const Site& site : sites_)
        if ((folder.isEmpty() || SiteBook::inFolder(site.folder.toStdString(), folder)) &&
            (filter.isEmpty() || site.name.contains(filter, Qt::CaseInsensitive) ||
             site.host.contains(filter, Qt::CaseInsensitive)))
            chosen << site.name;
    return chosen;
}

void TAcrossForm::AcrossSitesChange()
{
    AcrossChosen->setText(sitesText(chosenSites()));
}

std::vector<BatchSite> TAcrossForm::readSites(const std::vector<std::string>& keys)
{
    TSettingsStore& store = store_();
    std::vector<BatchSite> sites;
    auto readAll = [&] {
        for (const std::string& key : keys)
            sites.push_back({key, SiteBook::read(store, cipher_, key)});
    };
    // Under one lock of the store, unless a question (the master password) or the secret store could hold it.
    if (store.readOnly() || Keyring::reachable() || SiteBook::hasMasterPassword(store))
        readAll();
    else
        store.transaction(readAll);
    return sites;
}

void TAcrossForm::start(Job job, const std::vector<std::string>& keys, BatchPlan plan)
{
    std::vector<BatchSite> sites = readSites(keys);
    const std::unique_ptr<TSiteBatch> done = std::move(batch_);
    batch_ = std::make_unique<TSiteBatch>(std::move(sites), std::move(plan), SettingsLayout::readRunJobs(store_()));
    job_ = job;
    TSiteBatch* batch = batch_.get();
    connect(batch, &TSiteBatch::siteChanged, this, [this, batch](int index) {
        if (batch == batch_.get() && job_ == Job::Change)
            Guarded([this, index] { fillResult(index); });
    });
    // Told after start() has returned, even for a batch that had nothing to run.
    connect(
        batch, &TSiteBatch::finished, this,
        [this, batch] {
            if (batch == batch_.get())
                Guarded([this] { batchFinished(); });
        },
        Qt::QueuedConnection);
    batch_->start();
    showRunning();
}

void TAcrossForm::showRunning()
{
    const bool busy = running();
    for (QPushButton* b : {bbGather, bbSideBySide, bbPreviewChange})
        b->setEnabled(!busy);
    bbCancelAcross->setEnabled(busy);
    bbSendChange->setEnabled(
        !busy && pending_ &&
        (pending_->change != Across::Change::Delete || AcrossConfirmName->text() == pending_->user));
    bbCancelChange->setEnabled(!busy && pending_.has_value());
    const std::size_t count = batch_ ? batch_->sites().size() : 0;
    const QString sites = count == 1 ? QStringLiteral("1 site") : QStringLiteral("%1 sites").arg(count);
    if (!busy)
        return;
    if (job_ == Job::Gather)
        GatherState->setText(QStringLiteral("Gathering the users and groups of %1...").arg(sites));
    else if (job_ == Job::Look)
        RepliesState->setText(QStringLiteral("Asking %1 for the user...").arg(sites));
    else
        AcrossState->setText(QStringLiteral("Sending the change to %1...").arg(sites));
}

void TAcrossForm::bbGatherClick()
{
    if (running())
        return;
    const QStringList chosen = chosenSites();
    if (chosen.isEmpty()) {
        Prompts().Notice(QStringLiteral("Choose the sites to gather first: every site, a folder, or a filter."));
        return;
    }
    std::vector<std::string> keys;
    for (const QString& name : chosen)
        keys.push_back(SiteBook::keyName(name));
    BatchPlan plan;
    plan.lines = {"USERS", "GROUPS"};
    plan.keepGoing = true; // the groups are worth having when the users were refused
    start(Job::Gather, keys, std::move(plan));
}

void TAcrossForm::bbCancelAcrossClick()
{
    if (batch_)
        batch_->cancel();
}

void TAcrossForm::batchFinished()
{
    const Job job = job_;
    if (job == Job::Gather)
        gathered();
    else if (job == Job::Look)
        looked();
    showRunning();
    if (job != Job::Change)
        return;
    // The change is in: the recap, then the lists as they are now.
    for (int i = 0; i < int(changed_.size()); ++i)
        fillResult(i);
    const std::vector<SiteOutcome>& outcomes = changed_;
    AcrossState->setText(QStringLiteral("%1 for %2: %3")
                             .arg(Across::changeName(*ran_), ranUser_,
                                  QString::fromStdString(BatchFold::recapLine(BatchFold::recap(outcomes)))));
    for (int c = 1; c < 3; ++c)
        AcrossResults->resizeColumnToContents(c);
    if (!gathered_.empty()) {
        BatchPlan plan;
        plan.lines = {"USERS", "GROUPS"};
        plan.keepGoing = true;
        start(Job::Gather, gathered_, std::move(plan));
    }
}

void TAcrossForm::gathered()
{
    const std::vector<SiteOutcome>& outcomes = batch_->outcomes();
    gathered_.clear();
    gatherFailures_.clear();
    std::vector<std::optional<QStringList>> users, groups;
    std::size_t failed = 0;
    for (const SiteOutcome& o : outcomes) {
        gathered_.push_back(o.site);
        // A list that did not come says nothing of who is there: its column is unknown, never missing.
        const auto listOf = [&](std::size_t line, auto read) -> std::optional<QStringList> {
            if (o.replies.size() <= line || !o.replies[line].ok())
                return std::nullopt;
            return read(o.replies[line].lines);
        };
        users.push_back(listOf(0, Across::usersOf));
        groups.push_back(listOf(1, Across::groupsOf));
        QString why;
        if (!users.back() || !groups.back())
            why = BatchReport::summary(o);
        failed += !why.isEmpty();
        gatherFailures_.push_back(why);
    }
    users_ = Across::matrix(users);
    groups_ = Across::matrix(groups);
    fillMatrix(UserMatrix, users_);
    fillMatrix(GroupMatrix, groups_);
    const QString typed = AcrossGroup->currentText();
    {
        const QSignalBlocker quiet(AcrossGroup);
        AcrossGroup->clear();
        AcrossGroup->addItems(groups_.names);
        AcrossGroup->setEditText(typed);
    }
    QString state =
        QStringLiteral("%1 users and %2 groups on %3")
            .arg(users_.names.size())
            .arg(groups_.names.size())
            .arg(outcomes.size() == 1 ? QStringLiteral("1 site") : QStringLiteral("%1 sites").arg(outcomes.size()));
    if (failed)
        state += QStringLiteral("; %1 could not be read (unknown in the matrix): %2")
                     .arg(failed)
                     .arg(QString::fromStdString(BatchFold::recapLine(BatchFold::recap(outcomes))));
    GatherState->setText(state + QLatin1Char('.'));
    pickUser(AcrossUser->text());
}

void TAcrossForm::fillMatrix(QTableWidget* table, const Across::Matrix& matrix)
{
    filling_ = true;
    table->clearContents();
    table->setColumnCount(int(gathered_.size()) + 2);
    table->setRowCount(int(matrix.names.size()));
    QStringList header{QStringLiteral("NAME"), QStringLiteral("ON")};
    for (std::size_t s = 0; s < gathered_.size(); ++s)
        header << BatchReport::siteText(gathered_[s]);
    table->setHorizontalHeaderLabels(header);
    for (std::size_t s = 0; s < gathered_.size(); ++s)
        if (!gatherFailures_[s].isEmpty())
            table->horizontalHeaderItem(int(s) + 2)->setToolTip(QStringLiteral("Not read: ") + gatherFailures_[s]);
    for (std::size_t r = 0; r < matrix.cells.size(); ++r) {
        const std::vector<Across::Presence>& row = matrix.cells[r];
        table->setItem(int(r), 0, cell(matrix.names[int(r)]));
        const auto present = std::count(row.begin(), row.end(), Across::Presence::Present);
        const auto known = row.size() - std::size_t(std::count(row.begin(), row.end(), Across::Presence::Unknown));
        table->setItem(int(r), 1, cell(QStringLiteral("%1 of %2").arg(present).arg(known)));
        for (std::size_t s = 0; s < row.size(); ++s) {
            const QString word = Across::presenceWord(row[s]);
            QTableWidgetItem* item = cell(
                word,
                QStringLiteral("%1 on %2: %3").arg(matrix.names[int(r)], BatchReport::siteText(gathered_[s]), word));
            if (row[s] == Across::Presence::Missing)
                item->setBackground(DiffersColour);
            table->setItem(int(r), int(s) + 2, item);
        }
    }
    table->resizeColumnsToContents();
    filling_ = false;
    AcrossNameFilterChange();
}

void TAcrossForm::AcrossNameFilterChange()
{
    const QString filter = AcrossNameFilter->text().trimmed();
    for (QTableWidget* table : {UserMatrix, GroupMatrix})
        for (int r = 0; r < table->rowCount(); ++r)
            table->setRowHidden(r,
                                !filter.isEmpty() && !table->item(r, 0)->text().contains(filter, Qt::CaseInsensitive));
}

void TAcrossForm::pickUser(const QString& user)
{
    filling_ = true;
    UserMatrix->clearSelection();
    for (int r = 0; r < UserMatrix->rowCount(); ++r)
        if (UserMatrix->item(r, 0)->text() == user)
            UserMatrix->selectRow(r);
    filling_ = false;
}

void TAcrossForm::UserMatrixChange()
{
    if (filling_)
        return;
    const QList<QTableWidgetItem*> picked = UserMatrix->selectedItems();
    if (picked.isEmpty())
        return;
    const QString user = UserMatrix->item(picked.front()->row(), 0)->text();
    if (user == AcrossUser->text() && UserReplies->columnCount() > 0)
        return;
    AcrossUser->setText(user);
    dropPreview();
    if (!running())
        bbSideBySideClick();
}

void TAcrossForm::bbSideBySideClick()
{
    if (running())
        return;
    const QString user = AcrossUser->text();
    if (user.isEmpty()) {
        Prompts().Notice(QStringLiteral("Pick a user in the matrix, or type one, first."));
        return;
    }
    if (gathered_.empty()) {
        Prompts().Notice(QStringLiteral("GATHER the sites first: the user is looked for on the sites gathered."));
        return;
    }
    start(Job::Look, gathered_, BatchPlan::command("USER " + QStringToLatin1(user)));
}

void TAcrossForm::looked()
{
    const std::vector<SiteOutcome>& outcomes = batch_->outcomes();
    // Only the daemons' own answers are compared: a site that could not be asked shows why in its column, and is
    // neither the most common reply nor a reply that differs from it.
    std::vector<QStringList> replies, answers;
    std::vector<std::size_t> answered;
    for (std::size_t s = 0; s < outcomes.size(); ++s) {
        QStringList lines;
        for (const std::string& line : BatchFold::transcript(outcomes[s], false))
            lines << ShownLine(line);
        if (outcomes[s].step == SiteOutcome::Step::Done) {
            answered.push_back(s);
            answers.push_back(lines);
        }
        replies.push_back(std::move(lines));
    }
    const std::vector<Across::SideReply> compared = Across::sideBySide(answers);
    std::vector<Across::SideReply> sides(outcomes.size());
    std::vector<bool> asked(outcomes.size(), false);
    for (std::size_t a = 0; a < answered.size(); ++a) {
        sides[answered[a]] = compared[a];
        asked[answered[a]] = true;
    }
    for (std::size_t s = 0; s < outcomes.size(); ++s)
        if (!asked[s]) {
            sides[s].lines = replies[s];
            sides[s].differs.assign(std::size_t(replies[s].size()), false);
        }
    UserReplies->clear();
    UserReplies->setColumnCount(0); // the columns moved last time go with it
    UserReplies->setColumnCount(int(sides.size()));
    int rows = 0;
    for (const Across::SideReply& side : sides)
        rows = std::max(rows, int(side.lines.size()));
    UserReplies->setRowCount(rows);
    QStringList header, common, other, unasked;
    for (std::size_t s = 0; s < sides.size(); ++s) {
        const QString site = BatchReport::siteText(outcomes[s].site);
        header << site;
        (!asked[s] ? unasked : sides[s].common ? common : other) << site;
        for (qsizetype l = 0; l < sides[s].lines.size(); ++l) {
            const QString& line = sides[s].lines[l];
            const bool differs = sides[s].differs[std::size_t(l)];
            QTableWidgetItem* item = cell((differs ? DiffersMark : SameMark) + line);
            if (differs) {
                // The mark says it to every reader; the colour only helps the eye find it.
                item->setBackground(DiffersColour);
                item->setToolTip(QStringLiteral("Differs from the most common reply"));
                item->setData(Qt::AccessibleTextRole, QStringLiteral("differs: ") + line);
            }
            UserReplies->setItem(int(l), int(s), item);
        }
    }
    UserReplies->setHorizontalHeaderLabels(header);
    UserReplies->resizeColumnsToContents();
    // The daemons' answers stand first, where they are read side by side; a site not asked stands after them with
    // why, its long failure line never pushing the answers out of sight.
    QHeaderView* columns = UserReplies->horizontalHeader();
    for (std::size_t s = 0; s < sides.size(); ++s)
        if (!asked[s])
            columns->moveSection(columns->visualIndex(int(s)), int(sides.size()) - 1);
    QString state =
        common.isEmpty() ? QStringLiteral("No site answered.")
        : other.isEmpty()
            ? QStringLiteral("The reply for %1 is the same on every site that answered.").arg(AcrossUser->text())
            : QStringLiteral("The most common reply comes from %1; the lines marked ≠ on %2 differ from it.")
                  .arg(common.join(QStringLiteral(", ")), other.join(QStringLiteral(", ")));
    if (!unasked.isEmpty())
        state += QStringLiteral(" Not asked: %1 (why is in its column).").arg(unasked.join(QStringLiteral(", ")));
    RepliesState->setText(state);
}

void TAcrossForm::AcrossChangeChange()
{
    const auto change = Across::Change(AcrossChange->currentData().toInt());
    const bool mask = change == Across::Change::AddMask || change == Across::Change::RemoveMask;
    const bool password = change == Across::Change::Password || change == Across::Change::AddWhereMissing;
    const bool group = change == Across::Change::Group || change == Across::Change::AddWhereMissing;
    const bool amount = change == Across::Change::Give || change == Across::Change::Take;
    const auto show = [](QWidget* box, bool on) {
        box->setVisible(on);
        for (QLabel* label : box->parentWidget()->findChildren<QLabel*>())
            if (label->buddy() == box)
                label->setVisible(on);
    };
    show(AcrossMask, mask);
    show(AcrossPassword, password);
    show(AcrossGroup, group);
    show(AcrossAmount, amount);
    for (QCheckBox* box : AcrossFlags)
        box->setVisible(change == Across::Change::Flags);
    dropPreview();
}

Across::ChangeInput TAcrossForm::changeInput() const
{
    Across::ChangeInput input{AcrossUser->text(),         AcrossMask->text(),   AcrossPassword->text(),
                              AcrossGroup->currentText(), AcrossAmount->text(), {}};
    for (const QCheckBox* box : AcrossFlags)
        input.flags.push_back(box->isChecked());
    return input;
}

void TAcrossForm::bbPreviewChangeClick()
{
    if (running())
        return;
    dropPreview();
    const auto change = Across::Change(AcrossChange->currentData().toInt());
    const QString user = AcrossUser->text();
    const std::vector<std::string> lines = Across::changeLines(change, changeInput());
    if (gathered_.empty()) {
        Prompts().Notice(QStringLiteral("GATHER the sites first: a change goes to the sites where the user is, or, "
                                        "to add it, where it is missing."));
        return;
    }
    // The sites the change goes to, and why the others are left out.
    const qsizetype row = users_.names.indexOf(user);
    const Across::Presence wanted = Across::forMissing(change) ? Across::Presence::Missing : Across::Presence::Present;
    std::vector<std::string> to;
    QStringList leftOut;
    for (std::size_t s = 0; s < gathered_.size(); ++s) {
        const QString site = BatchReport::siteText(gathered_[s]);
        const Across::Presence there = !gatherFailures_[s].isEmpty() ? Across::Presence::Unknown
                                       : row < 0                     ? Across::Presence::Missing
                                                                     : users_.cells[std::size_t(row)][s];
        if (there == wanted)
            to.push_back(gathered_[s]);
        else if (there == Across::Presence::Unknown)
            leftOut << QStringLiteral("%1: its users could not be read").arg(site);
        else
            leftOut << QStringLiteral("%1: %2 is %3 there").arg(site, user, Across::presenceWord(there));
    }
    if (to.empty()) {
        Prompts().Notice(QStringLiteral("%1 goes to no site: %2.")
                             .arg(Across::changeName(change), leftOut.join(QStringLiteral("; "))));
        return;
    }
    BatchPlan plan = Across::changePlan(change, user, lines);
    QString text = QString::fromStdString(BatchReport::dryRun(readSites(to), plan));
    if (!leftOut.isEmpty())
        text += QStringLiteral("\nLeft out:\n") + leftOut.join(QLatin1Char('\n')) + QLatin1Char('\n');
    AcrossPreview->setPlainText(text);
    pending_ = Pending{change, user, std::move(plan), std::move(to)};
    const bool deleting = change == Across::Change::Delete;
    AcrossConfirmName->clear();
    AcrossConfirmName->setEnabled(deleting);
    AcrossState->setText(deleting ? QStringLiteral("Type %1 to delete the user from these sites, then SEND; nothing is "
                                                   "sent before.")
                                        .arg(user)
                                  : QStringLiteral("The lines each site would be sent; SEND sends them, CANCEL "
                                                   "drops them. Nothing was sent."));
    showRunning();
}

void TAcrossForm::AcrossConfirmNameChange()
{
    showRunning();
}

void TAcrossForm::bbSendChangeClick()
{
    if (running() || !pending_)
        return;
    if (pending_->change == Across::Change::Delete && AcrossConfirmName->text() != pending_->user)
        return;
    Pending sent = std::move(*pending_);
    pending_.reset();
    ran_ = sent.change;
    ranUser_ = sent.user;
    AcrossConfirmName->clear();
    AcrossConfirmName->setEnabled(false);
    AcrossResults->clear();
    start(Job::Change, sent.sites, std::move(sent.plan));
    changed_ = batch_->outcomes();
    for (std::size_t i = 0; i < changed_.size(); ++i) {
        auto* row = new QTreeWidgetItem(AcrossResults);
        row->setData(0, Qt::UserRole, int(i));
        fillResult(int(i));
    }
}

void TAcrossForm::fillResult(int index)
{
    if (!batch_ || job_ != Job::Change || index >= AcrossResults->topLevelItemCount())
        return;
    // Kept apart from the batch, which the gathering after the change takes the place of.
    changed_[std::size_t(index)] = batch_->outcomes()[std::size_t(index)];
    const SiteOutcome& o = changed_[std::size_t(index)];
    QTreeWidgetItem* row = AcrossResults->topLevelItem(index);
    row->setText(0, BatchReport::siteText(o.site));
    row->setText(1, QString::fromLatin1(o.ended() ? outcomeWord(o.outcome) : stepWord(o.step)));
    row->setText(2, o.ended() && o.outcome != Outcome::NotRun
                        ? QString::number(double(o.ms) / 1000.0, 'f', 2) + QStringLiteral(" s")
                        : QString());
    row->setText(3, Across::changeSummary(o, *ran_));
    if (row->isSelected())
        AcrossResultsChange();
}

void TAcrossForm::bbCancelChangeClick()
{
    const bool had = pending_.has_value();
    dropPreview();
    if (had)
        AcrossState->setText(QStringLiteral("The change was dropped; nothing was sent."));
}

void TAcrossForm::dropPreview()
{
    if (!pending_)
        return;
    pending_.reset();
    AcrossPreview->clear();
    AcrossConfirmName->clear();
    AcrossConfirmName->setEnabled(false);
    showRunning();
}

void TAcrossForm::AcrossResultsChange()
{
    const QList<QTreeWidgetItem*> picked = AcrossResults->selectedItems();
    if (picked.isEmpty() || pending_)
        return;
    const std::size_t index = std::size_t(picked.front()->data(0, Qt::UserRole).toInt());
    if (index >= changed_.size())
        return;
    const SiteOutcome& o = changed_[index];
    QStringList text;
    for (const std::string& line : BatchFold::transcript(o, true))
        text << ShownLine(line);
    AcrossPreview->setPlainText(text.join(QLatin1Char('\n')));
}
