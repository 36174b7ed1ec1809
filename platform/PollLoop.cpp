#include "platform/PollLoop.h"

#include "platform/Ticks.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <thread>

void PumpEvents()
{
    if (QCoreApplication::instance())
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void PollWait()
{
    if (!QCoreApplication::instance()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return;
    }
    // The single-shot timer bounds the wait: processEvents(WaitForMoreEvents) returns as soon as any event,
    // this timer's included, has been handled.
    QTimer bound;
    bound.setSingleShot(true);
    bound.setTimerType(Qt::PreciseTimer);
    bound.start(2);
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void PumpDelay(std::uint32_t milliseconds)
{
    const std::uint32_t start = GetTickCount();
    while (GetTickCount() - start < milliseconds)
        PollWait();
}
