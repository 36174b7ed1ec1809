// The console's look under a dark desktop theme: the desktop's colours are used whole, so that no control is left
// with the theme's light text on a light ground of the console's own, and the reply boxes stay light on near-black.

#include "gui/Look.h"
#include "common/ScriptedPrompts.h"
#include "shell/FilePage.h"
#include "shell/GroupPage.h"
#include "shell/InfoPage.h"
#include "shell/Main.h"
#include "shell/PageControl.h"
#include "shell/UserPage.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTabBar>
#include <QTest>

namespace {

double lightness(const QColor& c)
{
    return 0.2126 * c.redF() + 0.7152 * c.greenF() + 0.0722 * c.blueF();
}

// Text and its ground differ enough to be read.
void expectReadable(const QWidget* w, QPalette::ColorRole text, QPalette::ColorRole ground)
{
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        const QPalette& p = w->palette();
        EXPECT_GT(std::abs(lightness(p.color(group, text)) - lightness(p.color(group, ground))), 0.35)
            << w->metaObject()->className() << " " << w->objectName().toStdString() << " group " << int(group);
    }
}

// The desktop's dark palette, as a dark theme (Adwaita-dark, say) hands it to the application.
QPalette darkPalette()
{
    QPalette dark;
    const std::pair<QPalette::ColorRole, QColor> roles[] = {
        {QPalette::Window, QColor(0x24, 0x24, 0x24)},
        {QPalette::WindowText, QColor(0xee, 0xee, 0xee)},
        {QPalette::Base, QColor(0x1e, 0x1e, 0x1e)},
        {QPalette::AlternateBase, QColor(0x2a, 0x2a, 0x2a)},
        {QPalette::Text, QColor(0xee, 0xee, 0xee)},
        {QPalette::Button, QColor(0x35, 0x35, 0x35)},
        {QPalette::ButtonText, QColor(0xee, 0xee, 0xee)},
        {QPalette::Highlight, QColor(0x35, 0x84, 0xe4)},
        {QPalette::HighlightedText, QColor(0xff, 0xff, 0xff)},
        {QPalette::ToolTipBase, QColor(0x30, 0x30, 0x30)},
        {QPalette::ToolTipText, QColor(0xee, 0xee, 0xee)},
        {QPalette::PlaceholderText, QColor(0x99, 0x99, 0x99)},
    };
    for (const auto& [role, colour] : roles)
        dark.setColor(role, colour);
    for (const QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        dark.setColor(QPalette::Disabled, role, QColor(0x80, 0x80, 0x80));
    return dark;
}

// How far the most different pixel of an empty check box's box stands from the window's colour.
double boxContrast(QCheckBox& box)
{
    const QImage shot = box.grab().toImage();
    QStyleOptionButton option;
    option.initFrom(&box);
    const QRect indicator = box.style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, &box);
    const double ground = lightness(box.palette().color(QPalette::Window));
    double most = 0;
    for (int y = indicator.top(); y <= indicator.bottom(); ++y)
        for (int x = indicator.left(); x <= indicator.right(); ++x)
            most = std::max(most, std::abs(lightness(shot.pixelColor(x, y)) - ground));
    return most;
}

TEST(LookTest, AnEmptyCheckBoxIsSeenUnderALightAndADarkTheme)
{
    QApplication& app = *qobject_cast<QApplication*>(QCoreApplication::instance());
    const QPalette light = QApplication::palette();
    for (const QPalette& theme : {darkPalette(), light}) {
        QApplication::setPalette(theme);
        ApplyConsoleLook(app);
        QCheckBox box(QStringLiteral("STAY ONLiNE"));
        box.resize(97, 17);
        box.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&box));
        EXPECT_GT(boxContrast(box), 0.3) << "the window's lightness " << lightness(theme.color(QPalette::Window));
    }
    QApplication::setPalette(light);
}

TEST(LookTest, ADarkDesktopThemeKeepsEveryControlReadable)
{
    const QPalette dark = darkPalette();
    QApplication::setPalette(dark);

    ApplyConsoleLook(*qobject_cast<QApplication*>(QCoreApplication::instance()));
    EXPECT_EQ(QApplication::palette().color(QPalette::Window), dark.color(QPalette::Window))
        << "the desktop's colours are kept, not mixed with the console's own";

    ScriptedPrompts prompts;
    TMainForm form;
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    for (const QAbstractButton* b : form.findChildren<QAbstractButton*>())
        expectReadable(b, QPalette::ButtonText, QPalette::Button);
    for (const QLabel* l : form.findChildren<QLabel*>())
        expectReadable(l, QPalette::WindowText, QPalette::Window);
    expectReadable(form.findChild<TPageControl*>("PageControl1")->tabBar(), QPalette::ButtonText, QPalette::Button);
    expectReadable(form.findChild<QComboBox*>("SiteName"), QPalette::ButtonText, QPalette::Button);
    expectReadable(form.findChild<TFileTreeView*>("TreeView1"), QPalette::Text, QPalette::Base);

    // The reply boxes keep their terminal colours under any theme.
    for (const QPlainTextEdit* box :
         {form.findChild<QPlainTextEdit*>("StatusMemo"), form.findChild<QPlainTextEdit*>("InfoMemo"),
          form.findChild<QPlainTextEdit*>("FileMemo")}) {
        EXPECT_LT(lightness(box->palette().color(QPalette::Base)), 0.1) << box->objectName().toStdString();
        EXPECT_GT(lightness(box->palette().color(QPalette::Text)), 0.7) << box->objectName().toStdString();
    }
    form.close();
}

} // namespace
