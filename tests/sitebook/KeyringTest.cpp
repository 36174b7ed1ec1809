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
#include <memory>
#include <sqlite3.h>

namespace {

// The name of a site's password in the secret store, for the book in the default settings store.
std::string bookSecret(const std::string& site)
{
    TSettingsStore store(TSettingsStore::defaultPath());
    return SiteBook::secretName(SiteBook::bookId(store), site);
}

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
    EXPECT_EQ(form->session().client().Password, "before");
    EXPECT_NE(stored("old", "PassWord"), "") << "not moved until the operator saves the site";

    // Saved in the dialog, the password goes to the secret store and the record only says so.
    TSiteForm* dialog = form->findChild<TSiteForm*>("SiteForm");
    // So does the password of the proxy it is now reached through, under a name of its own.
    dialog->openOn(QStringLiteral("old"));
    dialog->Login->setText(QStringLiteral("op"));
    dialog->ConnectVia->setText(QStringLiteral("http://127.0.0.1:3128"));
    dialog->ProxyUser->setText(QStringLiteral("proxyop"));
    dialog->ProxyPassword->setText(QStringLiteral("pr0xy"));
    QTest::mouseClick(dialog->bbSave, Qt::LeftButton);
    EXPECT_TRUE(prompts.notices.isEmpty()) << prompts.notices.join('|').toStdString();
    EXPECT_EQ(stored("old", "PassWord"), "");
    EXPECT_EQ(stored("old", "PassWordIn"), "keyring");
    EXPECT_EQ(Keyring::fetch(bookSecret("old")).value_or("<none>"), "before");
    EXPECT_EQ(stored("old", "ConnectVia"), "http://proxyop@127.0.0.1:3128");
    EXPECT_EQ(stored("old", "ProxyPassWord"), "<none>") << "nothing of it in the record";
    EXPECT_EQ(stored("old", "ProxyPassWordIn"), "keyring");
    EXPECT_EQ(Keyring::fetch(bookSecret("old") + "/proxy").value_or("<none>"), "pr0xy");
    dialog->close();
    emit form->SiteName->activated(form->SiteName->currentIndex()); // the site picked again loads it anew
    EXPECT_EQ(form->session().client().Password, "before") << "and the console still logs in with it";
    EXPECT_EQ(form->session().client().Via.password, "pr0xy");

    // Deleting the site forgets its password in the secret store too.
    dialog->openOn(QStringLiteral("old"));
    prompts.confirmAnswers = {true};
    QTest::mouseClick(dialog->bbDelete, Qt::LeftButton);
    EXPECT_FALSE(Keyring::fetch(bookSecret("old")).has_value());
    EXPECT_FALSE(Keyring::fetch(bookSecret("old") + "/proxy").has_value());
    form->close();
}

// Two site books (two settings stores) of one user: each keeps its own password for a site of the same name, and
// an entry an earlier console kept under the site's name alone goes to one book only.
TEST(Keyring, TwoSiteBooksNeverMeet)
{
    if (!Keyring::reachable())
        GTEST_SKIP() << "no secret store in this session";
    ScriptedPrompts prompts;
    const QByteArray home = qgetenv("XDG_CONFIG_HOME");
    auto book = [&](const char* name) { qputenv("XDG_CONFIG_HOME", home + "/" + name); };
    TDiamond cipher;
    cipher.SetKey(std::string(DiamondConsoleKey));
    auto save = [&](const char* password) {
        TSettingsStore store(TSettingsStore::defaultPath());
        SiteBook::Record site = SiteBook::NewSite();
        site.host = "h";
        site.login = "l";
        site.password = password;
        SiteBook::save(store, cipher, "home", site);
    };
    auto read = [&](const char* site) {
        TSettingsStore store(TSettingsStore::defaultPath());
        return SiteBook::read(store, cipher, site);
    };
    book("a");
    save("first");
    book("b");
    save("second");
    book("a");
    EXPECT_EQ(read("home").password, "first");
    book("b");
    {
        TSettingsStore store(TSettingsStore::defaultPath());
        SiteBook::erase(store, "home");
    }
    book("a");
    EXPECT_EQ(read("home").password, "first") << "deleting the site in the other book left this one's";

    // The old entry: the first book whose record says it is in the secret store takes it over, and a second book
    // finds nothing to claim; a book whose record does not say so never touches it.
    ASSERT_TRUE(Keyring::keep("legacy", "0ld"));
    ASSERT_TRUE(Keyring::keep("other", "theirs"));
    for (const char* name : {"a", "b", "c"}) {
        book(name);
        TSettingsStore store(TSettingsStore::defaultPath());
        for (const char* site : {"legacy", "other"}) {
            store.OpenKey(std::string("\\Drummock\\SiTES\\") + site, true);
            store.WriteString("", "HostName", "h");
            store.WriteString("", "PassWordIn", std::string(name) == "c" ? "" : "keyring");
        }
    }
    book("c");
    EXPECT_EQ(read("other").password, "");
    EXPECT_EQ(Keyring::fetch("other").value_or("<none>"), "theirs");
    book("a");
    EXPECT_EQ(read("legacy").password, "0ld");
    EXPECT_FALSE(Keyring::fetch("legacy").has_value()) << "moved, not copied";
    book("b");
    const SiteBook::Record second = read("legacy");
    EXPECT_EQ(second.password, "");
    EXPECT_FALSE(second.passwordProblem.empty());
    book("a");
    EXPECT_EQ(read("legacy").password, "0ld") << "now under the book's own name";
    qputenv("XDG_CONFIG_HOME", home);
}

} // namespace

