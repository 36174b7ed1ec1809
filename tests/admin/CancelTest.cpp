// Ending a dialog's command sequence from the dialog while the daemon keeps a line waiting: Escape, the dialog's
// CANCEL, the close box. The daemon stalls on the second line of each sequence and logs every line it hears, so a
// line sent after the cancel would show in its log.

#include "AdminConsole.h"

#include "admin/Flags.h"
#include "admin/NewUser.h"
#include "admin/SpinEdit.h"
#include "admin/UserEdit.h"
#include "common/WhenModal.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QSignalSpy>

namespace {

// Far beyond what a cancel may take, yet short enough that a cancel that does not work fails here rather than
// hanging the test.
constexpr int ReplyTimeoutSeconds = 10;
constexpr int CancelTakesAtMostMs = 3000;

class CancelTest : public AdminConsole {
protected:
    CancelTest() : AdminConsole({"--stall-on", "SITE CHPASS", "--stall-on", "SITE CHFLAG newbie USEREDIT"}) {}

    // Logs in and types the user into the user box, as the operator picks one.
    void logInWithTimeout(const QString& user)
    {
        logIn(QString(), [](SiteBook::Record& site) { site.replyTimeout = ReplyTimeoutSeconds; });
        QTest::keyClicks(control<QComboBox>("UserList"), user);
    }

    // Runs act once the daemon has heard line and the client waits for its answer; elapsed then times from act
    // to the end of the wait.
    void onceHeard(const QString& line, std::function<void()> act)
    {
        duringTheWait(
            [this, act] {
                cancelled.start();
                act();
            },
            [this, line] { return sim.commands().contains(line); });
    }

    // The lines the daemon heard after the sequence ended, given time to hear a late one.
    QStringList heardAfterwards()
    {
        QTest::qWait(300);
        return sent();
    }

