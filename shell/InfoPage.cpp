// The iNFO page: the daemon's statistics and log-in control, one SITE command per button.

#include "shell/InfoPage.h"

#include "gui/Prompts.h"
#include "gui/WidgetKit.h"
#include "platform/OemText.h"
#include "session/SiteSession.h"

#include <QAbstractButton>
#include <QFrame>
#include <QPlainTextEdit>
#include <QPushButton>

using namespace WidgetKit;

TInfoPage::TInfoPage(const TPageContext& context) : TConsolePage(context, "InfoSheet")
{
    Panel3 = addPanel("Panel3", 41, true);
    bbWeekTop = button(Panel3, "bbWeekTop", QStringLiteral("WEEKTOP"), QRect(8, 8, 75, 25));
    bbGroupTop = button(Panel3, "bbGroupTop", QStringLiteral("GROUPTOP"), QRect(88, 8, 75, 25));
    bbUserTop = button(Panel3, "bbUserTop", QStringLiteral("USERTOP"), QRect(168, 8, 75, 25));
    bbWho = button(Panel3, "bbWho", QStringLiteral("WHO'S ON"), QRect(248, 8, 75, 25));
    bbKillUser = button(Panel3, "bbKillUser", QStringLiteral("KiLL LOGiN"), QRect(328, 8, 75, 25));
    bbLastDirs = button(Panel3, "bbLastDirs", QStringLiteral("LAST DiRS"), QRect(408, 8, 75, 25));
    bbLastNukes = button(Panel3, "bbLastNukes", QStringLiteral("LAST NUKES"), QRect(488, 8, 75, 25));
    // Keyboard order of the last three runs against their screen order.
    QWidget::setTabOrder(bbWho, bbLastNukes);
    QWidget::setTabOrder(bbLastNukes, bbLastDirs);
    QWidget::setTabOrder(bbLastDirs, bbKillUser);
    InfoMemo = addMemo("InfoMemo");

    // What a newcomer reads when resting the mouse on a button, and what a screen reader calls the text box.
    const std::pair<QAbstractButton*, const char*> tips[] = {
        {bbWeekTop, "Show the site's top list of this week"},
        {bbGroupTop, "Show the groups' top list"},
        {bbUserTop, "Show the users' top list"},
        {bbWho, "Show who is logged on now, with the process number of each login"},
        {bbKillUser, "End a login: asks for its process number (WHO'S ON shows it)"},
        {bbLastDirs, "Show the directories made last: asks how many"},
        {bbLastNukes, "Show the last nukes: asks how many"},
    };
    for (const auto& [control, tip] : tips)
        control->setToolTip(QString::fromUtf8(tip));
    InfoMemo->setAccessibleName(QStringLiteral("iNFO replies"));

    operation(bbWeekTop, &QPushButton::clicked, &TInfoPage::bbWeekTopClick);
    operation(bbGroupTop, &QPushButton::clicked, &TInfoPage::bbGroupTopClick);
    operation(bbUserTop, &QPushButton::clicked, &TInfoPage::bbUserTopClick);
    operation(bbWho, &QPushButton::clicked, &TInfoPage::bbWhoClick);
    operation(bbKillUser, &QPushButton::clicked, &TInfoPage::bbKillUserClick);
    operation(bbLastDirs, &QPushButton::clicked, &TInfoPage::bbLastDirsClick);
    operation(bbLastNukes, &QPushButton::clicked, &TInfoPage::bbLastNukesClick);
}

void TInfoPage::clear()
{
    InfoMemo->clear();
}

// Sends command, after asking for its argument when the button asks one (caption and prompt given). An empty
// answer, Cancel included, sends nothing and leaves the text box as it was; any other answer goes as typed.
void TInfoPage::infoCommand(const char* command, const char* caption, const char* prompt)
{
    std::string line = command;
    if (caption) {
        const QString answer = Prompts().InputBox(QString::fromLatin1(caption), QString::fromLatin1(prompt), QString());
        if (answer.isEmpty())
            return;
        line += QStringToLatin1(answer);
    }
    InfoMemo->clear();
    context_.session.send(line);
}

void TInfoPage::bbWeekTopClick()
{
    infoCommand("SITE WEEKTOP");
}

void TInfoPage::bbGroupTopClick()
{
    infoCommand("SITE GROUPTOP");
}

void TInfoPage::bbUserTopClick()
{
    infoCommand("SITE USERTOP");
}

void TInfoPage::bbWhoClick()
{
    infoCommand("SITE WHO");
}

void TInfoPage::bbKillUserClick()
{
    infoCommand("SITE KILL ", "KiLL LOGiN", "Kill which Login? (PID)");
}

void TInfoPage::bbLastDirsClick()
{
    infoCommand("SITE NEW ", "LAST DIR'S MADE", "Show how many directories?");
}

void TInfoPage::bbLastNukesClick()
{
    infoCommand("SITE NUKES ", "LAST NUKE'S MADE", "Show how many nukes?");
}
