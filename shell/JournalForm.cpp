#include "shell/JournalForm.h"

#include "gui/Guard.h"
#include "gui/WidgetKit.h"
#include "platform/Exceptions.h"
#include "session/BatchReport.h"

#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QShowEvent>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

enum Column {
    TimeColumn,
    SiteColumn,
    HostColumn,
    AccountColumn,
    ProgramColumn,
    LineColumn,
    CodeColumn,
    ReplyColumn,
    OutcomeColumn,
    ColumnCount
};

constexpr int RecordRole = Qt::UserRole;   // the first cell of a row: the index of its entry
constexpr int SortRole = Qt::UserRole + 1; // what a cell sorts by, where it is not its text

// A cell that sorts by its sort key where it has one (a time, with the order its entries were written in), else by
// its text.
class Cell : public QTableWidgetItem {
public:
    explicit Cell(const QString& text) : QTableWidgetItem(text) { setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable); }
    bool operator<(const QTableWidgetItem& other) const override
    {
        const QVariant mine = data(SortRole);
        const QVariant theirs = other.data(SortRole);
        if (mine.isValid() && theirs.isValid())
            return mine.toString() < theirs.toString();
        return QTableWidgetItem::operator<(other);
    }
};

// A name or a daemon's text as the window shows it: every control character a visible escape, as kolvane-journal
// prints it.
QString shown(const QString& text)
{
    return QString::fromStdString(BatchReport::printableText(text));
}

QPushButton* makeButton(QWidget* parent, const char* name, const QString& caption, const QString& tip)
{
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(QLatin1String(name));
    button->setToolTip(tip);
    button->setAutoDefault(false);
    return button;
}

QComboBox* pickOrType(QWidget* parent, const char* name, const QString& placeholder)
{
    auto* box = new QComboBox(parent);
    box->setObjectName(QLatin1String(name));
    box->setEditable(true);
    box->setInsertPolicy(QComboBox::NoInsert);
    box->lineEdit()->setPlaceholderText(placeholder);
    box->lineEdit()->setClearButtonEnabled(true);
    box->setMinimumContentsLength(12);
    return box;
}

QLineEdit* filterEdit(QWidget* parent, const char* name, const QString& placeholder)
{
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QLatin1String(name));
    edit->setPlaceholderText(placeholder);
    edit->setClearButtonEnabled(true);
    return edit;
}

// Fills a pick list anew, keeping what is typed in it.
void refill(QComboBox* box, const QStringList& names)
{
    const QString typed = box->currentText();
    const QSignalBlocker quiet(box);
    box->clear();
    box->addItems(names);
    box->setCurrentIndex(-1);
    box->setEditText(typed);
}

// The whole entry as its window shows it, the diff of the user's replies last.
QString entryText(const JournalRecord& r)
{
    QStringList text{
        QStringLiteral("TiME      ") + r.time,
        QStringLiteral("SiTE      %1 (%2:%3)").arg(shown(r.site), shown(r.host)).arg(r.port),
        QStringLiteral("ACCOUNT   ") + shown(r.account),
        QStringLiteral("PROGRAM   ") + shown(r.program),
        QStringLiteral("LiNE      ") + shown(r.line),
        QStringLiteral("REPLY     ") + shown(r.reply),
        QStringLiteral("OUTCOME   ") + QLatin1String(outcomeWord(r.outcome)),
    };
    if (!r.before.isEmpty() || !r.after.isEmpty()) {
        text << QString() << QStringLiteral("SITE USER %1 before (-) and after (+) the change:").arg(shown(r.user));
        for (const QString& line : journalDiff(r.before, r.after))
            text << shown(line);
    }
    return text.join(QLatin1Char('\n'));
}

} // namespace

