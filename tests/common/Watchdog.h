#pragma once

// Makes a test that hangs in a wait fail with a clear message instead of running into ctest's time limit. After
// softMs it reports the hang as a failure of the running test and ends the wait the way the operator would (the
// given endWait, then closing whatever modal window is up); a test that still does not come back by hardMs ends
// the whole test program, naming the test.

#include <gtest/gtest.h>

#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class TestWatchdog {
public:
    explicit TestWatchdog(std::function<void()> endWait, int softMs = 20000, int hardMs = 60000) : name_(currentTest())
    {
        soft_.setSingleShot(true);
        QObject::connect(&soft_, &QTimer::timeout, [this, endWait = std::move(endWait), softMs] {
            ADD_FAILURE() << name_ << " still waited after " << softMs << " ms: the wait was ended by the watchdog";
            endWait();
            for (int i = 0; i < 5; ++i)
                if (QWidget* modal = QApplication::activeModalWidget())
                    modal->close();
        });
        soft_.start(softMs);
        hard_ = std::thread([this, hardMs] {
            std::unique_lock lock(mutex_);
            if (!done_.wait_for(lock, std::chrono::milliseconds(hardMs), [this] { return finished_; })) {
                std::fprintf(stderr, "%s hung for %d ms; the test program is ended by the watchdog\n", name_.c_str(),
                             hardMs);
                std::fflush(stderr);
                std::_Exit(3);
            }
        });
    }

    ~TestWatchdog()
    {
        {
            std::lock_guard lock(mutex_);
            finished_ = true;
        }
        done_.notify_all();
        hard_.join();
    }

    TestWatchdog(const TestWatchdog&) = delete;
    TestWatchdog& operator=(const TestWatchdog&) = delete;

private:
    static std::string currentTest()
    {
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        return info ? std::string(info->test_suite_name()) + "." + info->name() : std::string("a test");
    }

    std::string name_;
    QTimer soft_;
    std::thread hard_;
    std::mutex mutex_;
    std::condition_variable done_;
    bool finished_ = false;
};
