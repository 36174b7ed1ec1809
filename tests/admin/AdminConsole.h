#pragma once

// A console logged in to a quillon-sim of the test's own, with the USER MAiNT page showing (so that the user and
// group lists are gathered), for driving the user dialogs end to end.

#include "common/ScriptedPrompts.h"
#include "common/SimProcess.h"
#include "ftp/NMFtp.h"
#include "platform/SettingsStore.h"
#include "shell/Main.h"
#include "shell/PageControl.h"
#include "sitebook/Diamond.h"
#include "sitebook/SiteBook.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QPushButton>
#include <QComboBox>
#include <QFile>
#include <QPlainTextEdit>
#include <QTabBar>
#include <QTest>
#include <QTimer>
#include <functional>
#include <ostream>
#include <memory>

// Readable failures for the command lines and texts compared.
inline void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}

class AdminConsole : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (form)
            form->close();
        form.reset();
    }

    void startConsole(quint16 port)
    {
        const std::string path = TSettingsStore::defaultPath();
        QFile::remove(QString::fromStdString(path));
        {
            TSettingsStore store(path);
            TDiamond cipher;
            cipher.SetKey(std::string(DiamondConsoleKey));
            SiteBook::save(store, cipher, "sim", {"127.0.0.1", std::to_string(port), "siteop", "quillon"});
        }
        form = std::make_unique<TMainForm>();
        form->QuitTimeout = 300;
        form->show();
        ASSERT_EQ(form->SiteName->count(), 1);
        form->SiteName->setCurrentIndex(0);
        emit form->SiteName->activated(0);
    }

    // Logged in, on the USER MAiNT page, with user selected as if typed into the user box.
    void logIn(quint16 port, const QString& user)
    {
        startConsole(port);
        click(form->bbLogin);
        ASSERT_TRUE(prompts.errors.isEmpty()) << prompts.errors.join('\n').toStdString();
        QTabBar* bar = form->PageControl1->tabBar();
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(form->PageControl1->indexOf(form->UserSheet)).center());
        ASSERT_EQ(form->PageControl1->currentWidget(), form->UserSheet);
        ASSERT_FALSE(form->GroupNames.isEmpty());
        form->UserList->setEditText(user);
    }

    static void click(QAbstractButton* button) { QTest::mouseClick(button, Qt::LeftButton); }

    // Runs act nested in the wait of the next client operation, as a click that falls inside it would.
    void duringTheWait(std::function<void()> act)
    {
        auto poll = std::make_shared<std::function<void()>>();
        TMainForm* console = form.get();
        *poll = [console, act, poll] {
            if (console->clientBusy())
                act();
            else
                QTimer::singleShot(1, console, *poll);
        };
        QTimer::singleShot(0, console, *poll);
    }

    // The daemon's record of a user, as the page's text box shows it.
    QString userRecord(const std::string& user)
    {
        form->UserMemo->clear();
        form->NMFTP1->SendCommand("SITE USER " + user);
        return form->UserMemo->toPlainText();
    }

    ScriptedPrompts prompts;
    std::unique_ptr<TMainForm> form;
};
