#pragma once

#include "session/SiteBatch.h"

#include <QDialog>

#include <functional>
#include <memory>

class QAbstractItemModel;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;
class TDiamond;
class TSettingsStore;

// Run on sites: one SITE command on many sites of the book at once. The sites are a checkable list grouped by
// folder, with a filter; RUN logs in to each checked site (a few at a time, each on a thread of its own), sends the
// command and logs out; each site's row says where it is, and sites that answered alike fold into one group. A
// command that changes the daemon's state is confirmed first, naming every site. Nothing here asks about
// certificates: a site whose certificate is neither verified nor pinned fails with that reason.
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
    QPushButton* bbRun;
    QPushButton* bbCancelRun;
    QTreeWidget* ResultTree;
    QPlainTextEdit* ResultMemo;
    QPushButton* bbCopyResults;
    QPushButton* bbSaveResults;
    QLabel* RunState;

    void SiteFilterChange();
    void bbRunClick();
    void bbCancelRunClick();
    void ResultTreeChange();
    void bbCopyResultsClick();
    void bbSaveResultsClick();
    // Writes the results as CSV, or as JSON lines when the path ends in .json.
    void saveResults(const QString& path);

    // The checked sites the filter shows, in the book's order.
    QStringList chosenSites() const;
    const TSiteBatch* batch() const { return batch_.get(); }

signals:
    // A command went out: the console keeps it in its history.
    void commandRun(const QString& command);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void showResults();
    void batchFinished();
    QTreeWidgetItem* folderItem(const QString& folder);

    std::function<TSettingsStore&()> store_;
    const TDiamond& cipher_;
    std::unique_ptr<TSiteBatch> batch_;
};
