#pragma once

#include <QObject>
#include <QString>
#include <exception>
#include <utility>

// Every handler of the console runs inside Guarded: the exception that ends a handler is shown in the standard
// error box, and the program goes on. No exception ever crosses into Qt's event dispatch.

// The text the standard error box shows for a message: "." is appended when the last character sorts after ".".
QString ErrorBoxText(const QString& message);

// The operator-visible text of an exception's message bytes: UTF-8 where the bytes are valid UTF-8 (our own
// texts, file names), else code page 437 (a daemon's reply line).
QString ExceptionText(const std::exception& e);

// Shows the standard error box for a caught exception.
void ShowException(const std::exception& e);
void ShowException(const std::exception_ptr& failure);

template <class Handler>
void Guarded(Handler&& handler) noexcept
{
    try {
        std::forward<Handler>(handler)();
    } catch (const std::exception& e) {
        ShowException(e);
    } catch (...) {
        ShowException(std::exception());
    }
}

// Connects a signal to a handler of receiver's that runs inside Guarded, whatever the signal's arguments.
template <class Sender, class Signal, class Receiver>
QMetaObject::Connection connectGuarded(Sender* sender, Signal signal, Receiver* receiver, void (Receiver::*handler)())
{
    return QObject::connect(sender, signal, receiver,
                            [receiver, handler] { Guarded([&] { (receiver->*handler)(); }); });
}