namespace {

// A new book in the default settings store with the one site "home", saved with the password given.
struct HomeBook {
    explicit HomeBook(const std::string& password)
    {
        QFile::remove(QString::fromStdString(TSettingsStore::defaultPath()));
        cipher.SetKey(std::string(DiamondConsoleKey));
        store = std::make_unique<TSettingsStore>(TSettingsStore::defaultPath());
        site.host = "home.example.org";
        site.login = "l";
        site.password = password;
        SiteBook::save(*store, cipher, "home", site);
    }
    TDiamond cipher;
    std::unique_ptr<TSettingsStore> store;
    SiteBook::Record site = SiteBook::NewSite();
};

// A name that holds NUL (a record an earlier import let in) has an entry of its own: the secret store never cuts
// it down to another site's.
TEST(Keyring, ANameWithNulNeverReachesAnotherSitesPassword)
{
    if (!Keyring::reachable())
        GTEST_SKIP() << "no secret store in this session";
    HomeBook book("mine");
    ASSERT_EQ(stored("home", "PassWordIn"), "keyring");
    TSettingsStore& store = *book.store;
    const TDiamond& cipher = book.cipher;
    const SiteBook::Record& site = book.site;

    const std::string other("home\0x", 6);
    EXPECT_THROW(SiteBook::save(store, cipher, other, site), EStoreError) << "no such name is saved any more";
    store.OpenKey("\\Drummock\\SiTES\\" + other, true);
    store.WriteString("", "HostName", "evil.example.net");
    store.WriteString("", "PassWordIn", "keyring");
    EXPECT_EQ(SiteBook::read(store, cipher, other).password, "") << "home's password read for another site";
    ASSERT_TRUE(Keyring::keep(SiteBook::secretName(SiteBook::bookId(store), other), "theirs"));
    EXPECT_EQ(SiteBook::read(store, cipher, other).password, "theirs");
    EXPECT_EQ(SiteBook::read(store, cipher, "home").password, "mine") << "the other site's entry took home's";
    EXPECT_EQ(SiteBook::read(store, cipher, "HOME").password, "mine") << "one site, however its name is spelt";

    // An entry an earlier console named after the book's id and the name as typed moves to the site's own name.
    const std::string id = SiteBook::bookId(store);
    ASSERT_TRUE(Keyring::keep(id + "/Berlin/EU", "old"));
    store.OpenKey("\\Drummock\\SiTES\\Berlin/EU", true);
    store.WriteString("", "PassWordIn", "keyring");
    EXPECT_EQ(SiteBook::read(store, cipher, "Berlin/EU").password, "old");
    EXPECT_FALSE(Keyring::fetch(id + "/Berlin/EU").has_value()) << "moved, not copied";
    EXPECT_EQ(Keyring::fetch(SiteBook::secretName(id, "Berlin/EU")).value_or("<none>"), "old");
}

TEST(Keyring, ASaveThatCannotBeWrittenLeavesTheOldPasswordsInTheStore)
{
    if (!Keyring::reachable())
        GTEST_SKIP() << "no secret store in this session";
    HomeBook book("old");
    ASSERT_EQ(stored("home", "PassWordIn"), "keyring");
    TSettingsStore& store = *book.store;
    const TDiamond& cipher = book.cipher;
    const SiteBook::Record& site = book.site;

    // The book refuses every write, as a full disk would.
    const auto refuseWrites = [](const char* sql) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(TSettingsStore::defaultPath().c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        sqlite3_close(db);
    };
    refuseWrites("CREATE TRIGGER full_i BEFORE INSERT ON vals BEGIN SELECT RAISE(ABORT, 'full'); END;"
                 "CREATE TRIGGER full_u BEFORE UPDATE ON vals BEGIN SELECT RAISE(ABORT, 'full'); END;");
    SiteBook::Record changed = site;
    changed.password = "new";
    EXPECT_ANY_THROW(SiteBook::save(store, cipher, "home", changed));
    EXPECT_ANY_THROW(SiteBook::saveAll(store, cipher, {{"home", changed}, {"fresh", changed}}, true));
    refuseWrites("DROP TRIGGER full_i; DROP TRIGGER full_u;");

    EXPECT_EQ(SiteBook::read(store, cipher, "home").password, "old") << "the record kept, its password replaced";
    EXPECT_FALSE(Keyring::fetch(bookSecret("fresh")).has_value()) << "a site never saved left its password behind";
}

} // namespace
