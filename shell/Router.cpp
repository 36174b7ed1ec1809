// The reply router: every status text of the FTP client lands here, one at a time, and goes to the text box of
// the page that is showing (or to the viewer, or nowhere). The user and group lists are gathered on the way, by the
// list gatherer, out of the replies to "SITE USERS" and "SITE GROUPS".

#include "shell/Main.h"

#include "files/NfoDizView.h"
#include "ftp/NMFtp.h"
#include "platform/Finally.h"
#include "platform/OemText.h"
#include "shell/FilePage.h"
#include "shell/GroupPage.h"
#include "shell/InfoPage.h"
#include "shell/PageControl.h"
#include "shell/ReplyText.h"
#include "shell/UserPage.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <algorithm>
#include <string>
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

// A reply line (it keeps its line end) after which more of its reply follows: it begins with a blank, or its
// fourth character is '-'.
bool continuesReply(const std::string& raw)
{
    return !raw.empty() && raw.back() == '\n' && (raw[0] == ' ' || (raw.size() >= 4 && raw[3] == '-'));
}

} // namespace

void TMainForm::keepLine(QPlainTextEdit* box, const std::string& line)
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

void TMainForm::showLines()
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

void TMainForm::NMFTP1Status()
{
    const std::string& raw = NMFTP1->Status;
    // While more of this reply already waits in the client, the next line comes straight after this one with
    // nothing run in between: the lines go to their box together. Any other text shows at once.
    Finally settle([this, &raw] {
        if (!continuesReply(raw) || NMFTP1->ReceiveBuffer.find('\n') == ByteQueue::npos)
            showLines();
    });
    const std::string line = TrimmedLine(raw);
    if (line == "SITE GROUPS")
        return; // shown on no page
    if (Session->keepingAlive() || askingFolder_)
        return; // the keep-alive's exchange and the tree's own PWD do not land on the page the operator is reading
    // A command is reported without a line end, a reply line with its own; the reply to SITE HELP names the
    // commands the command box completes.
    const bool replyLine = !raw.empty() && raw.back() == '\n';
    if (!replyLine)
        helpWordsLeft_ = line == "SITE HELP" ? MaxHelpWordsLearned : 0;
    else if (helpWordsLeft_ > 0)
        learnCommands(HelpWords(line), helpWordsLeft_);
    auto done = [this] { StatusBar1->setPanelText(3, QStringLiteral("Done...")); };

    QWidget* page = PageControl1->currentWidget();
    if (page == StatusSheet || page == InfoSheet) {
        keepLine(page == StatusSheet ? StatusMemo : InfoSheet->InfoMemo, line);
        if (line == "221")
            done();
    } else if (page == UserSheet || page == GroupSheet) {
        QPlainTextEdit* memo = page == UserSheet ? UserSheet->UserMemo : GroupSheet->GroupMemo;
        // The cut counts the lines kept back for the box as its own.
        if (lineCount(memo) + (keptBox_ == memo ? int(keptLines_.size()) : 0) > 200) {
            showLines();
            capLines(memo);
        }
        if (page == UserSheet ? Lists.userPageLine(raw) : Lists.groupPageLine(raw))
            keepLine(memo, line);
        if (line == "250")
            done();
    } else if (page == FileSheet) {
        if (TNfoDizForm* viewer = FileSheet->NfoDizForm) {
            keepLine(viewer->NfoDizMemo, line);
        } else {
            keepLine(FileSheet->FileMemo, line);
            if (line == "221")
                done();
        }
    }
}
void TMainForm::NMFTP1ListItem(const std::string&)
{
    FileSheet->listItem();
}

void TMainForm::NMFTP1TransactionStop()
{
    // A listing's end is marked by a line of a lone carriage return on the STATUS page, whatever page shows; a
    // text box shows it as the empty line it is.
    showLines();
    StatusMemo->appendPlainText(QString());
}
