// The prompts service, the standard error box and the handler guard.

#include "gui/Prompts.h"
#include "common/ScriptedPrompts.h"
#include "common/WhenModal.h"
#include "gui/Guard.h"
#include "platform/Exceptions.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QFontMetrics>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <functional>
#include <stdexcept>

namespace {

TEST(ErrorBoxText, AppendsAFullStopOnlyAfterACharacterThatSortsAfterIt)
{
    const std::pair<const char*, const char*> rows[] = {
        {"Not Connected", "Not Connected."},
        {"Login first you moron!", "Login first you moron!"}, // '!' sorts before '.'
        {"Done...", "Done..."},
        {"550 No such file\r\n", "550 No such file\r\n"}, // a reply line ends in LF, which sorts before '.'
        {"ends in a slash/", "ends in a slash/."},
        {"ends in a dash -", "ends in a dash -"},
        {"10061:Connection refused", "10061:Connection refused."},
        {"", ""},
    };
    for (const auto& [message, shown] : rows)
        EXPECT_EQ(ErrorBoxText(QString::fromLatin1(message)), QString::fromLatin1(shown)) << message;
}

TEST(ExceptionText, ShowsOwnTextsAsUtf8AndDaemonBytesAsOem)
{
    EXPECT_EQ(ExceptionText(Exception("Caf\xc3\xa9")), QStringLiteral("Caf\u00e9"));
    EXPECT_EQ(ExceptionText(Exception("550 \xc9\xcd\xbb")), QStringLiteral("550 \u2554\u2550\u2557"));
    EXPECT_EQ(ExceptionText(Exception(std::string("a\0b", 3))).size(), 3) << "a NUL does not cut the message";
    EXPECT_EQ(ExceptionText(std::runtime_error("plain")), "plain");
}

TEST(Guarded, AnExceptionEndsTheHandlerAndIsShownThenTheProgramGoesOn)
{
    ScriptedPrompts prompts;
    bool after = false;
    QPushButton button;
    QObject::connect(&button, &QPushButton::clicked, [&] {
        Guarded([&] {
            throw Exception("Socket readln aborted");
            after = true;
        });
    });
    QTest::mouseClick(&button, Qt::LeftButton);
    QTest::mouseClick(&button, Qt::LeftButton);
    EXPECT_FALSE(after);
    EXPECT_EQ(prompts.errors, QStringList({"Socket readln aborted.", "Socket readln aborted."}));

    Guarded([] { throw 42; });
    EXPECT_EQ(prompts.errors.size(), 3) << "even a foreign exception is stopped and shown";

    // The message first as it would be shown alone, then the hint on the very next line.
    Guarded([] { throw EHintedError("530 Login incorrect.\r\n", "Check the password."); });
    Guarded([] { throw EHintedError("Connection Failed: connection refused", "Check the port."); });
    EXPECT_EQ(prompts.errors.mid(3), QStringList({"530 Login incorrect.\nCheck the password.",
                                                  "Connection Failed: connection refused.\nCheck the port."}));
}

// One test per dialog kind drives the real dialog.
class RealPrompts : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetPrompts(nullptr);
        SetApplicationTitle(QStringLiteral("Kolvane"));
    }
    // Runs act on the modal dialog as soon as it is up.
    static void whenModal(std::function<void(QWidget*)> act) { ::whenModal(qApp, std::move(act)); }
};

TEST_F(RealPrompts, ConfirmGoesOnOnlyWithYes)
{
    QString caption;
    whenModal([&](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        ASSERT_NE(box, nullptr);
        caption = box->windowTitle();
        EXPECT_EQ(box->icon(), QMessageBox::Question);
        EXPECT_EQ(box->text(), "Really?");
        box->button(QMessageBox::Yes)->click();
    });
    EXPECT_TRUE(Prompts().Confirm(QStringLiteral("Really?")));
    EXPECT_EQ(caption, "Confirm");
    whenModal([](QWidget* w) { qobject_cast<QMessageBox*>(w)->button(QMessageBox::No)->click(); });
    EXPECT_FALSE(Prompts().Confirm(QStringLiteral("Really?")));
}

TEST_F(RealPrompts, InputBoxReturnsTheTextOnOkAndTheDefaultOnCancel)
{
    whenModal([](QWidget* w) {
        EXPECT_EQ(w->windowTitle(), "GiVE CREDiT");
        auto* field = w->findChild<QLineEdit*>(QStringLiteral("InputField"));
        ASSERT_NE(field, nullptr);
        EXPECT_EQ(field->text(), "0");
        EXPECT_EQ(field->maxLength(), 255);
        field->selectAll();
        QTest::keyClicks(field, QStringLiteral("25"));
        QTest::keyClick(field, Qt::Key_Return);
    });
    EXPECT_EQ(
        Prompts().InputBox(QStringLiteral("GiVE CREDiT"), QStringLiteral("Give bob how many MB?"), QStringLiteral("0")),
        "25");
    whenModal([](QWidget* w) {
        QTest::keyClicks(w->findChild<QLineEdit*>(QStringLiteral("InputField")), QStringLiteral("typed"));
        qobject_cast<QDialog*>(w)->reject();
    });
    EXPECT_EQ(Prompts().InputBox(QStringLiteral("X"), QStringLiteral("Y"), QStringLiteral("dflt")), "dflt");
}

TEST_F(RealPrompts, NoticeAndErrorBoxCarryTheApplicationTitle)
{
    QString noticeCaption, errorCaption;
    QMessageBox::Icon errorIcon = QMessageBox::NoIcon;
    whenModal([&](QWidget* w) {
        noticeCaption = w->windowTitle();
        qobject_cast<QMessageBox*>(w)->accept();
    });
    Prompts().Notice(QStringLiteral("Login first you moron!"));
    int width = 0;
    whenModal([&](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        errorCaption = box->windowTitle();
        errorIcon = box->icon();
        width = box->width();
        box->accept();
    });
    SetApplicationTitle(QStringLiteral("quillon-sim ADMiN by Drummock"));
    Prompts().ErrorBox(QStringLiteral("Not Connected."));
    EXPECT_EQ(noticeCaption, "Kolvane");
    EXPECT_EQ(errorCaption, "quillon-sim ADMiN by Drummock");
    EXPECT_EQ(errorIcon, QMessageBox::Critical);
    EXPECT_GT(width, QFontMetrics(QApplication::font()).horizontalAdvance(errorCaption) + 100)
        << "a short message still leaves room for the whole caption";
}

} // namespace
