#pragma once

#include "platform/Exceptions.h"

#include <QObject>
#include <QString>
#include <exception>
#include <functional>
#include <utility>

// Every handler of the console runs inside Guarded: the exception that ends a handler is shown in the standard
// error box, and the program goes on. No exception ever crosses into Qt's event dispatch.

// An error the operator can act on: the message as it was raised, and one line that says what to check. The error
// box shows the message first, exactly as it would without the hint, and the hint on a line of its own after it.
class EHintedError : public Exception {
public:
    EHintedError(std::string message, std::string hint) : Exception(std::move(message)), hint_(std::move(hint)) {}
    const std::string& hint() const noexcept { return hint_; }

private:
    std::string hint_;
};

// The text the standard error box shows for a message: "." is appended when the last character sorts after ".".
QString ErrorBoxText(const QString& message);

// The operator-visible text of an exception's message bytes: UTF-8 where the bytes are valid UTF-8 (our own
// texts, file names), else code page 437 (a daemon's reply line).
QString ExceptionText(const std::exception& e);

// Shows the standard error box for a caught exception.
void ShowException(const std::exception& e);
void ShowException(const std::exception_ptr& failure);

// Who else reads every error box shown for an exception: the main window notes each one on its STATUS page, so that
// the failure is still there to read once the box is gone. One reader at a time (a new one takes the place of the
// last); a reader whose owner has gone hears nothing. An owner stops its own reader with an empty one.
void SetErrorReader(QObject* owner, std::function<void(const QString& text)> reader);

// The one handler wrapper: runs handler, and shows the exception that ends it in the standard error box, unless
// quiet() says that errors are to be dropped now (a window that is closing, say).
template <class Handler, class Quiet>
void Guarded(Handler&& handler, Quiet&& quiet) noexcept
{
    try {
        std::forward<Handler>(handler)();
    } catch (const std::exception& e) {
        if (!quiet())
            ShowException(e);
    } catch (...) {
        if (!quiet())
            ShowException(std::exception());
    }
}

template <class Handler>
void Guarded(Handler&& handler) noexcept
{
    Guarded(std::forward<Handler>(handler), [] { return false; });
}

// Connects a signal to a handler of receiver's that runs inside Guarded, whatever the signal's arguments.
template <class Sender, class Signal, class Receiver>
QMetaObject::Connection connectGuarded(Sender* sender, Signal signal, Receiver* receiver, void (Receiver::*handler)())
{
    return QObject::connect(sender, signal, receiver,
                            [receiver, handler] { Guarded([&] { (receiver->*handler)(); }); });
}
