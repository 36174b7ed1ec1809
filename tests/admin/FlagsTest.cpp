// The flags dialog: made once and shown again, nine CHFLAG lines per SET FLAGS, and never left hidden but modal.

#include "AdminConsole.h"

#include "admin/Flags.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>

namespace {

class FlagsTest : public AdminConsole {
protected:
    void makeDialog()
    {
        dialog = new TFlagForm(form.get());
        form->FlagForm = dialog;
    }

    // Shows the dialog modally, as the page's SET FLAGS does, and runs act inside. Returns whether the dialog was
    // still up once act had run (it is then closed with EXiT, so that the modal run ends either way).
    bool execWith(const std::function<void()>& act)
    {
        bool stillShown = false;
        QTimer::singleShot(0, dialog, [&] {
            act();
            stillShown = dialog->isVisible();
            if (stillShown)
                click(dialog->bbExit);
        });
        dialog->exec();
        return stillShown;
    }

    QStringList chflags(const QString& user, const QStringList& yes)
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
    form = std::make_unique<TMainForm>();
    makeDialog();
    EXPECT_EQ(dialog->objectName(), "FlagForm");
    EXPECT_EQ(dialog->windowTitle(), "SET FLAGS");
    EXPECT_EQ(dialog->size(), QSize(178, 197));
    EXPECT_EQ(dialog->minimumSize(), dialog->maximumSize()) << "a fixed frame";
    const std::vector<TFlagForm::Flag> flags = dialog->flags();
    ASSERT_EQ(flags.size(), 10u);
    const char* captions[] = {"DiSABLED", "KOLVANE", "USEREDiT", "NUKE",  "COLOR",
                              "GROUPOP",  "KiLL",    "BETA",     "LEECH", "QUiET"};
    for (std::size_t i = 0; i < flags.size(); ++i) {
        const QRect expected(i < 5 ? 8 : 96, 8 + 24 * int(i % 5), 80, 17);
        EXPECT_EQ(flags[i].box->geometry(), expected) << captions[i];
        EXPECT_EQ(flags[i].box->text(), captions[i]);
        EXPECT_FALSE(flags[i].box->isChecked());
        EXPECT_EQ(flags[i].box->isEnabled(), flags[i].box != dialog->Kolvane) << captions[i];
    }
    EXPECT_EQ(dialog->Kolvane->objectName(), "Kolvane");
    EXPECT_EQ(dialog->Label1->text(), "You MUST set ALL flags the way");
    EXPECT_EQ(dialog->Label2->text(), "you want them, or it will reset them!");
    EXPECT_EQ(dialog->Label2->pos(), QPoint(8, 144));
    for (QLabel* line : {dialog->Label1, dialog->Label2})
        EXPECT_LE(line->x() + line->fontMetrics().horizontalAdvance(line->text()), dialog->width())
            << "the warning is read whole: " << line->text().toStdString();
    EXPECT_EQ(dialog->bbExit->text(), "&EXiT");
    EXPECT_EQ(dialog->bbExit->geometry(), QRect(8, 168, 75, 25));
    EXPECT_EQ(dialog->bbSetFlags->text(), "SET FLAGS");
    EXPECT_EQ(dialog->bbSetFlags->geometry(), QRect(96, 168, 75, 25));

    dialog->show();
    QApplication::setActiveWindow(dialog);
    dialog->Disabled->setFocus();
    const std::vector<QWidget*> order = {dialog->Useredit, dialog->Nuke, dialog->Color, dialog->GroupOp,
                                         dialog->Kill,     dialog->Beta, dialog->Leech, dialog->Quiet,
                                         dialog->bbExit,   dialog->bbSetFlags};
    for (QWidget* next : order) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), next) << next->objectName().toStdString();
    }
    dialog->hide();
}

