// The main window's command box: a SITE command typed by hand goes to the daemon with EXECUTE (or Enter), its reply
// shows on STATUS, and the commands sent are kept as a history that Up and Down walk.

#include "shell/Main.h"

#include "gui/Anchors.h"
#include "gui/Prompts.h"
#include "gui/WidgetKit.h"
#include "platform/OemText.h"
#include "platform/PasswordMask.h"
#include "shell/PageControl.h"
#include "shell/ReplyRouter.h"

#include <QComboBox>
#include <QCompleter>
#include <QLineEdit>
#include <QPushButton>
#include <QStringListModel>
#include <algorithm>

void TMainForm::buildCommandBox(QWidget* client)
{
    CommandText = WidgetKit::editableList(client, "CommandText", QRect(320, 16, 185, 25)); // grows by EXECUTE only
    // Typing the first word of a SITE command offers the commands the console knows, and those the daemon's SITE
    // HELP named once the operator asked for it (the router learns them). Picking one puts it in the box; nothing is
    // completed silently.
    CommandText->lineEdit()->setObjectName(QStringLiteral("CommandTextEdit"));
    auto* completer = new QCompleter(router_->commandWords(), CommandText);
    completer->setObjectName(QStringLiteral("CommandCompleter"));
    completer->setCaseSensitivity(Qt::CaseInsensitive);
    completer->setCompletionMode(QCompleter::PopupCompletion);
    CommandText->setCompleter(completer);
    anchors_->place(CommandText, QRect(320, 16, 185, 25), TAnchors::Left | TAnchors::Top | TAnchors::Right);
}

void TMainForm::CommandTextChange()
{
    if (session_->connected()) {
        bbExecute->setEnabled(true);
    } else {
        CommandText->clearEditText();
        Prompts().Notice(QStringLiteral("Login first you moron!"));
    }
}

void TMainForm::bbExecuteClick()
{
    bbExecute->setEnabled(false);
    PageControl1->setCurrentWidget(StatusSheet);
    std::string command = QStringToLatin1(CommandText->currentText());
    if (HidesPassword(command)) {
        // Recalled from the history, which keeps no password: it is typed again, or nothing goes.
        const QString password =
            Prompts().Password(QStringLiteral("PASSWORD"),
                               QStringLiteral("The history keeps no passwords. The password for\n%1:")
                                   .arg(Latin1ToQString(command.substr(0, command.size() - PasswordMask.size()))));
        if (password.isEmpty())
            return; // nothing goes; EXECUTE waits for the text to change, as after a refused command
        command = WithPassword(command, QStringToLatin1(password));
    }
    session_->send("SITE " + command);
    // The history keeps a command once when it is sent twice in a row, as a console's history does, and never a
    // password: a command that carries one is kept with it masked.
    const QString kept = Latin1ToQString(MaskedCommand(command));
    if (CommandText->count() == 0 || CommandText->itemText(CommandText->count() - 1) != kept)
        CommandText->addItem(kept);
    CommandText->setCurrentIndex(-1);
    CommandText->clearEditText();
    historyAt_ = -1;
}

void TMainForm::CommandTextEnter()
{
    // Enter executes, as EXECUTE does: only when EXECUTE could be pressed.
    if (bbExecute->isEnabled())
        bbExecuteClick();
}

bool TMainForm::CommandTextKey(int key)
{
    // Up recalls the newest command first, Down walks back towards the empty line being typed.
    const int count = CommandText->count();
    if (count == 0 || (key != Qt::Key_Up && key != Qt::Key_Down))
        return false;
    if (key == Qt::Key_Up)
        historyAt_ = historyAt_ < 0 ? count - 1 : std::max(0, historyAt_ - 1);
    else if (historyAt_ >= 0)
        historyAt_ = historyAt_ + 1 < count ? historyAt_ + 1 : -1;
    else
        return true;
    CommandText->setEditText(historyAt_ < 0 ? QString() : CommandText->itemText(historyAt_));
    if (historyAt_ >= 0)
        CommandTextChange(); // a recalled command is a typed one: EXECUTE takes it, or the operator hears why not
    else
        bbExecute->setEnabled(false);
    return true;
}
