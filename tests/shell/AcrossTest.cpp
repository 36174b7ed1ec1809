// Users Across Sites driven through its widgets against quillon-sims made to differ and a port where nothing
// listens: USER MAiNT's button opening it with the page's user, sites chosen by folder and filter, the users and
// groups gathered into matrices (a site that could not be read unknown, never missing), the name filter, one user's
// replies side by side with the differing lines marked for every reader, and each change previewed and then sent
// exactly as previewed, a dropped preview sending nothing and a deletion waiting for the user's name typed.

#include "ConsoleFixture.h"
#include "platform/PasswordMask.h"
#include "session/Journal.h"
#include "shell/AcrossForm.h"

#include <QAction>
#include <QCheckBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTableWidget>
#include <QTcpServer>
#include <QTreeWidget>

namespace {

// Sends lines to a daemon as its operator, outside the console and its journal: how a test makes sites differ.
void prepare(quint16 port, const std::vector<std::string>& lines)
{
    TSiteSession session;
    session.setJournal(nullptr);
    SiteBook::Record site;
    site.host = "127.0.0.1";
    site.port = std::to_string(port);
    site.login = "siteop";
    site.password = "quillon";
    session.setSite("prepare", site);
    session.logIn();
    for (const std::string& line : lines)
        session.send(line);
    session.logOut();
}

int column(const QTableWidget* table, const QString& header)
{
    for (int c = 0; c < table->columnCount(); ++c)
        if (table->horizontalHeaderItem(c) && table->horizontalHeaderItem(c)->text() == header)
            return c;
    return -1;
}

int row(const QTableWidget* table, const QString& name)
{
    for (int r = 0; r < table->rowCount(); ++r)
        if (table->item(r, 0) && table->item(r, 0)->text() == name)
            return r;
    return -1;
}

// The matrix's cell for the name and the site (or column header); "" when there is none.
QString at(const QTableWidget* table, const QString& name, const QString& header)
{
    const int r = row(table, name), c = column(table, header);
    return r < 0 || c < 0 || !table->item(r, c) ? QString() : table->item(r, c)->text();
}

// The lines of a site's column in the side-by-side table.
QStringList sideLines(const QTableWidget* table, const QString& site)
{
    QStringList lines;
    const int c = column(table, site);
    for (int r = 0; c >= 0 && r < table->rowCount(); ++r)
        if (table->item(r, c))
            lines << table->item(r, c)->text();
    return lines;
}

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

void chooseFolder(TAcrossForm* across, const QString& folder)
{
    across->AcrossFolder->setCurrentIndex(across->AcrossFolder->findText(folder));
}

} // namespace

