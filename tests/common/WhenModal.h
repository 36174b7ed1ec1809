#pragma once

// Acts on the application's modal window as soon as one is up, as a person answering it would; the test goes on
// into the code that opens the window meanwhile. The polling stops with context.

#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>

inline void whenModal(QObject* context, std::function<void(QWidget*)> act, const char* objectName = nullptr)
{
    // Only the pending timer holds the poll: once it acts, or the context goes, the poll is freed.
    auto poll = std::make_shared<std::function<void()>>();
    *poll = [context, act, objectName, self = std::weak_ptr(poll)] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal && (!objectName || modal->objectName() == QLatin1String(objectName)))
            act(modal);
        else if (auto next = self.lock())
            QTimer::singleShot(5, context, [next] { (*next)(); });
    };
    QTimer::singleShot(0, context, [poll] { (*poll)(); });
}