TJournalForm::TJournalForm(const QString& journalPath, QWidget* parent) : QDialog(parent), journal_(journalPath)
{
    setObjectName(QStringLiteral("JournalForm"));
    setWindowTitle(QStringLiteral("CHANGE JOURNAL"));
    setModal(false);
    resize(980, 560);

    SiteFilter = pickOrType(this, "SiteFilter", QStringLiteral("every site"));
    SiteFilter->setToolTip(QStringLiteral("Only the entries of this site"));
    UserFilter = pickOrType(this, "UserFilter", QStringLiteral("every user"));
    UserFilter->setToolTip(QStringLiteral("Only the lines that name this user"));
    TextFilter = filterEdit(this, "TextFilter", QStringLiteral("any text"));
    TextFilter->setToolTip(QStringLiteral("Only the entries that hold this text, whatever its case"));
    SinceFilter = filterEdit(this, "SinceFilter", QStringLiteral("2026-03-01 or 2026-03-01 12:00"));
    SinceFilter->setToolTip(QStringLiteral("Only the entries at or after this time (UTC unless it ends in an "
                                           "offset such as +02:00)"));
    UntilFilter = filterEdit(this, "UntilFilter", QStringLiteral("2026-03-31"));
    UntilFilter->setToolTip(QStringLiteral("Only the entries at or before this time (a date alone takes the whole "
                                           "day)"));
    bbRefresh = makeButton(this, "bbRefresh", QStringLiteral("REFRESH"),
                           QStringLiteral("Read the journal again, with the entries written since"));

    JournalTable = new QTableWidget(0, ColumnCount, this);
    JournalTable->setObjectName(QStringLiteral("JournalTable"));
    JournalTable->setHorizontalHeaderLabels({QStringLiteral("TiME (UTC)"), QStringLiteral("SiTE"),
                                             QStringLiteral("HOST"), QStringLiteral("ACCOUNT"),
                                             QStringLiteral("PROGRAM"), QStringLiteral("LiNE"), QStringLiteral("CODE"),
                                             QStringLiteral("REPLY"), QStringLiteral("OUTCOME")});
    JournalTable->setAccessibleName(QStringLiteral("Journal entries"));
    JournalTable->setToolTip(QStringLiteral("Double-click an entry to see it whole"));
    JournalTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    JournalTable->setSelectionMode(QAbstractItemView::SingleSelection);
    JournalTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    JournalTable->verticalHeader()->hide();
    JournalTable->horizontalHeader()->setStretchLastSection(true);
    JournalTable->setSortingEnabled(true);
    JournalTable->sortByColumn(TimeColumn, Qt::DescendingOrder);
    JournalState = new QLabel(this);
    JournalState->setObjectName(QStringLiteral("JournalState"));
    bbExport = makeButton(this, "bbExport", QStringLiteral("EXPORT..."),
                          QStringLiteral("Save the entries the table shows as CSV or JSON lines"));

    auto* filters = new QGridLayout;
    const auto add = [&](int row, int column, const QString& caption, QWidget* box) {
        auto* label = new QLabel(caption, this);
        label->setBuddy(box);
        filters->addWidget(label, row, column * 2);
        filters->addWidget(box, row, column * 2 + 1);
    };
    add(0, 0, QStringLiteral("SiTE"), SiteFilter);
    add(0, 1, QStringLiteral("USER"), UserFilter);
    add(0, 2, QStringLiteral("TEXT"), TextFilter);
    add(1, 0, QStringLiteral("SiNCE"), SinceFilter);
    add(1, 1, QStringLiteral("UNTiL"), UntilFilter);
    filters->addWidget(bbRefresh, 1, 5);
    for (int column : {1, 3, 5})
        filters->setColumnStretch(column, 1);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(JournalState, 1);
    bottom->addWidget(bbExport);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(filters);
    layout->addWidget(JournalTable, 1);
    layout->addLayout(bottom);
    WidgetKit::tabChain(
        {SiteFilter, UserFilter, TextFilter, SinceFilter, UntilFilter, bbRefresh, JournalTable, bbExport});
    WidgetKit::nameControls(this);

    typing_.setSingleShot(true);
    typing_.setInterval(250);
    connect(&typing_, &QTimer::timeout, this, [this] { Guarded([this] { FilterChange(); }); });
    for (QComboBox* box : {SiteFilter, UserFilter})
        connect(box, &QComboBox::currentTextChanged, this, [this] { typing_.start(); });
    for (QLineEdit* edit : {TextFilter, SinceFilter, UntilFilter})
        connect(edit, &QLineEdit::textChanged, this, [this] { typing_.start(); });
    connectGuarded(bbRefresh, &QPushButton::clicked, this, &TJournalForm::bbRefreshClick);
    connectGuarded(bbExport, &QPushButton::clicked, this, &TJournalForm::bbExportClick);
    connect(JournalTable, &QTableWidget::cellDoubleClicked, this,
            [this](int row) { Guarded([this, row] { JournalTableDblClick(row); }); });
}

TJournalForm::~TJournalForm() = default;

void TJournalForm::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (!event->spontaneous())
        Guarded([this] { bbRefreshClick(); });
}

void TJournalForm::bbRefreshClick()
{
    typing_.stop();
    refill(SiteFilter, journal_.sites());
    refill(UserFilter, journal_.users());
    showEntries();
}

void TJournalForm::FilterChange()
{
    showEntries();
}

JournalFilter TJournalForm::filter(QStringList& problems) const
{
    JournalFilter f;
    f.site = SiteFilter->currentText().trimmed();
    f.user = UserFilter->currentText().trimmed();
    f.text = TextFilter->text();
    f.limit = MaxShown;
    for (const auto& [edit, time, endOfDay, name] :
         {std::tuple{SinceFilter, &f.since, false, "SiNCE"}, std::tuple{UntilFilter, &f.until, true, "UNTiL"}}) {
        const QString text = edit->text().trimmed();
        if (text.isEmpty())
            continue;
        *time = parseJournalTime(text, endOfDay);
        if (!time->isValid())
            problems << QStringLiteral("%1 is no time the journal knows (2026-03-01, 2026-03-01 12:00): it is "
                                       "not applied.")
                            .arg(QLatin1String(name));
    }
    return f;
}