TEST_F(ConsoleTest, UsersAcrossSitesShowsWhoIsWhereAndOneUserSideBySide)
{
    SimProcess east, west, north;
    const quint16 closedPort = [] {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost);
        return probe.serverPort();
    }();
    prepare(east.port, {"SITE ADDUSER onlyeast Friends"});
    prepare(west.port, {"SITE ADDUSER onlywest Friends", "SITE ADDGROUP WestCrew"});
    prepare(north.port, {"SITE ADDIDENTD pal *@north.example"});
    startConsole(east.port);
    {
        TSettingsStore& store = this->store();
        const auto in = [](const char* folder) { return [folder](SiteBook::Record& r) { r.folder = folder; }; };
        addSite(store, "east", east.port, "quillon", in("eu"));
        addSite(store, "west", west.port, "quillon", in("eu"));
        addSite(store, "north", north.port, "quillon", in("EU/Nordic"));
        addSite(store, "gone", closedPort, "quillon", in("eu/far"));
    }

    // USER MAiNT's button opens the window with the page's user picked.
    form->UserSheet->UserList->setEditText("pal");
    form->UserSheet->bbUsersAcross->click();
    auto* across = form->findChild<TAcrossForm*>("AcrossForm");
    ASSERT_TRUE(across);
    ASSERT_TRUE(across->isVisible());
    EXPECT_EQ(across->AcrossUser->text(), "pal");

    // All sites, a folder with the folders below it (whatever their case), a filter by name or host.
    EXPECT_EQ(across->chosenSites().size(), 5);
    chooseFolder(across, "eu");
    EXPECT_EQ(sorted(across->chosenSites()), (QStringList{"east", "gone", "north", "west"}));
    QTest::keyClicks(across->AcrossSiteFilter, "wes");
    EXPECT_EQ(across->chosenSites(), QStringList{"west"});
    EXPECT_EQ(across->AcrossChosen->text(), "1 site: west");
    across->AcrossSiteFilter->clear();

    QTest::mouseClick(across->bbGather, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !across->running() && across->UserMatrix->rowCount() > 0; }, 20000));
    const QTableWidget* users = across->UserMatrix;
    EXPECT_EQ(at(users, "onlyeast", "east"), "present");
    EXPECT_EQ(at(users, "onlyeast", "west"), "missing");
    EXPECT_EQ(at(users, "onlyeast", "north"), "missing");
    EXPECT_EQ(at(users, "onlyeast", "gone"), "unknown") << "a site that could not be read says nothing of who is there";
    EXPECT_EQ(at(users, "onlywest", "west"), "present");
    EXPECT_EQ(at(users, "siteop", "ON"), "3 of 3");
    EXPECT_EQ(at(users, "onlyeast", "ON"), "1 of 3");
    EXPECT_EQ(at(across->GroupMatrix, "WestCrew", "west"), "present");
    EXPECT_EQ(at(across->GroupMatrix, "WestCrew", "east"), "missing");
    EXPECT_EQ(at(across->GroupMatrix, "Friends", "ON"), "3 of 3");
    EXPECT_TRUE(across->GatherState->text().contains("1 could not be read"))
        << across->GatherState->text().toStdString();

    // The name filter keeps the rows whose name holds it, in both matrices.
    QTest::keyClicks(across->AcrossNameFilter, "only");
    QStringList shown;
    for (int r = 0; r < users->rowCount(); ++r)
        if (!users->isRowHidden(r))
            shown << users->item(r, 0)->text();
    EXPECT_EQ(shown, (QStringList{"onlyeast", "onlywest"}));
    EXPECT_TRUE(across->GroupMatrix->isRowHidden(row(across->GroupMatrix, "WestCrew")));
    across->AcrossNameFilter->clear();

    // Picking the user asks every site for it; the line north has of its own is marked, for the eye and the ear.
    across->UserMatrix->clearSelection();
    across->UserMatrix->selectRow(row(users, "pal"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !across->running() && across->UserReplies->columnCount() == 4; }, 20000));
    // (The daemons date a user to the minute they started in: two started a minute apart differ in that line.)
    const QRegularExpression markedLine("^≠ (?!.*Added)");
    const QStringList northLines = sideLines(across->UserReplies, "north");
    const QStringList marked = northLines.filter(markedLine);
    ASSERT_EQ(marked.size(), 1) << northLines.join('\n').toStdString();
    EXPECT_TRUE(marked[0].contains("north.example")) << marked[0].toStdString();
    EXPECT_TRUE(northLines.filter("User pal").size() == 1 && northLines.filter("User pal")[0].startsWith("  "));
    const int northColumn = column(across->UserReplies, "north");
    for (int r = 0; r < across->UserReplies->rowCount(); ++r)
        if (QTableWidgetItem* item = across->UserReplies->item(r, northColumn); item && item->text().startsWith("≠")) {
            EXPECT_TRUE(item->data(Qt::AccessibleTextRole).toString().startsWith("differs: "));
        }
    EXPECT_TRUE(sideLines(across->UserReplies, "east").filter(markedLine).isEmpty());
    // A site that could not be asked says why in its column, and is no reply to compare with.
    EXPECT_FALSE(sideLines(across->UserReplies, "gone").filter(QRegularExpression("^  refused: ")).isEmpty());
    EXPECT_TRUE(sideLines(across->UserReplies, "gone").filter(QRegularExpression("^≠")).isEmpty());
    EXPECT_EQ(across->UserReplies->horizontalHeader()->visualIndex(column(across->UserReplies, "gone")), 3)
        << "the answers first, the site not asked after them";
    EXPECT_TRUE(across->RepliesState->text().contains("north")) << across->RepliesState->text().toStdString();
    EXPECT_TRUE(across->RepliesState->text().contains("Not asked: gone")) << across->RepliesState->text().toStdString();
    across->close();
}

