// Site passwords in the desktop's secret store. These tests need one: ctest runs them in a session of their own with
// a real gnome-keyring (tests/sitebook/with-keyring.sh); anywhere else they skip.

#include "sitebook/Keyring.h"
#include "common/ScriptedPrompts.h"
#include "ftp/NMFtp.h"
#include "platform/SettingsStore.h"
#include "shell/Main.h"
#include "sitebook/Diamond.h"
#include "sitebook/SiteBook.h"
#include "sitebook/Sites.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

namespace {

std::string stored(const std::string& site, const char* value)
{
    TSettingsStore store(TSettingsStore::defaultPath());
    store.OpenKey("Drummock\\SiTES", false);
    return store.ReadString(site, value, "<none>");
}

TEST(Keyring, PasswordsMoveToTheSecretStoreWhenASiteIsSaved)
{
    if (!Keyring::reachable())
        GTEST_SKIP() << "no secret store in this session";
    ScriptedPrompts prompts;
    QFile::remove(QString::fromStdString(TSettingsStore::defaultPath()));
    TDiamond cipher;
    cipher.SetKey(std::string(DiamondConsoleKey));
    {
        // A record from before: its password enciphered in the record. It keeps working as it is.
        TSettingsStore store(TSettingsStore::defaultPath());
        store.OpenKey("Drummock\\SiTES\\old", true);
        store.WriteString("", "HostName", "10.0.0.1");
        store.WriteString("", "PassWord", cipher.EncipherString("before"));
    }
    auto form = std::make_unique<TMainForm>();
    form->CreateDialogs();
    form->SiteName->setCurrentIndex(form->SiteName->findText("old"));
    emit form->SiteName->activated(form->SiteName->currentIndex());
    EXPECT_EQ(form->NMFTP1->Password, "before");
    EXPECT_NE(stored("old", "PassWord"), "") << "not moved until the operator saves the site";

    // Saved in the dialog, the password goes to the secret store and the record only says so.
    TSiteForm* dialog = form->SiteForm;
    dialog->openOn(QStringLiteral("old"));
    dialog->Login->setText(QStringLiteral("op"));
    QTest::mouseClick(dialog->bbSave, Qt::LeftButton);
    EXPECT_TRUE(prompts.notices.isEmpty()) << prompts.notices.join('|').toStdString();
    EXPECT_EQ(stored("old", "PassWord"), "");
    EXPECT_EQ(stored("old", "PassWordIn"), "keyring");
    EXPECT_EQ(Keyring::fetch("old").value_or("<none>"), "before");
    dialog->close();
    EXPECT_EQ(form->NMFTP1->Password, "before") << "and the console still logs in with it";

    // Deleting the site forgets its password in the secret store too.
    dialog->openOn(QStringLiteral("old"));
    QTest::mouseClick(dialog->bbDelete, Qt::LeftButton);
    EXPECT_FALSE(Keyring::fetch("old").has_value());
    form->close();
}

} // namespace
