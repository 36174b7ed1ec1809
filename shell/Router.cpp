// The reply router: every status text of the FTP client lands here, one at a time, and goes to the text box of
// the page that is showing (or to the viewer, or nowhere). The user and group lists are gathered on the way, by the
// list gatherer, out of the replies to "SITE USERS" and "SITE GROUPS".

#include "shell/Main.h"

#include "files/NfoDizView.h"
#include "ftp/NMFtp.h"
#include "platform/OemText.h"
#include "shell/PageControl.h"
#include "shell/ReplyText.h"

#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>
#include <string>

namespace {

// One line of a box, whatever the line holds; a password on it is hidden.
void appendLine(QPlainTextEdit* memo, const std::string& line)
{
    memo->appendPlainText(ShownLine(MaskedLine(line)));
}

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

} // namespace

void TMainForm::NMFTP1Status()
{
    const std::string& raw = NMFTP1->Status;
    const std::string line = TrimmedLine(raw);
    if (line == "SITE GROUPS")
        return; // shown on no page
    if (keepingAlive_ || askingFolder_)
        return; // the keep-alive's exchange and the tree's own PWD do not land on the page the operator is reading
    // A command is reported without a line end, a reply line with its own; the reply to SITE HELP names the
    // commands the command box completes.
    const bool replyLine = !raw.empty() && raw.back() == '\n';
    if (!replyLine)
        readingHelp_ = line == "SITE HELP";
    else if (readingHelp_)
        learnCommands(HelpWords(line));
    auto done = [this] { StatusBar1->setPanelText(3, QStringLiteral("Done...")); };

    QWidget* page = PageControl1->currentWidget();
    if (page == StatusSheet || page == InfoSheet) {
        appendLine(page == StatusSheet ? StatusMemo : InfoMemo, line);
        if (line == "221")
            done();
    } else if (page == UserSheet || page == GroupSheet) {
        QPlainTextEdit* memo = page == UserSheet ? UserMemo : GroupMemo;
        capLines(memo);
        if (page == UserSheet ? Lists.userPageLine(raw) : Lists.groupPageLine(raw))
            appendLine(memo, line);
        if (line == "250")
            done();
    } else if (page == FileSheet) {
        if (NfoDizForm) {
            appendLine(NfoDizForm->NfoDizMemo, line);
        } else {
            appendLine(FileMemo, line);
            if (line == "221")
                done();
        }
    }
}
void TMainForm::NMFTP1TransactionStop()
{
    // A listing's end is marked by a line of a lone carriage return on the STATUS page, whatever page shows; a
    // text box shows it as the empty line it is.
    StatusMemo->appendPlainText(QString());
}
