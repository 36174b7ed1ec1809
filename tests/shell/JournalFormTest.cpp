// The change journal's window, built on its own over a journal of its own: newest first, the filters, sorting by a
// column header, the entry with its before/after diff on a double click, and EXPORT as CSV and JSON lines.

#include "shell/JournalForm.h"
#include "common/ScriptedPrompts.h"
#include "session/Journal.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QFile>
#include <QHeaderView>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

#include <sqlite3.h>

namespace {

void write(TJournal& journal, const std::string& site, const std::string& line, int code, const std::string& reply,
           std::vector<std::string> before = {}, std::vector<std::string> after = {})
{
    JournalEntry e;
    e.site = site;
    e.host = site + ".example";
    e.port = 21;
    e.line = line;
    e.before = std::move(before);
    const std::int64_t id = journal.begin(e);
    ASSERT_GT(id, 0) << line;
    if (code >= 0)
        journal.complete(id, code, reply, outcomeOfReply(code), after);
}

// Moves the entries whose line holds text back by days, straight in the file.
void age(const QString& path, const char* text, int days)
{
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(QFile::encodeName(path).constData(), &db), SQLITE_OK);
    const QString time = QDateTime::currentDateTimeUtc().addDays(-days).toString(Qt::ISODateWithMs);
    const QString sql = QStringLiteral("UPDATE entries SET time = '%1' WHERE line LIKE '%%2%'").arg(time, text);
    EXPECT_EQ(sqlite3_exec(db, sql.toUtf8().constData(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
}

QStringList column(QTableWidget* table, int c)
{
    QStringList cells;
    for (int row = 0; row < table->rowCount(); ++row)
        cells << table->item(row, c)->text();
    return cells;
}

// Waits (a little longer than a filter waits for the typing to pause) until done says so.
bool soon(const std::function<bool()>& done)
{
    return QTest::qWaitFor(done, 5000);
}

void clickHeader(QTableWidget* table, int section)
{
    QHeaderView* header = table->horizontalHeader();
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                      QPoint(header->sectionViewportPosition(section) + 4, header->height() / 2));
}

} // namespace

TEST(JournalForm, FiltersSortsShowsTheDiffAndExports)
{
    ScriptedPrompts prompts;
    QTemporaryDir dir;
    const QString path = dir.filePath("journal.db");
    {
        TJournal journal(path);
        write(journal, "home", "SITE ADDUSER bob staff", 200, "200 User bob added.");
        write(journal, "lab", "SITE DELUSER carol", 550, "550 No such user.");
        write(journal, "lab", "SITE CHGRP bob other", 200, "200 Group changed.", {"200- Group: staff", "200 End"},
              {"200- Group: other", "200 End"});
        write(journal, "home", "SITE CHPASS dave s3cret", -1, ""); // never completed
    }
    age(path, "ADDUSER", 10);

    TJournalForm form(path);
    form.show();
    auto* table = form.findChild<QTableWidget*>("JournalTable");
    auto* state = form.findChild<QLabel*>("JournalState");
    ASSERT_TRUE(table && state);
    EXPECT_EQ(form.objectName(), "JournalForm");
    // Newest first, the password masked, the entry never completed said so.
    EXPECT_EQ(column(table, 5), (QStringList{"SITE CHPASS dave *****", "SITE CHGRP bob other", "SITE DELUSER carol",
                                             "SITE ADDUSER bob staff"}));
    EXPECT_EQ(table->item(0, 8)->text(), "sent, outcome unknown");
    EXPECT_EQ(table->item(2, 6)->text(), "550");
    EXPECT_EQ(state->text(), "4 entries.");

    // The filters, each typed as an operator types; the pick lists offer what the journal names.
    auto* site = form.findChild<QComboBox*>("SiteFilter");
    auto* user = form.findChild<QComboBox*>("UserFilter");
    auto* text = form.findChild<QLineEdit*>("TextFilter");
    auto* since = form.findChild<QLineEdit*>("SinceFilter");
    auto* until = form.findChild<QLineEdit*>("UntilFilter");
    ASSERT_TRUE(site && user && text && since && until);
    EXPECT_NE(site->findText("lab"), -1);
    EXPECT_NE(user->findText("carol"), -1);
    QTest::keyClicks(site->lineEdit(), "LAB");
    ASSERT_TRUE(soon([&] { return table->rowCount() == 2; })) << column(table, 5).join(' ').toStdString();
    QTest::keyClicks(user->lineEdit(), "bob");
    ASSERT_TRUE(soon([&] { return column(table, 5) == QStringList{"SITE CHGRP bob other"}; }))
        << column(table, 5).join(' ').toStdString();
    site->lineEdit()->clear();
    ASSERT_TRUE(soon([&] {
        return column(table, 5) == (QStringList{"SITE CHGRP bob other", "SITE ADDUSER bob staff"});
    })) << column(table, 5).join(' ').toStdString();
    user->lineEdit()->clear();
    QTest::keyClicks(text, "no SUCH");
    ASSERT_TRUE(soon([&] { return column(table, 5) == QStringList{"SITE DELUSER carol"}; }))
        << column(table, 5).join(' ').toStdString();
    text->clear();
    QTest::keyClicks(until, QDateTime::currentDateTimeUtc().addDays(-5).date().toString(Qt::ISODate));
    ASSERT_TRUE(soon([&] { return column(table, 5) == QStringList{"SITE ADDUSER bob staff"}; }))
        << column(table, 5).join(' ').toStdString();
    until->clear();
    QTest::keyClicks(since, "last week");
    ASSERT_TRUE(soon([&] { return state->text().contains("SiNCE is no time the journal knows"); }))
        << state->text().toStdString();
    EXPECT_EQ(table->rowCount(), 4) << "a time that is no time is not applied";
    since->clear();
    ASSERT_TRUE(soon([&] { return state->text() == QString("4 entries."); }))
        << column(table, 5).join(' ').toStdString();

    // Sorting by a column header, then back by the time.
    clickHeader(table, 6); // CODE: the entry without a reply below every code
    const bool ascending = table->horizontalHeader()->sortIndicatorOrder() == Qt::AscendingOrder;
    QStringList codes{"", "200", "200", "550"};
    if (!ascending)
        std::reverse(codes.begin(), codes.end());
    EXPECT_EQ(column(table, 6), codes);
    clickHeader(table, 1);
    EXPECT_EQ(table->horizontalHeader()->sortIndicatorSection(), 1);
    QStringList sites = column(table, 1);
    EXPECT_TRUE(std::is_sorted(sites.begin(), sites.end()) || std::is_sorted(sites.rbegin(), sites.rend()))
        << sites.join(' ').toStdString();

    // A double click shows the entry whole, with the user's reply before and after as a diff.
    const int row = int(column(table, 5).indexOf("SITE CHGRP bob other"));
    ASSERT_GE(row, 0);
    const QRect cell = table->visualItemRect(table->item(row, 5));
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, cell.center());
    QTest::mouseDClick(table->viewport(), Qt::LeftButton, {}, cell.center());
    QDialog* entry = nullptr;
    ASSERT_TRUE(soon([&] { return (entry = form.findChild<QDialog*>("JournalEntryForm")) != nullptr; }));
    auto* memo = entry->findChild<QPlainTextEdit*>("EntryMemo");
    ASSERT_TRUE(memo);
    const QString shown = memo->toPlainText();
    EXPECT_TRUE(shown.contains("LiNE      SITE CHGRP bob other")) << shown.toStdString();
    EXPECT_TRUE(shown.contains("SITE USER bob before (-) and after (+) the change:\n- 200- Group: staff\n"
                               "+ 200- Group: other\n  200 End"))
        << shown.toStdString();
    entry->close();

