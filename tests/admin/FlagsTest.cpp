// The flags dialog: made once and shown again, nine CHFLAG lines per SET FLAGS, and never left hidden but modal.

#include "AdminConsole.h"

#include "admin/Flags.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>

namespace {

class FlagsTest : public AdminConsole {
protected:
    void logInWithDialog(const QString& user)
    {
        logIn(user);
        dialog = control<TFlagForm>("FlagForm"); // made at start-up, as the program makes it
    }

    // Shows the dialog modally, as the page's SET FLAGS does, and runs act inside. Returns whether the dialog was
    // still up after act (EXiT then ends the modal run).
    bool execWith(const std::function<void()>& act)
    {
        bool stillShown = false;
        QTimer::singleShot(0, dialog, [&] {
            act();
            if ((stillShown = dialog->isVisible()))
                click(dialog->bbExit);
        });
        dialog->exec();
        return stillShown;
    }

    static QStringList chflags(const QString& user, const QStringList& yes)
    {
        QStringList lines;
        for (const char* flag : {"DISABLED", "USEREDIT", "NUKE", "COLOR", "GROUPOP", "KILL", "BETA", "LEECH", "QUIET"})
            lines << QStringLiteral("SITE CHFLAG %1 %2 %3").arg(user, flag, yes.contains(flag) ? "YES" : "NO");
        return lines;
    }

    bool allClear() const
    {
        for (const TFlagForm::Flag& flag : dialog->flags())
            if (flag.box->isChecked())
                return false;
        return true;
    }

    TFlagForm* dialog = nullptr;
};

TEST_F(FlagsTest, TheDialogHasTenBoxesTheWarningAndItsKeyboardOrder)
{
    // The dialog stands on its own: a session, a gate and the selected user are all it needs.
    TSiteSession session;
    TOperationGate gate([] { return false; });
    std::unique_ptr<TFlagForm> own = std::make_unique<TFlagForm>(session, gate, [] { return QString(); });
    dialog = own.get();
    EXPECT_EQ(dialog->objectName() + dialog->windowTitle(), "FlagFormSET FLAGS");
    EXPECT_TRUE(dialog->size() == QSize(178, 197) && dialog->minimumSize() == dialog->maximumSize());
    const char* captions[] = {"DiSABLED", "KOLVANE", "USEREDiT", "NUKE",  "COLOR",
                              "GROUPOP",  "KiLL",    "BETA",     "LEECH", "QUiET"};
    for (int i = 0; i < 10; ++i) {
        const QCheckBox* box = dialog->flags()[i].box;
        EXPECT_EQ(box->geometry(), QRect(i < 5 ? 8 : 96, 8 + 24 * (i % 5), 80, 17)) << captions[i];
        EXPECT_EQ(box->text(), captions[i]);
        EXPECT_EQ(box->isEnabled(), box != dialog->Kolvane) << captions[i];
    }
    for (QLabel* line : {dialog->Label1, dialog->Label2})
        EXPECT_LE(line->x() + line->fontMetrics().horizontalAdvance(line->text()), dialog->width())
            << "the warning is read whole: " << line->text().toStdString();

    dialog->show();
    QApplication::setActiveWindow(dialog);
    dialog->Disabled->setFocus();
    for (QWidget* next : std::initializer_list<QWidget*>{dialog->Useredit, dialog->Nuke, dialog->Color, dialog->GroupOp,
                                                         dialog->Kill, dialog->Beta, dialog->Leech, dialog->Quiet,
                                                         dialog->bbExit, dialog->bbSetFlags}) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), next) << next->objectName().toStdString();
    }
}

