#pragma once

#include "session/SiteBatch.h"
#include "shell/AcrossLines.h"

#include <QDialog>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTableWidget;
class QTabWidget;
class QTreeWidget;
class TDiamond;
class TSettingsStore;

// Users Across Sites: the same people on many sites of the book. The sites are chosen by folder and filter; GATHER
// asks each for its users and groups (SITE USERS, SITE GROUPS) over the fan-out of a run on many sites and shows
// them as matrices, a row per name and a column per site; picking a user shows each site's SITE USER reply beside
// the others, the lines that differ from the most common reply marked. A change to the picked user goes to the
// sites where the user is (or, to add it, where it is missing) only after PREViEW has shown every line each site
// will be sent and SEND was pressed; a deletion wants the user's name typed first. The change runs as a run on many
// sites does, each site's outcome in its row, and the sites are gathered again when it has ended.
class TAcrossForm : public QDialog {
    Q_OBJECT

public:
    TAcrossForm(std::function<TSettingsStore&()> store, const TDiamond& cipher, QWidget* parent = nullptr);
    ~TAcrossForm() override;

    // Fills the folders and sites from the book (what was chosen is kept); a user given becomes the picked one.
    void openWith(const QString& user);

    QComboBox* AcrossFolder;
    QLineEdit* AcrossSiteFilter;
    QLabel* AcrossChosen;
    QPushButton* bbGather;
    QPushButton* bbCancelAcross;
    QLineEdit* AcrossNameFilter;
    QTabWidget* AcrossTabs;
    QTableWidget* UserMatrix;
    QTableWidget* GroupMatrix;
    QLabel* GatherState;
    QLineEdit* AcrossUser;
    QPushButton* bbSideBySide;
    QTableWidget* UserReplies;
    QLabel* RepliesState;
    QComboBox* AcrossChange;
    QLineEdit* AcrossMask;
    QLineEdit* AcrossPassword;
    QComboBox* AcrossGroup;
    QLineEdit* AcrossAmount;
    std::vector<QCheckBox*> AcrossFlags; // in the order of Across::flagNames()
    QPushButton* bbPreviewChange;
    QPlainTextEdit* AcrossPreview; // the preview, then the reply of the result picked
    QLineEdit* AcrossConfirmName;
    QPushButton* bbSendChange;
    QPushButton* bbCancelChange;
    QTreeWidget* AcrossResults;
    QLabel* AcrossState;

    // The sites the folder and the filter choose, in the book's order.
    QStringList chosenSites() const;
    // The sites of the last gathering: the matrices' columns.
    const std::vector<std::string>& gatheredSites() const { return gathered_; }
    const TSiteBatch* batch() const { return batch_.get(); }
    bool running() const { return batch_ && batch_->running(); }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    // The handlers of the window's controls, wired to them where the controls are made.
    void AcrossSitesChange();
    void bbGatherClick();
    void bbCancelAcrossClick();
    void AcrossNameFilterChange();
    void UserMatrixChange();
    void bbSideBySideClick();
    void AcrossChangeChange();
    void bbPreviewChangeClick();
    void AcrossConfirmNameChange();
    void bbSendChangeClick();
    void bbCancelChangeClick();
    void AcrossResultsChange();

    enum class Job { Gather, Look, Change };
    struct Site {
        QString name;
        QString host; // "host:port"
        QString folder;
    };
    // A change previewed and not sent yet: exactly what SEND sends.
    struct Pending {
        Across::Change change;
        QString user;
        BatchPlan plan;
        std::vector<std::string> sites;
    };

    void buildControls();
    void connectHandlers();
    std::vector<BatchSite> readSites(const std::vector<std::string>& keys);
    void start(Job job, const std::vector<std::string>& keys, BatchPlan plan);
    void showRunning();
    void batchFinished();
    void gathered();
    void looked();
    void fillMatrix(QTableWidget* table, const Across::Matrix& matrix);
    void fillResult(int index);
    Across::ChangeInput changeInput() const;
    void dropPreview();
    void pickUser(const QString& user);

    std::function<TSettingsStore&()> store_;
    const TDiamond& cipher_;
    std::vector<Site> sites_;
    std::unique_ptr<TSiteBatch> batch_;
    Job job_ = Job::Gather;
    std::vector<std::string> gathered_;
    std::vector<QString> gatherFailures_; // why a site's lists did not come; empty where they did
    Across::Matrix users_;
    Across::Matrix groups_;
    std::optional<Pending> pending_;
    std::optional<Across::Change> ran_; // the change of the last run, and its user
    QString ranUser_;
    std::vector<SiteOutcome> changed_; // what became of it on each site
    bool filling_ = false;             // the console fills the matrices: no pick is the operator's
};