    // EXPORT writes what the table shows, in its order: CSV, and JSON lines.
    table->sortByColumn(0, Qt::DescendingOrder);
    QTest::keyClicks(user->lineEdit(), "bob");
    ASSERT_TRUE(soon([&] { return table->rowCount() == 2; })) << column(table, 5).join(' ').toStdString();
    form.exportTo(dir.filePath("bob.csv"));
    QFile csv(dir.filePath("bob.csv"));
    ASSERT_TRUE(csv.open(QIODevice::ReadOnly));
    const QList<QByteArray> rows = csv.readAll().split('\n');
    EXPECT_EQ(rows[0], "time,account,program,site,host,port,line,user,code,reply,outcome,before,after\r");
    EXPECT_TRUE(rows[1].contains("\"SITE CHGRP bob other\"")) << rows[1].toStdString();
    form.exportTo(dir.filePath("bob.json"));
    QFile json(dir.filePath("bob.json"));
    ASSERT_TRUE(json.open(QIODevice::ReadOnly));
    const QList<QByteArray> objects = json.readAll().split('\n');
    ASSERT_EQ(objects.size(), 3); // two lines and the end of the last
    EXPECT_EQ(QJsonDocument::fromJson(objects[0]).object()["line"].toString(), "SITE CHGRP bob other");
    EXPECT_EQ(QJsonDocument::fromJson(objects[1]).object()["line"].toString(), "SITE ADDUSER bob staff");
    EXPECT_TRUE(prompts.errors.isEmpty()) << prompts.errors.join('\n').toStdString();
}
