#pragma once

#include "session/HealthCheck.h"
#include "session/HealthHistory.h"

#include <QColor>
#include <QDialog>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>
#include <utility>

class QChartView;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTableWidget;
class TDiamond;
class TSettingsStore;

// Site Health: for each site chosen (every site, a folder, a filter), whether it can be reached or why not, how long
// the connect, TLS and log-in took, NOOP's round trip, the TLS version and cipher, the certificate with its last day
// and the days left, whether it is the pinned one, the greeting, and when it was checked. CHECK NOW checks the sites
// shown, all at once, as Run on Sites runs them; CHECK EVERY checks them again every N minutes while the window is
// open. A row that needs attention says so in its STATUS (WARNING, CRITICAL) and stands out in colours that read on a
// light and a dark desktop. Nothing here asks about certificates or pins one. Each check joins the health history,
// which the chart below draws: a line per site, over the last hour, day, week or month.
class THealthForm : public QDialog {
    Q_OBJECT

public:
    THealthForm(std::function<TSettingsStore&()> store, const TDiamond& cipher,
                QString historyPath = THealthHistory::defaultPath(), QWidget* parent = nullptr);
    ~THealthForm() override;

    QComboBox* HealthFolder;
    QLineEdit* HealthFilter;
    QPushButton* bbCheckNow;
    QSpinBox* HealthEvery; // minutes between checks while the window is open; 0: only when asked
    QTableWidget* HealthTable;
    QLabel* HealthState;
    QComboBox* HealthRange;  // the last hour, day, week or month
    QComboBox* HealthFigure; // NOOP's round trip, or the log-in time
    QChartView* HealthChart;
    QLabel* HealthHover; // the value and time of the point under the mouse
    QPushButton* bbExportHealth;

    // Reads the book afresh: the folders to choose from, and a row for each site the choice shows.
    void reload();
    void bbCheckNowClick();
    void bbExportHealthClick();
    // Writes the samples of the shown sites over the chart's range as CSV.
    void exportTo(const QString& path);
    // Draws the shown sites' history over the chart's range.
    void refreshChart();

    // The sites the folder and the filter show, in the book's order.
    QStringList shownSites() const;
    const TSiteBatch* batch() const { return batch_.get(); }

    // The background and text colours of a row at this level under this palette: a tint that stands out from the
    // window's own colours, light on a light desktop and dark on a dark one, with a text colour that reads on it.
    // None (invalid colours) for OK.
    static std::pair<QColor, QColor> attentionColours(HealthLevel level, const QPalette& palette);

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    struct Listed {
        QString name;
        QString host;
        QString folder;
    };

    void ChoiceChange();
    void HealthEveryChange();
    void fillRows();
    void fillRow(int row, const QString& site);
    int rowOf(const QString& site) const;
    void siteEnded(int index);
    void checkFinished();
    void showState();
    void pointHovered(const QString& site, const QPointF& point, bool over);
    void fillRangeChoice(); // the chart's ranges, last hour to last month
    qint64 rangeMs() const;

    std::function<TSettingsStore&()> store_;
    const TDiamond& cipher_;
    THealthHistory history_;
    std::vector<Listed> listed_;
    std::map<QString, SiteHealth> results_; // the last check of each site, by name
    std::unique_ptr<TSiteBatch> batch_;
    QString trouble_; // why the history cannot be written, once said
    QTimer every_;
    QTimer typing_; // a filter being typed is applied once the typing pauses
};