void TJournalForm::showEntries()
{
    QStringList problems;
    const JournalFilter f = filter(problems);
    records_.clear();
    JournalTable->setRowCount(0);
    try {
        records_ = journal_.query(f);
    } catch (const Exception&) {
        JournalState->setText(QStringLiteral("The journal cannot be read."));
        throw;
    }
    // Sorting is held off while the rows go in: a sorted table would move each row as its cells arrive.
    JournalTable->setSortingEnabled(false);
    JournalTable->setRowCount(int(records_.size()));
    for (std::size_t i = 0; i < records_.size(); ++i) {
        const JournalRecord& r = records_[i];
        const int row = int(i);
        const QString cells[ColumnCount] = {
            r.time,
            shown(r.site),
            shown(r.host) + QLatin1Char(':') + QString::number(r.port),
            shown(r.account),
            shown(r.program),
            shown(r.line),
            r.code ? QString::number(r.code) : QString(),
            shown(r.reply),
            QLatin1String(outcomeWord(r.outcome)),
        };
        for (int column = 0; column < ColumnCount; ++column)
            JournalTable->setItem(row, column, new Cell(cells[column]));
        // Entries of the same millisecond keep the order they were written in.
        JournalTable->item(row, TimeColumn)
            ->setData(SortRole, r.time + QString::number(r.id).rightJustified(20, QLatin1Char('0')));
        JournalTable->item(row, TimeColumn)->setData(RecordRole, qulonglong(i));
        if (!r.before.isEmpty() || !r.after.isEmpty())
            JournalTable->item(row, LineColumn)->setToolTip(QStringLiteral("Double-click to see what changed"));
    }
    JournalTable->setSortingEnabled(true);
    JournalTable->resizeColumnsToContents();

    QString state =
        records_.size() == 1 ? QStringLiteral("1 entry.") : QStringLiteral("%1 entries.").arg(records_.size());
    if (int(records_.size()) >= MaxShown)
        state = QStringLiteral("The newest %1 entries: narrow the filters to see older ones.").arg(MaxShown);
    JournalState->setText((QStringList{state} + problems).join(QLatin1Char(' ')));
    bbExport->setEnabled(!records_.empty());
}

std::vector<JournalRecord> TJournalForm::shownEntries() const
{
    std::vector<JournalRecord> shownRecords;
    for (int row = 0; row < JournalTable->rowCount(); ++row)
        shownRecords.push_back(records_.at(JournalTable->item(row, TimeColumn)->data(RecordRole).toULongLong()));
    return shownRecords;
}

void TJournalForm::JournalTableDblClick(int row)
{
    if (row < 0 || row >= JournalTable->rowCount())
        return;
    const JournalRecord& r = records_.at(JournalTable->item(row, TimeColumn)->data(RecordRole).toULongLong());
    auto* window = new QDialog(this);
    window->setObjectName(QStringLiteral("JournalEntryForm"));
    window->setWindowTitle(QStringLiteral("JOURNAL ENTRY"));
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->resize(720, 420);
    QPlainTextEdit* memo = WidgetKit::memo(window, "EntryMemo");
    memo->setReadOnly(true);
    memo->setAccessibleName(QStringLiteral("The journal entry"));
    memo->setPlainText(entryText(r));
    auto* close = makeButton(window, "bbCloseEntry", QStringLiteral("CLOSE"), QStringLiteral("Close this entry"));
    connect(close, &QPushButton::clicked, window, &QDialog::close);
    auto* layout = new QVBoxLayout(window);
    layout->addWidget(memo, 1);
    layout->addWidget(close, 0, Qt::AlignRight);
    window->show();
}

void TJournalForm::bbExportClick()
{
    const QString path =
        QFileDialog::getSaveFileName(this, QStringLiteral("EXPORT JOURNAL"), QStringLiteral("journal.csv"),
                                     QStringLiteral("CSV (*.csv);;JSON lines (*.json *.jsonl)"));
    if (!path.isEmpty())
        exportTo(path);
}

void TJournalForm::exportTo(const QString& path)
{
    const std::vector<JournalRecord> records = shownEntries();
    const bool json = path.endsWith(QStringLiteral(".json"), Qt::CaseInsensitive) ||
                      path.endsWith(QStringLiteral(".jsonl"), Qt::CaseInsensitive);
    const std::string text = json ? JournalReport::jsonLines(records) : JournalReport::csv(records);
    // Written aside and put in place whole: a full disk never leaves half an export where an older one stood.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text.data(), qint64(text.size())) != qint64(text.size()) ||
        !file.commit())
        throw Exception("The journal cannot be exported to " + path.toStdString() + ": " +
                        file.errorString().toStdString());
}
