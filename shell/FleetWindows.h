#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class QAbstractItemModel;
class QAction;
class QMenu;
class QWidget;
class TAcrossForm;
class TDiamond;
class THealthForm;
class TJournalForm;
class TRunSitesForm;
class TSettingsStore;

// What the windows that look at many sites of the book get from the console that opens them.
struct TFleetContext {
    QWidget* owner;                         // the main window: their parent
    std::function<TSettingsStore&()> store; // the site book, or the error that says why it cannot be had
    std::function<const TDiamond&()> cipher;
    QAbstractItemModel* commandWords;                       // the SITE command words the command boxes complete
    std::function<QStringList()> history;                   // the command box's history, oldest first
    std::function<void(const QString& command)> commandRun; // a command sent from one of them joins that history
};

// The windows of the MiSC menu that reach or read about many sites of the book at once: Run on Sites, Users Across
// Sites, the change journal and Site Health. Each is made when first asked for and kept for the run; its menu item goes
// through the standard error box as the main window's handlers do.
class TFleetWindows : public QObject {
public:
    // The items go into the menu before the item given (the ones about the site book follow them).
    TFleetWindows(TFleetContext context, QMenu* menu, QAction* runOnSites, QAction* before);

    void mnuRunOnSitesClick();
    void mnuUsersAcrossClick();
    void mnuChangeJournalClick();
    void mnuSiteHealthClick();
    // Users Across Sites with this user picked (USER MAiNT's user); an empty user keeps the one picked there.
    void usersAcross(const QString& user);

private:
    // Shows a window of its own in front, where the operator left it.
    static void bringUp(QWidget* window);

    TFleetContext context_;
    TRunSitesForm* runSites_ = nullptr;
    TAcrossForm* across_ = nullptr;
    TJournalForm* journal_ = nullptr;
    THealthForm* health_ = nullptr;
};
