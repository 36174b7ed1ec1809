#include "shell/FleetWindows.h"

#include "gui/Guard.h"
#include "session/Journal.h"
#include "shell/AcrossForm.h"
#include "shell/HealthForm.h"
#include "shell/JournalForm.h"
#include "shell/RunSites.h"

#include <QAction>
#include <QMenu>

TFleetWindows::TFleetWindows(TFleetContext context, QMenu* menu, QAction* runOnSites, QAction* before)
    : QObject(context.owner), context_(std::move(context))
{
    const auto item = [&](const char* name, const QString& text, const QString& tip) {
        auto* action = new QAction(text, menu);
        action->setObjectName(QString::fromLatin1(name));
        action->setToolTip(tip);
        menu->insertAction(before, action);
        return action;
    };
    const auto opens = [this](QAction* action, void (TFleetWindows::*click)()) {
        connect(action, &QAction::triggered, this, [this, click] { Guarded([&] { (this->*click)(); }); });
    };
    opens(runOnSites, &TFleetWindows::mnuRunOnSitesClick);
    opens(item("mnuUsersAcross", QStringLiteral("&Users Across Sites..."),
               QStringLiteral("The same users on many sites of the book: who is where, one user side by side, and one "
                              "change to many sites")),
          &TFleetWindows::mnuUsersAcrossClick);
    opens(item("mnuChangeJournal", QStringLiteral("C&hange Journal..."),
               QStringLiteral("Every command sent that could change a daemon, from every door: who, where, when and "
                              "what came of it")),
          &TFleetWindows::mnuChangeJournalClick);
    opens(item("mnuSiteHealth", QStringLiteral("Si&te Health..."),
               QStringLiteral("Whether each site can be reached, how fast it answers and when its certificate ends, "
                              "with a chart of each site's history")),
          &TFleetWindows::mnuSiteHealthClick);
}

void TFleetWindows::bringUp(QWidget* window)
{
    window->show();
    window->raise();
    window->activateWindow();
}

void TFleetWindows::mnuRunOnSitesClick()
{
    if (!runSites_) {
        runSites_ = new TRunSitesForm(context_.store, context_.cipher(), context_.commandWords, context_.owner);
        connect(runSites_, &TRunSitesForm::commandRun, this, [this](const QString& command) {
            if (context_.commandRun)
                context_.commandRun(command);
        });
    }
    runSites_->openWith(context_.history());
    bringUp(runSites_);
}

void TFleetWindows::mnuUsersAcrossClick()
{
    usersAcross(QString());
}

void TFleetWindows::usersAcross(const QString& user)
{
    if (!across_)
        across_ = new TAcrossForm(context_.store, context_.cipher(), context_.owner);
    across_->openWith(user);
    bringUp(across_);
}

void TFleetWindows::mnuChangeJournalClick()
{
    if (!journal_)
        journal_ = new TJournalForm(TJournal::defaultPath(), context_.owner);
    bringUp(journal_); // it reads the journal afresh whenever it is shown
}

void TFleetWindows::mnuSiteHealthClick()
{
    if (!health_)
        health_ = new THealthForm(context_.store, context_.cipher(), THealthHistory::defaultPath(), context_.owner);
    bringUp(health_); // it reads the book and the history afresh whenever it is shown
}
