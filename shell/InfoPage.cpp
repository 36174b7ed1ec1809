// The iNFO page: the daemon's statistics and log-in control, one SITE command per button.

#include "shell/Main.h"

#include "ftp/NMFtp.h"
#include "gui/Prompts.h"
#include "platform/OemText.h"

#include <QPlainTextEdit>

// Sends command, after asking for its argument when the button asks one (caption and prompt given). An empty
// answer, Cancel included, sends nothing and leaves the text box as it was; any other answer goes as typed.
void TMainForm::infoCommand(const char* command, const char* caption, const char* prompt)
{
    std::string line = command;
    if (caption) {
        const QString answer = Prompts().InputBox(QString::fromLatin1(caption), QString::fromLatin1(prompt), QString());
        if (answer.isEmpty())
            return;
        line += QStringToLatin1(answer);
    }
    InfoMemo->clear();
    NMFTP1->SendCommand(line);
}

void TMainForm::bbWeekTopClick()
{
    infoCommand("SITE WEEKTOP");
}

void TMainForm::bbGroupTopClick()
{
    infoCommand("SITE GROUPTOP");
}

void TMainForm::bbUserTopClick()
{
    infoCommand("SITE USERTOP");
}

void TMainForm::bbWhoClick()
{
    infoCommand("SITE WHO");
}

void TMainForm::bbKillUserClick()
{
    infoCommand("SITE KILL ", "KiLL LOGiN", "Kill which Login? (PID)");
}

void TMainForm::bbLastDirsClick()
{
    infoCommand("SITE NEW ", "LAST DIR'S MADE", "Show how many directories?");
}

void TMainForm::bbLastNukesClick()
{
    infoCommand("SITE NUKES ", "LAST NUKE'S MADE", "Show how many nukes?");
}
