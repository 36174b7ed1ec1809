#pragma once

// The console logged in to a quillon-sim of the test's own, on the USER MAiNT page (so that the user and group lists
// are gathered), with a user typed into the user box.

#include "admin/UserFields.h"
#include "shell/ConsoleFixture.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <ostream>

// Readable failures for the command lines compared.
inline void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}

// Types text into a text box or a number box, replacing what it held.
inline void retype(QWidget* box, const QString& text)
{
    auto* edit = qobject_cast<QLineEdit*>(box);
    edit = edit ? edit : box->findChild<QLineEdit*>();
    edit->clear();
    QTest::keyClicks(edit, text);
}

inline void pick(TUserFieldsDialog& dialog, const QString& group)
{
    dialog.Group->setCurrentIndex(dialog.Group->findText(group));
    ASSERT_EQ(dialog.Group->currentText(), group);
}

class AdminConsole : public ConsoleTest {
protected:
    // The daemon is started with these options (its faults, say).
    explicit AdminConsole(const QStringList& simOptions = {}) : sim(simOptions) {}

    void logIn(const QString& user, const std::function<void(SiteBook::Record&)>& adjust = nullptr)
    {
        online(sim, "UserSheet", adjust);
        ASSERT_FALSE(lists().GroupNames.isEmpty());
        control<QComboBox>("UserList")->setEditText(user);
        sent();
    }

    // The commands the daemon received since the last call.
    QStringList sent()
    {
        const QStringList all = sim.commands();
        const QStringList since = all.mid(mark_);
        mark_ = all.size();
        return since;
    }

    // The daemon's record of a user, as the page's text box shows it.
    QString userRecord(const std::string& user)
    {
        control<QPlainTextEdit>("UserMemo")->clear();
        session().send("SITE USER " + user);
        sent();
        return control<QPlainTextEdit>("UserMemo")->toPlainText();
    }

    SimProcess sim;

private:
    qsizetype mark_ = 0;
};
