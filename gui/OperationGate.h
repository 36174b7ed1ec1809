#pragma once

#include "gui/Guard.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <utility>
#include <vector>

// The one gate of "one operation at a time" on the connection. Every handler that starts an operation (sends a
// command, logs in, lists) is connected through it, where the handlers are connected, and it holds them off while
// another operation waits: the handler then does not run at all, so it neither asks the operator anything nor
// sends. The gate also keeps the list of the handlers it guards, so that a test can prove every one of them
// refused during a wait.
class TOperationGate {
public:
    explicit TOperationGate(std::function<bool()> busy) : busy_(std::move(busy)) {}
    TOperationGate(const TOperationGate&) = delete;
    TOperationGate& operator=(const TOperationGate&) = delete;

    // Whether an operation may start now: none waits.
    bool mayStart() const { return !busy_(); }

    // The handler as the gate runs it: only when an operation may start. The result is registered under name for as
    // long as owner lives.
    std::function<void()> guard(QObject* owner, const QString& name, std::function<void()> handler)
    {
        auto gated = [this, handler = std::move(handler)] {
            if (mayStart())
                handler();
        };
        std::erase_if(entries_, [](const Entry& e) { return !e.owner; }); // dialogs made for one use come and go
        entries_.push_back({QPointer<QObject>(owner), name, gated});
        return gated;
    }

    // Connects signal to handler through the gate; sender owns the registration.
    template <class Sender, class Signal>
    QMetaObject::Connection connect(Sender* sender, Signal signal, QObject* context, std::function<void()> handler)
    {
        std::function<void()> gated = guard(sender, sender->objectName(), std::move(handler));
        return QObject::connect(sender, signal, context, [gated] { gated(); });
    }

    struct Entry {
        QPointer<QObject> owner;
        QString name;
        std::function<void()> run; // the gated handler, as its signal runs it
    };
    // The guarded handlers whose owners still live.
    std::vector<Entry> entries() const
    {
        std::vector<Entry> live;
        for (const Entry& e : entries_)
            if (e.owner)
                live.push_back(e);
        return live;
    }

private:
    std::function<bool()> busy_;
    std::vector<Entry> entries_;
};

// Connects a signal to a handler of receiver's that starts an operation: it runs inside Guarded, and only when the
// gate lets it.
template <class Sender, class Signal, class Receiver>
QMetaObject::Connection connectGated(TOperationGate& gate, Sender* sender, Signal signal, Receiver* receiver,
                                     void (Receiver::*handler)())
{
    return gate.connect(sender, signal, receiver, [receiver, handler] { Guarded([&] { (receiver->*handler)(); }); });
}
