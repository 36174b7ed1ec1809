#include "shell/ReplyRouter.h"

#include "files/NfoDizView.h"
#include "gui/Guard.h"
#include "platform/Finally.h"
#include "shell/FilePage.h"
#include "shell/GroupPage.h"
#include "shell/InfoPage.h"
#include "shell/PageControl.h"
#include "shell/ReplyText.h"
#include "shell/UserPage.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QStringListModel>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <algorithm>
#include <utility>

namespace {

int lineCount(const QPlainTextEdit* memo)
{
    return memo->document()->isEmpty() ? 0 : memo->document()->blockCount();
}

// A box past 200 lines loses its oldest lines down to 100, so it never holds more than 201 after an append.
void capLines(QPlainTextEdit* memo)
{
    const int lines = lineCount(memo);
    if (lines <= 200)
        return;
    QTextCursor cursor(memo->document()->findBlockByNumber(lines - 100));
    cursor.movePosition(QTextCursor::Start, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
}

// The SITE commands the console knows before any daemon has told it more.
QStringList knownCommandWords()
{
    return {
        QStringLiteral("ADDGROUP"), QStringLiteral("ADDIDENTD"), QStringLiteral("ADDUSER"),  QStringLiteral("CHFLAG"),
        QStringLiteral("CHGRP"),    QStringLiteral("CHLOGINS"),  QStringLiteral("CHPASS"),   QStringLiteral("CHRATIO"),
        QStringLiteral("DELGROUP"), QStringLiteral("DELIDENTD"), QStringLiteral("DELUSER"),  QStringLiteral("DIZ"),
        QStringLiteral("GIVE"),     QStringLiteral("GROUPS"),    QStringLiteral("GROUPTOP"), QStringLiteral("HELP"),
        QStringLiteral("KILL"),     QStringLiteral("NEW"),       QStringLiteral("NFO"),      QStringLiteral("NUKE"),
        QStringLiteral("NUKES"),    QStringLiteral("TAKE"),      QStringLiteral("USER"),     QStringLiteral("USERS"),
        QStringLiteral("USERTOP"),  QStringLiteral("WEEKTOP"),   QStringLiteral("WHO"),      QStringLiteral("ZIPCHK"),
        QStringLiteral("ZIPLIST")};
}

} // namespace

TReplyRouter::TReplyRouter(TSiteSession& session, QObject* parent)
    : QObject(parent), session_(session), commandWords_(new QStringListModel(knownCommandWords(), this))
{
    setObjectName(QStringLiteral("ReplyRouter"));
    // The session's events run inside its operations; nothing done with them may unwind into them.
    connect(&session_, &TSiteSession::status, this,
            [this](const std::string& text, bool moreAtHand) { Guarded([&] { NMFTP1Status(text, moreAtHand); }); });
    connect(&session_, &TSiteSession::listItem, this,
            [this](const TListEntry* entry) { Guarded([&] { NMFTP1ListItem(entry); }); });
    connect(&session_, &TSiteSession::listingEnded, this, [this] { Guarded([this] { NMFTP1TransactionStop(); }); });
}

void TReplyRouter::setPages(const TRoutedPages& pages)
{
    pages_ = pages;
}

void TReplyRouter::keepLine(QPlainTextEdit* box, const std::string& line)
{
    if (box != keptBox_)
        showLines();
    // One line of a box, whatever the line holds; a password on it is hidden.
    const QString shown = ShownLine(MaskedLine(line));
    // An empty box stays empty for an empty line, as a box's own append leaves it.
    if (shown.isEmpty() && keptLines_.isEmpty() && box->document()->isEmpty())
        return;
    if (keptLines_.isEmpty()) {
        // Lines are kept back only while the next one is at hand; should the reply still end otherwise, they show
        // the moment the application's events run.
        QMetaObject::invokeMethod(
            this, [this] { showLines(); }, Qt::QueuedConnection);
    }
    keptBox_ = box;
    keptLines_ << shown;
}

void TReplyRouter::showLines()
{
    QPlainTextEdit* box = keptBox_;
    const QStringList lines = std::exchange(keptLines_, {});
    keptBox_ = nullptr;
    if (!box || lines.isEmpty())
        return;
    // One edit for many lines: the box lays out and repaints what shows once, not once for every line. The lines
    // past the box's scroll-back go in one cut from its top, as the document's own bound would take them, but
    // without laying out every line it drops on the way.
    QTextDocument* document = box->document();
    const int bound = document->maximumBlockCount();
    QScrollBar* bar = box->verticalScrollBar();
    const int top = bar->value();
    document->setMaximumBlockCount(0);
    box->appendPlainText(lines.join(QLatin1Char('\n')));
    if (const int excess = bound > 0 ? document->blockCount() - bound : 0; excess > 0) {
        const bool atBottom = bar->value() == bar->maximum();
        QTextCursor cut(document);
        cut.setPosition(document->findBlockByNumber(excess).position(), QTextCursor::KeepAnchor);
        cut.removeSelectedText();
        if (!atBottom)
            bar->setValue(std::max(0, top - excess)); // an operator reading further up keeps the lines in view
    }
    document->setMaximumBlockCount(bound);
}

void TReplyRouter::NMFTP1Status(const std::string& raw, bool moreAtHand)
{
    if (!pages_.pages)
        return;
    // While more of this reply is already at hand, the next line comes straight after this one with nothing run in
    // between: the lines go to their box together. Any other text shows at once.
    Finally settle([this, moreAtHand] {
        if (!moreAtHand)
            showLines();
    });
    const std::string line = TrimmedLine(raw);
    if (line == "SITE GROUPS")
        return; // shown on no page
    if (session_.ownExchange())
        return; // the keep-alive's exchange and the tree's own PWD do not land on the page the operator is reading
    // A command is reported without a line end, a reply line with its own; the reply to SITE HELP names the
    // commands the command box completes.
    const bool replyLine = !raw.empty() && raw.back() == '\n';
    if (!replyLine)
        helpWordsLeft_ = line == "SITE HELP" ? MaxHelpWordsLearned : 0;
    else if (helpWordsLeft_ > 0)
        learnCommands(HelpWords(line));

    QWidget* page = pages_.pages->currentWidget();
    if (page == pages_.statusSheet || page == pages_.info) {
        keepLine(page == pages_.statusSheet ? pages_.statusMemo : pages_.info->InfoMemo, line);
        if (line == "221")
            pages_.setMessage(QStringLiteral("Done..."));
    } else if (page == pages_.user || page == pages_.group) {
        routeToUserOrGroupPage(page, raw, line);
    } else if (page == pages_.file) {
        // While the file page has its viewer open, the viewer takes the lines.
        const bool viewing = pages_.file->viewerOpen();
        keepLine(pages_.file->replyBox(), line);
        if (!viewing && line == "221")
            pages_.setMessage(QStringLiteral("Done..."));
    }
}

void TReplyRouter::routeToUserOrGroupPage(QWidget* page, const std::string& raw, const std::string& line)
{
    QPlainTextEdit* memo = page == pages_.user ? pages_.user->UserMemo : pages_.group->GroupMemo;
    // The cut counts the lines kept back for the box as its own.
    if (lineCount(memo) + (keptBox_ == memo ? int(keptLines_.size()) : 0) > 200) {
        showLines();
        capLines(memo);
    }
    if (page == pages_.user ? lists_.userPageLine(raw) : lists_.groupPageLine(raw))
        keepLine(memo, line);
    if (line == "250")
        pages_.setMessage(QStringLiteral("Done..."));
}

void TReplyRouter::NMFTP1ListItem(const TListEntry* entry)
{
    if (pages_.file)
        pages_.file->listItem(entry);
}

void TReplyRouter::NMFTP1TransactionStop()
{
    if (!pages_.file)
        return;
    // The listing's last entries join the tree before anyone sees its end. A listing's end is marked by a line of
    // a lone carriage return on the STATUS page, whatever page shows; a text box shows it as the empty line it is.
    pages_.file->listingEnded();
    showLines();
    pages_.statusMemo->appendPlainText(QString());
}

void TReplyRouter::learnCommands(const QStringList& words)
{
    // The list stays sorted: a word is looked up and put in its place by halving, and the completer hears of one
    // new row, not of a whole new list.
    for (const QString& word : words) {
        if (commandWords_->rowCount() >= MaxCommandWords)
            helpWordsLeft_ = 0;
        if (helpWordsLeft_ <= 0)
            return;
        int at = 0;
        {
            const QStringList known = commandWords_->stringList();
            const auto place = std::lower_bound(known.cbegin(), known.cend(), word);
            if (place != known.cend() && *place == word)
                continue;
            at = int(place - known.cbegin());
        }
        commandWords_->insertRows(at, 1);
        commandWords_->setData(commandWords_->index(at), word);
        --helpWordsLeft_;
    }
}
