// A daemon that answers with what no daemon should: lines without end, lines that hold line breaks, binary junk,
// terminal escapes, a 421 in the middle of a reply. The console shows what it can, bounded and readable, reports
// what it cannot, and stays usable. The replies come from quillon-sim's --reply-from, byte for byte.

#include "ConsoleFixture.h"

#include "admin/UserEdit.h"
#include "shell/ReplyText.h"

#include <QClipboard>
#include <QCompleter>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSet>
#include <QTemporaryDir>
#include <QTextBlock>

#include <algorithm>

namespace {

class HostileDaemonTest : public ConsoleTest {
protected:
    // A file of reply bytes for quillon-sim's --reply-from.
    QString replyFile(const QByteArray& bytes)
    {
        const QString path = dir_.filePath(QString::number(++files_));
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        return path;
    }

    static int longestLine(const QPlainTextEdit* box)
    {
        int longest = 0;
        for (QTextBlock b = box->document()->begin(); b.isValid(); b = b.next())
            longest = std::max(longest, b.length());
        return longest;
    }

private:
    QTemporaryDir dir_;
    int files_ = 0;
};

TEST_F(HostileDaemonTest, HugeAndBrokenLinesStayOneBoundedReadableLineEach)
{
    const QByteArray huge = "200-" + QByteArray(1 << 20, 'x') + "\r\n200 ok\r\n";
    QByteArray returns = "200-";
    for (int i = 0; i < 300000; ++i)
        returns += "x\r";
    returns += "\r\n250\r\n";
    const QByteArray junk = QByteArray("200-bin\0ary \x1b[2J\x1b]0;owned\x07 junk\x0c\r\n221\r\n", 39);
    SimProcess sim({"--reply-from", "SITE WEEKTOP=" + replyFile(huge), "--reply-from",
                    "SITE USER newbie=" + replyFile(returns), "--reply-from", "SITE WHO=" + replyFile(junk)});
    online(sim, "InfoSheet");

    // A line of a megabyte is shown cut, with a marker that says how long it was.
    click(control<QPushButton>("bbWeekTop"));
    EXPECT_TRUE(prompts.errors.isEmpty()) << prompts.errors.join('\n').toStdString();
    EXPECT_LT(longestLine(control<QPlainTextEdit>("InfoMemo")), 5000);
    EXPECT_TRUE(control<QPlainTextEdit>("InfoMemo")->toPlainText().contains("[line cut: 1048580 bytes]"));

    // Binary junk and a terminal's escapes show as characters, on one line; none of them acts.
    click(control<QPushButton>("bbWho"));
    const QString who = control<QPlainTextEdit>("InfoMemo")->toPlainText();
    EXPECT_EQ(
        who.split('\n'),
        QStringList({"SITE WHO", QString::fromUtf8("200-bin\u2400ary \u241b[2J\u241b]0;owned\u2407 junk"), "221"}));

    // Three hundred thousand carriage returns inside one line are one line of the bounded user box.
    clickTab(control<TUserPage>("UserSheet"));
    control<QComboBox>("UserList")->setEditText(QStringLiteral("newbie"));
    emit control<QComboBox>("UserList")->activated(0);
    click(control<QPushButton>("bbUserInfo"));
    EXPECT_TRUE(prompts.errors.isEmpty()) << prompts.errors.join('\n').toStdString();
    EXPECT_LE(control<QPlainTextEdit>("UserMemo")->document()->blockCount(), 201);

    // The console goes on as before.
    click(control<QPushButton>("bbLogOut"));
    EXPECT_TRUE(control<QPushButton>("bbLogin")->isEnabled());
}

TEST_F(HostileDaemonTest, ALineThatNeverEndsAndA421AreReportedInPlainWords)
{
    const QByteArray endless = "200-" + QByteArray(10 << 20, 'y'); // ten megabytes, no line end
    const QByteArray closing = "421 Service closing: the site is going down now.\r\n";
    SimProcess sim(
        {"--reply-from", "SITE WEEKTOP=" + replyFile(endless), "--reply-from", "SITE GROUPTOP=" + replyFile(closing)});
    online(sim, "InfoSheet");
    click(control<QPushButton>("bbGroupTop"));
    ASSERT_EQ(prompts.errors.size(), 1);
    EXPECT_TRUE(prompts.errors[0].startsWith("421 Service closing"))
        << "the daemon's own words: " << prompts.errors[0].toStdString();

    online(sim, "InfoSheet");
    click(control<QPushButton>("bbWeekTop"));
    ASSERT_EQ(prompts.errors.size(), 2);
    EXPECT_EQ(prompts.errors[1], "Reply too long.");
    EXPECT_FALSE(session().connected());
    EXPECT_TRUE(control<QPushButton>("bbLogin")->isEnabled());
}

TEST_F(HostileDaemonTest, AListingCutShortIsReportedAndKeepsWhatCame)
{
    SimProcess sim({"--drop-on", "LIST"}); // half the listing, then both connections go, no completion reply
    online(sim, "FileSheet");
    ASSERT_EQ(prompts.errors.size(), 1) << "a listing that did not complete is no success";
    EXPECT_NE(panel(3), "Done...");
    QTRY_VERIFY(control<TFileTreeView>("TreeView1")->model()->rowCount() > 0);
    EXPECT_TRUE(control<QPushButton>("bbLogin")->isEnabled()) << "and the console is ready to log in again";
}

TEST_F(HostileDaemonTest, PastedLineBreaksNeverBecomeASecondCommand)
{
    SimProcess sim;
    online(sim, "UserSheet");
    const qsizetype mark = sim.commands().size();

    // Pasted into the user box: GET iNFO would send "SITE USER a" and then "DELE x".
    QApplication::clipboard()->setText(QStringLiteral("a\r\nDELE x"));
    control<QComboBox>("UserList")->lineEdit()->clear();
    QTest::keyClick(control<QComboBox>("UserList")->lineEdit(), Qt::Key_V, Qt::ControlModifier);
    ASSERT_TRUE(control<QComboBox>("UserList")->currentText().contains('\n')) << "the box keeps what was pasted";
    emit control<QComboBox>("UserList")->activated(0);
    click(control<QPushButton>("bbUserInfo"));

    // Typed into the command box, or recalled from a history that holds it.
    control<QComboBox>("CommandText")->setEditText(QStringLiteral("WHO\r\nSITE DELUSER admin"));
    control<QPushButton>("bbExecute")->setEnabled(true);
    click(control<QPushButton>("bbExecute"));

    // In a dialog's sequence: not even the lines before it go.
    auto dialog = control<TUserPage>("UserSheet")->makeUserForm();
    dialog->Password->setText(QStringLiteral("new"));
    dialog->Ident1->setText(QStringLiteral("x@y\nSITE DELUSER admin"));
    prompts.confirmAnswers = {true};
    click(dialog->bbUpdate);

    EXPECT_EQ(sim.commandsSince(mark), QStringList()) << "nothing at all was sent";
    ASSERT_EQ(prompts.errors.size(), 3);
    for (const QString& error : prompts.errors)
        EXPECT_TRUE(error.startsWith("The command holds a line break")) << error.toStdString();
    EXPECT_TRUE(session().connected()) << "and the console goes on";
}

TEST_F(HostileDaemonTest, AHelpOfFiftyThousandLinesIsTakenInWholeAndTeachesABoundedList)
{
    // A daemon with a command of its own on every line (QAAAA, QBAAA, ...), each named twice.
    constexpr int Lines = 50000;
    QByteArray reply = "214-The following SITE commands are recognized:\r\n";
    QStringList shown{QStringLiteral("SITE HELP"), QStringLiteral("214-The following SITE commands are recognized:")};
    for (int i = 0; i < Lines - 2; ++i) {
        QByteArray word = "Q";
        for (int n = i, k = 0; k < 4; ++k, n /= 26)
            word += char('A' + n % 26);
        const QByteArray line = "214-  " + word + " <user> <group>  tells what " + word + " knows";
        reply += line + "\r\n";
        shown << QString::fromLatin1(line);
    }
    reply += "214 Direct comments to the site operators.\r\n";
    shown << QStringLiteral("214 Direct comments to the site operators.");
    // And a user's record as long as the user box's bound is short.
    QByteArray record;
    QStringList recordShown{QStringLiteral("SITE USER newbie")};
    for (int i = 0; i < 499; ++i) {
        record += "200-line " + QByteArray::number(i) + " of newbie\r\n";
        recordShown << QStringLiteral("200-line %1 of newbie").arg(i);
    }
    record += "200 Command Successful.\r\n";
    recordShown << QStringLiteral("200 Command Successful.");
    SimProcess sim(
        {"--reply-from", "SITE HELP=" + replyFile(reply), "--reply-from", "SITE USER newbie=" + replyFile(record)});
    online(sim);

    const QAbstractItemModel* words = control<QComboBox>("CommandText")->completer()->model();
    const int known = words->rowCount();
    auto completions = [words] {
        QStringList list;
        for (int row = 0; row < words->rowCount(); ++row)
            list << words->index(row, 0).data().toString();
        return list;
    };
    auto help = [this] {
        QTest::keyClicks(control<QComboBox>("CommandText")->lineEdit(), QStringLiteral("HELP"));
        click(control<QPushButton>("bbExecute"));
    };

    // The STATUS box keeps its scroll-back of 10,000 lines: the newest, in order, as they came.
    ASSERT_EQ(control<QPlainTextEdit>("StatusMemo")->maximumBlockCount(), 10000);
    help();
    ASSERT_TRUE(prompts.errors.isEmpty()) << prompts.errors.join('\n').toStdString();
    QStringList box = control<QPlainTextEdit>("StatusMemo")->toPlainText().split('\n');
    ASSERT_EQ(box.size(), 10000);
    for (qsizetype i = 0, from = shown.size() - box.size(); i < box.size(); ++i)
        ASSERT_EQ(box[i], shown[from + i]) << "line " << from + i << " of the command and its reply";

    // The completion list learned the reply's first words, each once, in order, within one reply's bound.
    QStringList list = completions();
    EXPECT_EQ(list.size() - known, MaxHelpWordsLearned);
    EXPECT_EQ(QSet<QString>(list.begin(), list.end()).size(), list.size()) << "no word twice";
    EXPECT_TRUE(std::is_sorted(list.begin(), list.end()));
    for (const char* word : {"QAAAA", "QBAAA", "WHO", "USERS"})
        EXPECT_TRUE(list.contains(QLatin1String(word))) << word;
    EXPECT_FALSE(list.contains(QStringLiteral("SITE")));

    // With a scroll-back longer than the reply, every line stays, after what was there; the list is full.
    control<QPlainTextEdit>("StatusMemo")->setMaximumBlockCount(2 * Lines); // as a ScrollBack of 100000 sets it
    help();
    box = control<QPlainTextEdit>("StatusMemo")->toPlainText().split('\n');
    ASSERT_EQ(box.size(), 10000 + shown.size());
    for (qsizetype i = 0; i < shown.size(); ++i)
        ASSERT_EQ(box[10000 + i], shown[i]) << "line " << i << " of the command and its reply";
    list = completions();
    EXPECT_EQ(list.size(), MaxCommandWords);
    EXPECT_EQ(QSet<QString>(list.begin(), list.end()).size(), list.size()) << "no word twice";

    // The user box is cut to its last 100 lines whenever it has grown past 200, as if line by line.
    clickTab(control<TUserPage>("UserSheet"));
    QStringList expected;
    if (!control<QPlainTextEdit>("UserMemo")->document()->isEmpty())
        expected = control<QPlainTextEdit>("UserMemo")->toPlainText().split('\n');
    for (const QString& line : recordShown) {
        if (expected.size() > 200)
            expected = expected.mid(expected.size() - 100);
        expected << line;
    }
    control<QComboBox>("UserList")->setEditText(QStringLiteral("newbie"));
    emit control<QComboBox>("UserList")->activated(0);
    click(control<QPushButton>("bbUserInfo"));
    EXPECT_TRUE(prompts.errors.isEmpty()) << prompts.errors.join('\n').toStdString();
    EXPECT_EQ(control<QPlainTextEdit>("UserMemo")->toPlainText().split('\n'), expected);
    EXPECT_TRUE(session().connected());
}

} // namespace