TEST_F(FlagsTest, SetFlagsSendsNineLinesInOrderAndTheNextOpeningStartsClear)
{
    logInWithDialog(QStringLiteral("newbie"));
    // No keeps the dialog and its ticks; EXiT then sends nothing and clears them.
    prompts.confirmAnswers = {false};
    bool kept = false;
    EXPECT_TRUE(execWith([&] {
        dialog->Nuke->setChecked(true);
        click(dialog->bbSetFlags);
        kept = dialog->Nuke->isChecked();
    }));
    EXPECT_TRUE(kept);
    EXPECT_EQ(sent(), QStringList());

    const std::pair<std::vector<QCheckBox*>, QStringList> rounds[] = {
        {{}, {}},
        {{dialog->Leech}, {"LEECH"}},
        // Every box, the site operator's included: that flag is still never sent.
        {{dialog->Disabled, dialog->Kolvane, dialog->Useredit, dialog->Nuke, dialog->Color, dialog->GroupOp,
          dialog->Kill, dialog->Beta, dialog->Leech, dialog->Quiet},
         {"DISABLED", "USEREDIT", "NUKE", "COLOR", "GROUPOP", "KILL", "BETA", "LEECH", "QUIET"}},
    };
    for (const auto& round : rounds) {
        const auto& ticked = round.first;
        const auto& yes = round.second;
        prompts.confirmAnswers = {true};
        bool clearAtOpening = false;
        EXPECT_FALSE(execWith([&] {
            clearAtOpening = allClear();
            for (QCheckBox* box : ticked)
                box->setChecked(true);
            click(dialog->bbSetFlags);
        }));
        EXPECT_TRUE(clearAtOpening);
        EXPECT_EQ(sent(), chflags("newbie", yes));
    }
    EXPECT_EQ(prompts.confirms.last(), "Really set these flags for newbie?");
    EXPECT_TRUE(prompts.errors.isEmpty()) << prompts.errors.join('\n').toStdString();
    EXPECT_TRUE(
        userRecord("newbie").contains("Flags      : DISABLED USEREDIT NUKE COLOR GROUPOP KILL BETA LEECH QUIET"));
}

TEST_F(FlagsTest, ARefusedLineClosesTheDialogAndTheConsoleTakesInputAgain)
{
    logInWithDialog(QStringLiteral("siteop")); // the daemon will not let the operator disable himself
    prompts.confirmAnswers = {true};
    EXPECT_FALSE(execWith([&] {
        dialog->Disabled->setChecked(true);
        click(dialog->bbSetFlags);
    }));
    EXPECT_EQ(sent(), QStringList({"SITE CHFLAG siteop DISABLED YES"}));
    ASSERT_EQ(prompts.errors.size(), 1);
    EXPECT_TRUE(prompts.errors[0].startsWith("550 You cannot lock yourself out")) << prompts.errors[0].toStdString();
    EXPECT_TRUE(allClear());
    control<QComboBox>("UserList")->clearEditText();
    QTest::keyClicks(control<QComboBox>("UserList"), QStringLiteral("pal"));
    EXPECT_EQ(control<QComboBox>("UserList")->currentText(), "pal") << "nothing holds the console any more";
}

TEST_F(FlagsTest, TheConsoleStaysStillWhileTheLinesGo)
{
    logInWithDialog(QStringLiteral("newbie"));
    bool shownDuring = false;
    QString captionDuring;
    duringTheWait([&] {
        shownDuring = dialog->isVisible();
        captionDuring = dialog->bbSetFlags->text();
        QTest::keyClicks(control<QComboBox>("UserList"), QStringLiteral("zz"));
        click(control<QPushButton>("bbSetFlags"));
        click(dialog->Nuke); // the lines are made; the boxes stand still until they have gone
    });
    prompts.confirmAnswers = {true, true};
    execWith([&] { click(dialog->bbSetFlags); });
    EXPECT_TRUE(shownDuring) << "up, for its CANCEL";
    EXPECT_EQ(captionDuring, "CANCEL");
    EXPECT_EQ(prompts.confirms.size(), 1);
    EXPECT_EQ(control<QComboBox>("UserList")->currentText(), "newbie");
    EXPECT_EQ(sent(), chflags("newbie", {}));
    EXPECT_TRUE(allClear());
    EXPECT_EQ(dialog->bbSetFlags->text(), "SET FLAGS");
}

} // namespace
