#pragma once

#include "session/SiteSession.h"
#include "shell/ListGatherer.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <functional>
#include <string>

class QPlainTextEdit;
class QStringListModel;
class QWidget;
class TFilePage;
class TGroupPage;
class TInfoPage;
class TPageControl;
class TUserPage;

// The window's pages the router writes to, and the status bar's message panel it says "Done..." on.
struct TRoutedPages {
    TPageControl* pages;
    QWidget* statusSheet;
    QPlainTextEdit* statusMemo;
    TInfoPage* info;
    TUserPage* user;
    TGroupPage* group;
    TFilePage* file;
    std::function<void(const QString&)> setMessage;
};

// The reply router: it listens to the session and puts every status text of the conversation, one at a time, in
// the text box of the page that is showing (or in the viewer the file page has open, or nowhere). On the way it
// gathers the user and group lists (the list gatherer, out of the replies to "SITE USERS" and "SITE GROUPS"), learns
// the SITE command words a reply to "SITE HELP" names, and keeps back the lines of a reply that are already at hand
// so that they reach their box in one edit. It reads nothing but what the session tells it.
class TReplyRouter : public QObject {
    Q_OBJECT

public:
    explicit TReplyRouter(TSiteSession& session, QObject* parent);

    // The pages exist after the router (they are given its lists); until they are set, nothing is routed.
    void setPages(const TRoutedPages& pages);
    // The user and group lists, with the counters the page refresh goes by.
    TListGatherer& lists() { return lists_; }
    // The SITE command words the command box completes, in sorted order: the ones the console knows, and those the
    // daemon's SITE HELP named.
    QStringListModel* commandWords() const { return commandWords_; }

private:
    // The session's status text, listing line and listing end.
    void NMFTP1Status(const std::string& text, bool moreAtHand);
    void NMFTP1ListItem(const TListEntry* entry);
    void NMFTP1TransactionStop();
    // A line for a page's box: kept back while more of the same reply is already at hand, then shown with the
    // lines after it in one edit of the box (showLines).
    void keepLine(QPlainTextEdit* box, const std::string& line);
    void showLines();
    void routeToUserOrGroupPage(QWidget* page, const std::string& raw, const std::string& line);
    // Adds the SITE command words the box does not know yet: at most helpWordsLeft_ of them (lowered by each one
    // added; 0 once the list is full at MaxCommandWords).
    void learnCommands(const QStringList& words);

    TSiteSession& session_;
    TRoutedPages pages_{};
    TListGatherer lists_;
    QStringListModel* commandWords_;
    int helpWordsLeft_ = 0;            // the reply to SITE HELP is coming and may teach the command box this many words
    QPointer<QPlainTextEdit> keptBox_; // the box the lines kept back go to
    QStringList keptLines_;
};
