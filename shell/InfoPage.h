#pragma once

#include "shell/ConsolePage.h"

class QFrame;
class QPlainTextEdit;
class QPushButton;

// The iNFO page: the daemon's statistics and log-in control, one SITE command per button; the replies show in the
// page's text box.
class TInfoPage : public TConsolePage {
    Q_OBJECT

public:
    explicit TInfoPage(const TPageContext& context);

    QFrame* Panel3;
    QPushButton* bbWeekTop;
    QPushButton* bbGroupTop;
    QPushButton* bbUserTop;
    QPushButton* bbWho;
    QPushButton* bbKillUser;
    QPushButton* bbLastDirs;
    QPushButton* bbLastNukes;
    QPlainTextEdit* InfoMemo;

    void bbWeekTopClick();
    void bbGroupTopClick();
    void bbUserTopClick();
    void bbWhoClick();
    void bbKillUserClick();
    void bbLastDirsClick();
    void bbLastNukesClick();

    // Empties what the page holds about a site.
    void clear();

private:
    void infoCommand(const char* command, const char* caption = nullptr, const char* prompt = nullptr);
};
