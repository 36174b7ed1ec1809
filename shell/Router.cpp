// The reply router: every status text of the FTP client lands here, one at a time, and goes to the text box of
// the page that is showing (or to the viewer, or nowhere). The user and group lists are gathered here too, by
// fixed character columns of the replies to "SITE USERS" and "SITE GROUPS".

#include "shell/Main.h"

#include "files/NfoDizView.h"
#include "ftp/NMFtp.h"
#include "platform/OemText.h"
#include "shell/PageControl.h"

#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>
#include <string>
#include <string_view>

namespace {

const char* const kGroupHeader = "214- Available Groups :";

// Characters of code 32 or below count as blanks at a text's ends: blanks, control codes, CR and LF.
bool blank(char c)
{
    return static_cast<unsigned char>(c) <= 32;
}

std::string trimRight(std::string_view text)
{
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return std::string(text);
}

std::string trimmed(std::string_view text)
{
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    return trimRight(text);
}

// Characters from..from+count-1 (1-based) of text, fewer where text is shorter.
std::string_view chars(std::string_view text, std::size_t from, std::size_t count)
{
    return from - 1 < text.size() ? text.substr(from - 1, count) : std::string_view();
}

// The cell at position s: ten characters of the raw line, blanks removed at both ends.
std::string cell(std::string_view raw, std::size_t s)
{
    return trimmed(chars(raw, s, 10));
}

void appendLine(QPlainTextEdit* memo, const std::string& line)
{
    memo->appendPlainText(OemToQString(line));
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
    const std::string line = trimmed(raw);
    if (line == "SITE GROUPS")
        return; // shown on no page

    // Group gathering, shared by the user and group pages: an empty line ends it; until then every cell of a
    // line is a group name.
    auto gatherGroups = [&] {
        if (GatheringGroups && line.empty())
            GatheringGroups = false;
        if (GatheringGroups) {
            for (std::size_t s = 2; s <= 68; s += 11) {
                const std::string name = cell(raw, s);
                if (!name.empty()) {
                    ++GroupCount;
                    GroupNames << Latin1ToQString(name);
                }
            }
        }
    };
    auto done = [this] { StatusBar1->setPanelText(3, QStringLiteral("Done...")); };

    QWidget* page = PageControl1->currentWidget();
    if (page == StatusSheet || page == InfoSheet) {
        appendLine(page == StatusSheet ? StatusMemo : InfoMemo, line);
        if (line == "221")
            done();
    } else if (page == UserSheet) {
        capLines(UserMemo);
        if (GatheringUsers) {
            ++UserLineCount;
            if (chars(line, 6, 6) == "Totals")
                GatheringUsers = false; // the totals line is still parsed below
            // The command's own line and the first reply line are counted, not parsed.
            if (UserLineCount > 2) {
                if (chars(line, 1, 4) == "250-") {
                    UserNames << Latin1ToQString(trimRight(chars(line, 6, 10)));
                } else {
                    for (std::size_t s : {2, 13, 26, 39, 52, 65}) {
                        const std::string name = cell(raw, s);
                        if (!name.empty())
                            UserNames << Latin1ToQString(name);
                    }
                }
            }
        }
        gatherGroups();
        if (!GatheringUsers && !GatheringGroups) {
            if (line == kGroupHeader) {
                GatheringGroups = true;
                return;
            }
            appendLine(UserMemo, line);
        }
        if (line == "250")
            done();
    } else if (page == GroupSheet) {
        capLines(GroupMemo);
        gatherGroups();
        if (!GatheringGroups) {
            if (line == kGroupHeader) {
                GatheringGroups = true;
                return;
            }
            appendLine(GroupMemo, line);
        }
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
