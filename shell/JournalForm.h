#pragma once

#include "session/Journal.h"

#include <QDialog>
#include <QTimer>

#include <vector>

class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTableWidget;

// The change journal, read: every command the console and its tools sent that can change a daemon's state, newest
// first, filtered by site, by a user the line names, by text and by time, sortable by any column. A double click
// shows the whole entry, with the diff of a user's reply before and after the change when it was kept; EXPORT
// writes what the table shows as CSV or JSON lines. The window only reads: the entries are written by whoever sends
// the lines.
class TJournalForm : public QDialog {
    Q_OBJECT

public:
    explicit TJournalForm(const QString& journalPath = TJournal::defaultPath(), QWidget* parent = nullptr);
    ~TJournalForm() override;

    // The most entries the table shows: the newest, when the filters take more.
    static constexpr int MaxShown = 10000;

    QComboBox* SiteFilter;
    QComboBox* UserFilter;
    QLineEdit* TextFilter;
    QLineEdit* SinceFilter;
    QLineEdit* UntilFilter;
    QPushButton* bbRefresh;
    QTableWidget* JournalTable;
    QLabel* JournalState;
    QPushButton* bbExport;

    // Reads the journal again: the sites and users to pick from, then the entries the filters take.
    void bbRefreshClick();
    void bbExportClick();
    // Shows the entry of the table's row in a window of its own (JournalEntryForm).
    void JournalTableDblClick(int row);
    // Writes the entries the table shows, in its order: JSON lines when the path ends in .json or .jsonl, else CSV.
    void exportTo(const QString& path);

    // The entries the table shows, in the table's order.
    std::vector<JournalRecord> shownEntries() const;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void FilterChange();
    // Reads the entries the filters take into the table, keeping its sort.
    void showEntries();
    JournalFilter filter(QStringList& problems) const;

    TJournal journal_;
    std::vector<JournalRecord> records_;
    QTimer typing_; // a filter being typed is applied once the typing pauses
};
