#include "gui/CommandRun.h"

#include "gui/ModalHold.h"
#include "gui/Prompts.h"
#include "platform/Finally.h"
#include "platform/OemText.h"
#include "platform/PasswordMask.h"
#include "session/SiteSession.h"

#include <QDialog>
#include <QPointer>
#include <QPushButton>
#include <QStringList>
#include <exception>

QString TCommandRun::cancelNotice(const std::vector<std::string>& lines, std::size_t answered, bool awaited)
{
    const std::size_t sent = answered + (awaited ? 1 : 0);
    QStringList went, rest;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const QString shown = Latin1ToQString(MaskedLine(lines[i]));
        if (i < answered)
            went << shown;
        else if (i < sent)
            went << shown + QStringLiteral(" (cancelled while waiting for its answer)");
        else
            rest << shown;
    }
    auto listed = [](const QStringList& list) {
        return list.isEmpty() ? QStringLiteral(" none") : QLatin1Char('\n') + list.join(QLatin1Char('\n'));
    };
    return QStringLiteral("Cancelled. These lines were sent:") + listed(went) + QStringLiteral("\nNot sent:") +
           listed(rest);
}

TCommandRun::TCommandRun(QDialog& dialog, TSiteSession& session, std::function<void()> cancelWait)
    : dialog_(dialog), session_(session), cancelWait_(std::move(cancelWait))
{
    if (!cancelWait_)
        cancelWait_ = [this] { session_.cancel(); };
}

void TCommandRun::askCancel()
{
    if (!running_ || cancelAsked_)
        return;
    cancelAsked_ = true;
    if (cancelCloses)
        closeWanted_ = true;
    cancelWait_();
}

bool TCommandRun::deferClose()
{
    if (!running_)
        return false;
    closeWanted_ = true;
    askCancel();
    return true;
}

TCommandRun::Outcome TCommandRun::run(const std::vector<std::string>& lines, QPushButton* button,
                                      const std::function<void(std::size_t)>& afterLine)
{
    if (running_)
        return Outcome::Cancelled; // nothing of the second run goes, and the first goes on
    for (const std::string& line : lines)
        checkCommandLine(line, "The command");
    cancelAsked_ = false;
    closeWanted_ = false;

    std::size_t answered = 0; // lines that went and had their answers
    bool awaited = false;     // the line after them went, and the cancel ended the wait for its answer
    std::exception_ptr failure;
    {
        running_ = true;
        TModalHold hold(&dialog_);
        // The controls the lines were made from stand still; the button is the way out.
        std::vector<QPointer<QWidget>> stilled;
        for (QWidget* control : dialog_.findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            if (control != button && control->focusPolicy() != Qt::NoFocus && control->isEnabled()) {
                control->setEnabled(false);
                stilled.emplace_back(control);
            }
        const QString caption = button->text();
        const QString tip = button->toolTip();
        button->setText(QStringLiteral("CANCEL"));
        button->setToolTip(QStringLiteral("Stop sending: the line under way is not waited for, the rest do not go"));
        const QMetaObject::Connection cancelClick =
            QObject::connect(button, &QPushButton::clicked, &dialog_, [this] { askCancel(); });
        Finally restore([&] {
            QObject::disconnect(cancelClick);
            button->setText(caption);
            button->setToolTip(tip);
            for (const QPointer<QWidget>& control : stilled)
                if (control)
                    control->setEnabled(true);
            running_ = false;
        });

        for (std::size_t i = 0; i < lines.size() && !cancelAsked_; ++i) {
            bool ok = false;
            try {
                session_.send(lines[i]);
                ok = true;
            } catch (...) {
                // However the cancelled wait ends (the session raises, the connection closes), it is the cancel.
                if (!cancelAsked_)
                    failure = std::current_exception();
            }
            if (afterLine)
                afterLine(i);
            if (!ok) {
                awaited = true;
                break;
            }
            ++answered;
        }
    }
    if (closeWanted_)
        dialog_.done(QDialog::Rejected);
    if (failure)
        std::rethrow_exception(failure);
    if (!cancelAsked_)
        return Outcome::Done;
    Prompts().Notice(cancelNotice(lines, answered, awaited));
    return Outcome::Cancelled;
}
