#pragma once

#include "session/BatchFold.h"
#include "session/BatchWatch.h"
#include "session/SiteBatch.h"

#include <QDialog>

#include <functional>
#include <memory>
#include <unordered_map>

class QAbstractItemModel;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;
class TDiamond;
class TSettingsStore;

// Run on sites: SITE commands on many sites of the book at once. The sites are a checkable list grouped by folder,
// with a filter; RUN logs in to each checked site (a few at a time, each on a thread of its own), sends the command
// (or the script's lines, in one log-in) and logs out; each site's row says where it is and how it ended, and sites
// that ended alike fold into one group, the largest first. A command that changes the daemon's state is confirmed
// first, naming every site; past five sites the operator types their number. With REPEAT EVERY set, a reading
// command is watched instead: the sites stay logged in, each round replaces the rows, and what changed since the
// round before is marked, until STOP logs out of every site. Nothing here asks about certificates: a site whose
// certificate is neither verified nor pinned fails with that reason.
class TRunSitesForm : public QDialog {
    Q_OBJECT

public:
    TRunSitesForm(std::function<TSettingsStore&()> store, const TDiamond& cipher, QAbstractItemModel* commandWords,
                  QWidget* parent = nullptr);
    ~TRunSitesForm() override;

    // Fills the site list from the book (checks kept by name) and the command box's list from the history.
    void openWith(const QStringList& history);

    QLineEdit* SiteFilter;
    QTreeWidget* SiteTree;
    QComboBox* RunCommand;
    QCheckBox* RunAsScript; // the command box takes several lines: a script in one log-in per site
    QPlainTextEdit* RunScript;
    QSpinBox* RunSerial;  // sites at a time, each batch ending before the next (0: as places come free)
    QSpinBox* RunMaxFail; // start no more sites past this share of failures (-1: never stop)
    QCheckBox* RunAllowClearText;
    QSpinBox* RunRepeat; // seconds between the rounds of a watch, 5 or more (0: run once)
    QPushButton* bbPreview;
    QPushButton* bbRun;
    QPushButton* bbCancelRun;
    QPushButton* bbRunFailed;
    QTreeWidget* ResultTree;
    QPlainTextEdit* ResultMemo;
    QPushButton* bbDifferences;
    QPushButton* bbCopyResults;
    QPushButton* bbSaveResults;
    QLabel* RunState;

    void SiteFilterChange();
    void bbPreviewClick();
    void bbRunClick();
    void bbCancelRunClick();
    void bbRunFailedClick();
    void ResultTreeChange();
    void bbDifferencesClick();
    void bbCopyResultsClick();
    void bbSaveResultsClick();
    // Writes the results as CSV, or as JSON lines when the path ends in .json.
    void saveResults(const QString& path);

    // The checked sites the filter shows, in the book's order.
    QStringList chosenSites() const;
    // The lines the command box holds: one command, or the script's lines.
    std::vector<std::string> planLines() const;
    const TSiteBatch* batch() const { return batch_.get(); }
    const TBatchWatch* watch() const { return watch_.get(); }

signals:
    // A command went out: the console keeps it in its history.
    void commandRun(const QString& command);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    struct Group {
        Outcome outcome = Outcome::Ok;
        std::vector<std::string> lines;
        std::vector<std::size_t> members;
        QTreeWidgetItem* head = nullptr; // once the group has two sites
    };

    bool confirmChange(const std::vector<std::string>& lines, const QStringList& sites);
    void runOn(const QStringList& sites);
    BatchPlan plan() const;
    std::vector<BatchSite> readSites(const QStringList& sites);
    void batchFinished();
    bool watchOn(const QStringList& sites, BatchPlan planned);
    void roundEnded();
    void watchFinished();
    void showChanges(std::size_t index, const QStringList& head, int scrolled);
    void clearResults();
    void siteChanged(int index);
    void siteEnded(int index);
    void fileEnded();
    Group* fileRow(std::size_t index);
    void fillRow(QTreeWidgetItem* row, std::size_t index);
    void fillHead(Group& group);
    void raiseGroup(std::size_t at);
    QTreeWidgetItem* folderItem(const QString& folder);
    void showState();

    std::function<TSettingsStore&()> store_;
    const TDiamond& cipher_;
    std::unique_ptr<TSiteBatch> batch_;
    std::unique_ptr<TBatchWatch> watch_; // the watch that drives batch_'s rounds, while one does
    // The result tree kept up to date a row at a time: every site's row, and the groups of those that ended,
    // largest first, found by what they share.
    std::vector<QTreeWidgetItem*> rows_;
    std::vector<std::unique_ptr<Group>> groups_; // largest first
    std::unordered_map<std::string, Group*> groupOf_;
    std::vector<Group*> siteGroup_;
    int underWay_ = 0;                 // the rows at the top of the tree whose sites have not ended
    std::vector<std::size_t> pending_; // sites whose rows are behind their outcomes
    std::vector<bool> changed_;        // the sites in pending_
    QTimer* widen_;     // the columns fit their texts a little after the rows change, not on every change
    QTimer* fold_;      // the rows of sites that ended join their groups a few times a second
    int memoSite_ = -1; // the site whose watched text the reply box shows
};