    QElapsedTimer cancelled;
};

TEST_F(CancelTest, EscapeEndsAStalledUpdateTheRestStaysUnsentAndTheNoticeSaysWhatWent)
{
    logInWithTimeout(QStringLiteral("newbie"));
    prompts.confirmAnswers = {true};
    QString captionDuring;
    bool removeIpDuring = true;
    qint64 took = -1;
    whenModal(
        form.get(),
        [&](QWidget* modal) {
            auto* dialog = static_cast<TUserForm*>(modal);
            pick(*dialog, QStringLiteral("Trial"));
            QTest::keyClicks(dialog->Password, QStringLiteral("s3cret"));
            QTest::keyClick(dialog->MaxLogins, Qt::Key_Up);
            retype(dialog->Ident2, QStringLiteral("nb@home"));
            onceHeard(QStringLiteral("SITE CHPASS newbie s3cret"), [&, dialog] {
                captionDuring = dialog->bbUpdate->text();
                removeIpDuring = dialog->bbRemoveIP->isEnabled();
                QTest::keyClick(dialog, Qt::Key_Escape);
            });
            click(dialog->bbUpdate);
            took = cancelled.elapsed();
        },
        "UserForm");
    click(control<QPushButton>("bbModifyUser")); // returns once the dialog has closed

    EXPECT_EQ(captionDuring, "CANCEL");
    EXPECT_FALSE(removeIpDuring) << "only the way out takes clicks while the lines go";
    EXPECT_GE(took, 0);
    EXPECT_LT(took, CancelTakesAtMostMs);
    EXPECT_TRUE(prompts.errors.isEmpty()) << "a cancel is no error: " << prompts.errors.join('\n').toStdString();
    ASSERT_EQ(prompts.notices.size(), 1);
    EXPECT_EQ(prompts.notices[0], "Cancelled. These lines were sent:\n"
                                  "SITE CHGRP newbie Trial\n"
                                  "SITE CHPASS newbie ***** (cancelled while waiting for its answer)\n"
                                  "Not sent:\n"
                                  "SITE CHLOGINS newbie 1\n"
                                  "SITE ADDIDENTD newbie nb@home");
    EXPECT_EQ(heardAfterwards(), QStringList({"SITE CHGRP newbie Trial", "SITE CHPASS newbie s3cret"}));
    EXPECT_FALSE(session().busy());
}

TEST_F(CancelTest, CancelInTheNewUserDialogKeepsItsFieldsAndCopesWithTheConnectionClosing)
{
    logInWithTimeout(QString());
    // Whoever makes the dialog decides what a cancel does: here it closes the control connection, so that no late
    // reply can become the next command's.
    TUserContext context{session(), form->operationGate(), QString(), lists().GroupNames};
    context.cancelWait = [this] { session().cancel(); };
    TNewUserForm dialog(context, form.get());
    QSignalSpy added(&dialog, &TNewUserForm::userAdded);
    dialog.show();
    QTest::keyClicks(dialog.UserName, QStringLiteral("rookie"));
    pick(dialog, QStringLiteral("Friends"));
    QTest::keyClicks(dialog.Password, QStringLiteral("pw"));
    QTest::keyClick(dialog.Ratio, Qt::Key_Up);
    prompts.confirmAnswers = {true};
    QString captionDuring;
    onceHeard(QStringLiteral("SITE CHPASS rookie pw"), [&] {
        captionDuring = dialog.bbUpdate->text();
        click(dialog.bbUpdate);
    });
    click(dialog.bbUpdate);
    const qint64 took = cancelled.elapsed();

    EXPECT_EQ(captionDuring, "CANCEL");
    EXPECT_LT(took, CancelTakesAtMostMs);
    EXPECT_FALSE(session().connected());
    EXPECT_TRUE(dialog.isVisible()) << "CANCEL ends the lines, not the dialog";
    EXPECT_EQ(dialog.bbUpdate->text(), "ADD USER");
    EXPECT_TRUE(dialog.Password->isEnabled() && dialog.Password->text() == "pw");
    ASSERT_EQ(added.count(), 1) << "ADDUSER went, so the name is listed";
    EXPECT_EQ(added[0][0].toString(), "rookie");
    EXPECT_TRUE(prompts.errors.isEmpty()) << prompts.errors.join('\n').toStdString();
    EXPECT_EQ(prompts.notices, QStringList({"Cancelled. These lines were sent:\n"
                                            "SITE ADDUSER rookie Friends\n"
                                            "SITE CHPASS rookie ***** (cancelled while waiting for its answer)\n"
                                            "Not sent:\n"
                                            "SITE CHRATIO rookie 1"}));
    EXPECT_EQ(heardAfterwards(), QStringList({"SITE ADDUSER rookie Friends", "SITE CHPASS rookie pw"}));

    // With the connection gone, the next try says so and sends nothing.
    prompts.confirmAnswers = {true};
    click(dialog.bbUpdate);
    ASSERT_EQ(prompts.errors.size(), 1);
    EXPECT_TRUE(prompts.errors[0].startsWith("Not Connected")) << prompts.errors[0].toStdString();
    EXPECT_TRUE(dialog.isVisible());
}

TEST_F(CancelTest, CancelInTheFlagsDialogEndsTheLinesAndClosesIt)
{
    logInWithTimeout(QStringLiteral("newbie"));
    prompts.confirmAnswers = {true};
    QString captionDuring;
    bool boxesStill = false;
    qint64 took = -1;
    TFlagForm* dialog = control<TFlagForm>("FlagForm");
    whenModal(
        form.get(),
        [&](QWidget*) {
            dialog->Leech->setChecked(true);
            onceHeard(QStringLiteral("SITE CHFLAG newbie USEREDIT NO"), [&] {
                captionDuring = dialog->bbSetFlags->text();
                boxesStill = !dialog->Leech->isEnabled();
                click(dialog->bbSetFlags);
            });
            click(dialog->bbSetFlags);
            took = cancelled.elapsed();
        },
        "FlagForm");
    click(control<QPushButton>("bbSetFlags"));

    EXPECT_EQ(captionDuring, "CANCEL");
    EXPECT_TRUE(boxesStill) << "the boxes keep what is being sent";
    EXPECT_LT(took, CancelTakesAtMostMs);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_FALSE(dialog->Leech->isChecked()) << "closed as every closing does: the boxes clear";
    EXPECT_EQ(dialog->bbSetFlags->text(), "SET FLAGS");
    EXPECT_TRUE(prompts.errors.isEmpty()) << prompts.errors.join('\n').toStdString();
    EXPECT_EQ(prompts.notices,
              QStringList({"Cancelled. These lines were sent:\n"
                           "SITE CHFLAG newbie DISABLED NO\n"
                           "SITE CHFLAG newbie USEREDIT NO (cancelled while waiting for its answer)\n"
                           "Not sent:\n"
                           "SITE CHFLAG newbie NUKE NO\nSITE CHFLAG newbie COLOR NO\nSITE CHFLAG newbie GROUPOP NO\n"
                           "SITE CHFLAG newbie KILL NO\nSITE CHFLAG newbie BETA NO\nSITE CHFLAG newbie LEECH YES\n"
                           "SITE CHFLAG newbie QUIET NO"}));
    EXPECT_EQ(heardAfterwards(), QStringList({"SITE CHFLAG newbie DISABLED NO", "SITE CHFLAG newbie USEREDIT NO"}));
    // The console takes input again.
    control<QComboBox>("UserList")->clearEditText();
    QTest::keyClicks(control<QComboBox>("UserList"), QStringLiteral("pal"));
    EXPECT_EQ(control<QComboBox>("UserList")->currentText(), "pal");
}

} // namespace