TEST_F(FlagsTest, SetFlagsSendsNineLinesInOrderAndTheNextOpeningStartsClear)
{
    SimProcess sim;
    logIn(sim.port, QStringLiteral("newbie"));
    makeDialog();

    struct Round {
        std::vector<QCheckBox*> ticked;
        QStringList yes;
    };
    const Round rounds[] = {
        {{}, {}},
        {{dialog->Leech}, {"LEECH"}},
        // Every box, the site operator's included: that flag is still never sent.
        {{dialog->Disabled, dialog->Kolvane, dialog->Useredit, dialog->Nuke, dialog->Color, dialog->GroupOp,
          dialog->Kill, dialog->Beta, dialog->Leech, dialog->Quiet},
         {"DISABLED", "USEREDIT", "NUKE", "COLOR", "GROUPOP", "KILL", "BETA", "LEECH", "QUIET"}},
    };
    for (const Round& round : rounds) {
        const qsizetype mark = sim.commands().size();
        prompts.confirmAnswers = {true};
        bool clearAtOpening = false;
        const bool stillShown = execWith([&] {
            clearAtOpening = allClear();
            for (QCheckBox* box : round.ticked)
                box->setChecked(true);
            click(dialog->bbSetFlags);
        });
        EXPECT_TRUE(clearAtOpening);
        EXPECT_FALSE(stillShown);
        EXPECT_EQ(prompts.confirms.last(), "Really set these flags for newbie?");
        EXPECT_EQ(sim.commandsSince(mark), chflags("newbie", round.yes));
        EXPECT_TRUE(allClear());
    }
    EXPECT_TRUE(prompts.errors.isEmpty()) << prompts.errors.join('\n').toStdString();
    EXPECT_TRUE(userRecord("newbie").contains("Flags      : DISABLED USEREDIT NUKE COLOR GROUPOP KILL BETA LEECH QUIET"))
        << form->UserMemo->toPlainText().toStdString();
}

TEST_F(FlagsTest, ExitAndNoSendNothing)
{
    SimProcess sim;
    logIn(sim.port, QStringLiteral("newbie"));
    makeDialog();
    const qsizetype mark = sim.commands().size();

    prompts.confirmAnswers = {false};
    bool kept = false;
    EXPECT_TRUE(execWith([&] {
        dialog->Nuke->setChecked(true);
        click(dialog->bbSetFlags);
        kept = dialog->Nuke->isChecked();
    })) << "No keeps the dialog";
    EXPECT_TRUE(kept) << "and the ticks";
    EXPECT_TRUE(allClear()) << "EXiT cleared them";

    EXPECT_FALSE(execWith([&] {
        dialog->Beta->setChecked(true);
        click(dialog->bbExit);
    }));
    EXPECT_TRUE(allClear());
    EXPECT_EQ(sim.commandsSince(mark), QStringList());
}

TEST_F(FlagsTest, ARefusedLineClosesTheDialogAndTheConsoleTakesInputAgain)
{
    SimProcess sim;
    logIn(sim.port, QStringLiteral("siteop")); // the daemon will not let the operator disable himself
    makeDialog();
    const qsizetype mark = sim.commands().size();
    prompts.confirmAnswers = {true};
    EXPECT_FALSE(execWith([&] {
        dialog->Disabled->setChecked(true);
        dialog->Leech->setChecked(true);
        click(dialog->bbSetFlags);
    }));
    EXPECT_EQ(sim.commandsSince(mark), QStringList({"SITE CHFLAG siteop DISABLED YES"}));
    ASSERT_EQ(prompts.errors.size(), 1);
    EXPECT_TRUE(prompts.errors[0].startsWith("550 You cannot lock yourself out")) << prompts.errors[0].toStdString();
    EXPECT_TRUE(allClear());

    // Nothing holds the console any more.
    form->UserList->clearEditText();
    QTest::keyClicks(form->UserList, QStringLiteral("pal"));
    EXPECT_EQ(form->UserList->currentText(), "pal");

    // Offline the first line fails, and the dialog closes the same way.
    click(form->bbLogOut);
    prompts.confirmAnswers = {true};
    EXPECT_FALSE(execWith([&] { click(dialog->bbSetFlags); }));
    ASSERT_EQ(prompts.errors.size(), 2);
    EXPECT_TRUE(prompts.errors[1].startsWith("Not Connected")) << prompts.errors[1].toStdString();
}

TEST_F(FlagsTest, TheConsoleStaysStillWhileTheLinesGo)
{
    SimProcess sim;
    logIn(sim.port, QStringLiteral("newbie"));
    makeDialog();
    bool hiddenDuring = false;
    int confirmsDuring = -1;
    duringTheWait([&] {
        hiddenDuring = !dialog->isVisible();
        // Typing into the user box, picking another page, pressing SET FLAGS again: none gets through.
        QTest::keyClicks(form->UserList, QStringLiteral("zz"));
        QTest::keyClick(form->UserList, Qt::Key_Backspace);
        click(form->bbSetFlags);
        click(dialog->bbSetFlags);
        confirmsDuring = prompts.confirms.size();
    });
    const qsizetype mark = sim.commands().size();
    prompts.confirmAnswers = {true, true};
    execWith([&] { click(dialog->bbSetFlags); });
    EXPECT_TRUE(hiddenDuring);
    EXPECT_EQ(confirmsDuring, 1);
    EXPECT_EQ(form->UserList->currentText(), "newbie");
    EXPECT_EQ(sim.commandsSince(mark), chflags("newbie", {}));
    EXPECT_TRUE(prompts.errors.isEmpty()) << prompts.errors.join('\n').toStdString();
}

} // namespace
