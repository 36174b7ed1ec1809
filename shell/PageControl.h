#pragma once

#include <QTabBar>
#include <QTabWidget>
#include <functional>

// The console's tab control. It tells the operator's own page changes (a tab click, a key, the wheel) from the
// ones the program makes: only the operator's ask OnChanging first, which may refuse them, and only they fire
// OnChange afterwards. setCurrentIndex/setCurrentWidget from code change the page and fire neither.
class TPageControl : public QTabWidget {
public:
    explicit TPageControl(QWidget* parent = nullptr);

    std::function<bool()> OnChanging; // false refuses the change
    std::function<void()> OnChange;

    // Runs an operator page change to the given index through the same gate as a click does.
    bool operatorSelect(int index);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    class Bar;
    friend class Bar;
    bool allowed();
    // Runs a change the operator asked for by key or wheel, unless OnChanging refuses it.
    void gated(const std::function<void()>& change, QEvent* event);
    bool operator_ = false;
};