TEST_F(ConsoleTest, UsersAcrossSitesPreviewsEachChangeAndSendsExactlyWhatItShowed)
{
    SimProcess a, b;
    prepare(a.port, {"SITE ADDUSER recruit Friends"});
    startConsole(a.port);
    {
        TSettingsStore& store = this->store();
        const auto crew = [](SiteBook::Record& r) { r.folder = "crew"; };
        addSite(store, "a", a.port, "quillon", crew);
        addSite(store, "b", b.port, "quillon", crew);
    }
    form->findChild<QAction*>("mnuUsersAcross")->trigger();
    auto* across = form->findChild<TAcrossForm*>("AcrossForm");
    ASSERT_TRUE(across);
    chooseFolder(across, "crew");
    QTest::mouseClick(across->bbGather, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !across->running() && across->UserMatrix->rowCount() > 0; }, 20000));

    // Previews the change, sends it, waits for the gathering after it, and checks that each daemon got exactly the
    // SITE lines the preview named for it (the gathering's own aside).
    std::map<std::string, SimProcess*> sims{{"a", &a}, {"b", &b}};
    const auto change = [&](Across::Change kind, const QString& user, const std::function<void()>& fill) {
        SCOPED_TRACE(Across::changeName(kind).toStdString());
        across->AcrossUser->setText(user);
        across->AcrossChange->setCurrentIndex(across->AcrossChange->findData(int(kind)));
        if (fill)
            fill();
        QTest::mouseClick(across->bbPreviewChange, Qt::LeftButton);
        const QString preview = across->AcrossPreview->toPlainText();
        std::map<std::string, QStringList> previewed;
        std::string site;
        for (const QString& line : preview.split('\n')) {
            if (line.startsWith("== "))
                site = line.mid(3, line.indexOf(' ', 3) - 3).toStdString();
            else if (line.startsWith("SITE ") && !site.empty())
                previewed[site] << line;
        }
        std::map<std::string, qsizetype> marks;
        for (const auto& [name, sim] : sims)
            marks[name] = sim->commands().size();
        if (kind == Across::Change::Delete) {
            EXPECT_FALSE(across->bbSendChange->isEnabled()) << "a deletion waits for the name typed";
            QTest::keyClicks(across->AcrossConfirmName, user.left(2));
            EXPECT_FALSE(across->bbSendChange->isEnabled());
            across->AcrossConfirmName->clear();
            QTest::keyClicks(across->AcrossConfirmName, user);
        }
        EXPECT_TRUE(across->bbSendChange->isEnabled()) << preview.toStdString();
        QTest::mouseClick(across->bbSendChange, Qt::LeftButton);
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                return !across->running() &&
                       across->AcrossState->text().startsWith(Across::changeName(kind) + " for ") &&
                       !across->GatherState->text().startsWith("Gathering");
            },
            20000));
        for (const auto& [name, sim] : sims) {
            QStringList got;
            for (const QString& line : sim->commandsSince(marks[name]))
                if (line.startsWith("SITE ") && line != "SITE USERS" && line != "SITE GROUPS")
                    got << QString::fromStdString(MaskedLine(line.toStdString()));
            EXPECT_EQ(got, previewed.count(name) ? previewed.at(name) : QStringList()) << name;
        }
        return previewed;
    };

    using C = Across::Change;
    const auto previewed = change(C::AddMask, "pal", [&] { across->AcrossMask->setText("*@10.20.30.*"); });
    EXPECT_EQ(previewed.at("b"), (QStringList{"SITE USER pal", "SITE ADDIDENTD pal *@10.20.30.*", "SITE USER pal"}));
    EXPECT_EQ(across->AcrossResults->topLevelItemCount(), 2);
    EXPECT_EQ(across->AcrossResults->topLevelItem(0)->text(1), "ok");
    change(C::RemoveMask, "pal", [&] { across->AcrossMask->setText("*@10.20.30.*"); });
    // Refused where the mask is gone: the user is still looked at after it, as the preview said.
    change(C::RemoveMask, "pal", [&] { across->AcrossMask->setText("*@10.20.30.*"); });
    EXPECT_EQ(across->AcrossResults->topLevelItem(0)->text(1), "refused");
    const auto flags = change(C::Flags, "pal", [&] {
        for (QCheckBox* box : across->AcrossFlags)
            box->setChecked(box->objectName() == "AcrossFlagLEECH");
    });
    EXPECT_EQ(flags.at("a").size(), 11);
    EXPECT_EQ(flags.at("a")[8], "SITE CHFLAG pal LEECH YES");
    EXPECT_EQ(flags.at("a")[1], "SITE CHFLAG pal DISABLED NO");
    change(C::Password, "pal", [&] { across->AcrossPassword->setText("Across-s3cret"); });
    EXPECT_EQ(change(C::Give, "pal", [&] { across->AcrossAmount->setText("5"); }).at("a")[1], "SITE GIVE 5120 pal");
    EXPECT_EQ(change(C::Take, "pal", [&] { across->AcrossAmount->setText("2"); }).at("b")[1], "SITE TAKE 2048 pal");
    change(C::Group, "pal", [&] { across->AcrossGroup->setEditText("Couriers"); });
    EXPECT_EQ(at(across->UserMatrix, "recruit", "b"), "missing");
    const auto added = change(C::AddWhereMissing, "recruit", [&] {
        across->AcrossGroup->setEditText("Friends");
        across->AcrossPassword->setText("Recruit-s3cret");
    });
    EXPECT_EQ(added.count("a"), 0u) << "recruit is on a already";
    EXPECT_EQ(added.at("b"),
              (QStringList{"SITE ADDUSER recruit Friends", "SITE CHPASS recruit *****", "SITE USER recruit"}));
    EXPECT_EQ(at(across->UserMatrix, "recruit", "b"), "present") << "gathered again after the change";

    // A preview dropped sends nothing; input the page would refuse is refused the same words.
    across->AcrossChange->setCurrentIndex(across->AcrossChange->findData(int(C::Give)));
    across->AcrossAmount->setText("1");
    QTest::mouseClick(across->bbPreviewChange, Qt::LeftButton);
    ASSERT_TRUE(across->bbSendChange->isEnabled());
    const qsizetype before = a.commands().size() + b.commands().size();
    QTest::mouseClick(across->bbCancelChange, Qt::LeftButton);
    EXPECT_FALSE(across->bbSendChange->isEnabled());
    QTest::qWait(200);
    EXPECT_EQ(a.commands().size() + b.commands().size(), before);
    across->AcrossAmount->setText("lots");
    QTest::mouseClick(across->bbPreviewChange, Qt::LeftButton);
    EXPECT_EQ(prompts.errors.value(0), "'lots' is not a valid integer value.");
    EXPECT_FALSE(across->bbSendChange->isEnabled());

    change(C::Delete, "recruit", nullptr);
    EXPECT_EQ(row(across->UserMatrix, "recruit"), -1) << "gone from both sites";

    // The journal keeps each site's change with the user's reply before and after it; no password reaches it.
    TJournal journal(TJournal::defaultPath());
    JournalFilter filter;
    filter.text = "ADDIDENTD pal *@10.20.30.*";
    const std::vector<JournalRecord> idents = journal.query(filter);
    ASSERT_EQ(idents.size(), 2u);
    for (const JournalRecord& r : idents)
        EXPECT_EQ(journalDiff(r.before, r.after).filter(QRegularExpression("^\\+ .*10\\.20\\.30")).size(), 1)
            << journalDiff(r.before, r.after).join('\n').toStdString();
    for (const char* suffix : {"", "-wal"}) {
        QFile file(journal.path() + suffix);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly) || *suffix);
        const QByteArray bytes = file.readAll();
        EXPECT_FALSE(bytes.contains("Across-s3cret") || bytes.contains("Recruit-s3cret")) << suffix;
    }
    across->close();
}
