#pragma once

// A console on the offscreen platform with one site, "sim", in its site book, for end-to-end tests against
// quillon-sim (tests/common/SimProcess.h). Controls are driven as the operator drives them.

#include "admin/Flags.h"
#include "common/ScriptedPrompts.h"
#include "common/SimProcess.h"
#include "common/Watchdog.h"
#include "platform/SettingsStore.h"
#include "shell/FilePage.h"
#include "shell/GroupPage.h"
#include "shell/InfoPage.h"
#include "shell/Main.h"
#include "shell/PageControl.h"
#include "shell/ReplyRouter.h"
#include "shell/UserPage.h"
#include "sitebook/Diamond.h"
#include "sitebook/SiteBook.h"
#include "sitebook/Sites.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QPushButton>
#include <QTabBar>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <functional>
#include <memory>

class ConsoleTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        watchdog_ = std::make_unique<TestWatchdog>([this] {
            if (form)
                form->session().cancel();
        });
    }

    void TearDown() override
    {
        if (form)
            form->close();
        form.reset();
        watchdog_.reset();
    }

    // A console whose site book holds the site "sim" for the given daemon, picked in the main window. The site is
    // plain FTP in active mode unless the test says otherwise.
    // Adds (or replaces) a site of the book for a daemon on this port: plain FTP in active mode, as siteop, unless
    // adjust says otherwise.
    static void addSite(TSettingsStore& store, const std::string& name, quint16 port,
                        const std::string& password = "quillon",
                        const std::function<void(SiteBook::Record&)>& adjust = nullptr)
    {
        TDiamond cipher;
        cipher.SetKey(std::string(DiamondConsoleKey));
        SiteBook::Record site;
        site.host = "127.0.0.1";
        site.port = std::to_string(port);
        site.login = "siteop";
        site.password = password;
        if (adjust)
            adjust(site);
        SiteBook::save(store, cipher, name, site);
    }

    // A console whose site book holds the site "sim" for the given daemon, picked in the main window. The site is
    // plain FTP in active mode unless the test says otherwise.
    void startConsole(quint16 port, const std::string& password = "quillon",
                      const std::function<void(SiteBook::Record&)>& adjust = nullptr)
    {
        const std::string path = TSettingsStore::defaultPath();
        QFile::remove(QString::fromStdString(path));
        {
            TSettingsStore store(path);
            addSite(store, "sim", port, password, adjust);
        }
        form = std::make_unique<TMainForm>();
        form->CreateDialogs();               // as the program start makes them
        form->session().setQuitTimeout(300); // a daemon told to stall never answers QUIT either
        form->show();
        ASSERT_EQ(control<QComboBox>("SiteName")->count(), 1);
        control<QComboBox>("SiteName")->setCurrentIndex(0);
        emit control<QComboBox>("SiteName")->activated(0);
        ASSERT_TRUE(control<QPushButton>("bbLogin")->isEnabled());
    }

    void click(QAbstractButton* button) { QTest::mouseClick(button, Qt::LeftButton); }

    // The console's control of this objectName, as the operator knows it; the test fails when there is none.
    template <class Control>
    Control* control(const char* name) const
    {
        auto* found = form->findChild<Control*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << "no control " << name;
        return found;
    }

    void clickTab(QWidget* page)
    {
        auto* pages = control<TPageControl>("PageControl1");
        QTest::mouseClick(pages->tabBar(), Qt::LeftButton, {}, pages->tabBar()->tabRect(pages->indexOf(page)).center());
    }
    void clickTab(const char* page) { clickTab(control<QWidget>(page)); }

    // The settings store as another program sees it while the console runs, opened afresh for each use.
    TSettingsStore& store()
    {
        store_ = std::make_unique<TSettingsStore>(TSettingsStore::defaultPath());
        return *store_;
    }

    // The cipher the console keeps its passwords with.
    const TDiamond& consoleCipher()
    {
        if (!cipher_) {
            cipher_ = std::make_unique<TDiamond>();
            cipher_->SetKey(std::string(DiamondConsoleKey));
        }
        return *cipher_;
    }

    // The session the console is a view of, and the user and group lists its reply router gathers.
    TSiteSession& session() const { return form->session(); }
    TListGatherer& lists() const { return control<TReplyRouter>("ReplyRouter")->lists(); }

    // The node below parent (the invalid index: the root level) whose text is text; the invalid index for none.
    QModelIndex child(const QModelIndex& parent, const QString& text)
    {
        const QAbstractItemModel* tree = control<TFileTreeView>("TreeView1")->model();
        for (int i = 0; i < tree->rowCount(parent); ++i)
            if (tree->index(i, 0, parent).data().toString() == text)
                return tree->index(i, 0, parent);
        return {};
    }

    void doubleClick(const QModelIndex& node)
    {
        control<TFileTreeView>("TreeView1")->scrollTo(node);
        const QPoint at = control<TFileTreeView>("TreeView1")->visualRect(node).center();
        QTest::mouseClick(control<TFileTreeView>("TreeView1")->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(control<TFileTreeView>("TreeView1")->viewport(), Qt::LeftButton, {}, at);
    }

    // Runs act once the client is waiting inside the operation that the next step starts (and, when given, the
    // reply has got as far as ready says). act runs nested in that wait, as an operator's click would.
    void duringTheWait(
        std::function<void()> act, std::function<bool()> ready = [] { return true; })
    {
        // Only the pending timer holds the poll: once it acts, or the console goes, the poll is freed.
        auto poll = std::make_shared<std::function<void()>>();
        *poll = [this, act, ready, self = std::weak_ptr(poll)] {
            if (form->session().busy() && ready())
                act();
            else if (auto next = self.lock())
                QTimer::singleShot(5, form.get(), [next] { (*next)(); }); // stops with the console
        };
        QTimer::singleShot(0, form.get(), [poll] { (*poll)(); });
    }

    QString panel(int i) const { return control<TStatusBar>("StatusBar1")->panelText(i); }

    // Logs in to a fresh quillon-sim (started with extra options) and shows the page of this objectName; adjust
    // changes the site's record first.
    void online(SimProcess& sim, const char* page = nullptr,
                const std::function<void(SiteBook::Record&)>& adjust = nullptr)
    {
        startConsole(sim.port, "quillon", adjust);
        click(control<QPushButton>("bbLogin"));
        ASSERT_TRUE(session().online()) << prompts.errors.join('\n').toStdString();
        if (page)
            clickTab(page);
    }

    ScriptedPrompts prompts;
    std::unique_ptr<TMainForm> form;

private:
    std::unique_ptr<TestWatchdog> watchdog_;
    std::unique_ptr<TSettingsStore> store_;
    std::unique_ptr<TDiamond> cipher_;
};
