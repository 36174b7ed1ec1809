#include "shell/PageControl.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QWheelEvent>

class TPageControl::Bar : public QTabBar {
public:
    explicit Bar(TPageControl* owner) : QTabBar(owner), owner_(owner) {}

protected:
    void mousePressEvent(QMouseEvent* event) override
    {
        const int index = tabAt(event->position().toPoint());
        if (event->button() == Qt::LeftButton && index >= 0 && index != currentIndex()) {
            owner_->operatorSelect(index);
            event->accept();
            return;
        }
        QTabBar::mousePressEvent(event);
    }
    void keyPressEvent(QKeyEvent* event) override
    {
        owner_->gated([&] { QTabBar::keyPressEvent(event); }, event);
    }
    void wheelEvent(QWheelEvent* event) override
    {
        owner_->gated([&] { QTabBar::wheelEvent(event); }, event);
    }

private:
    TPageControl* owner_;
};

TPageControl::TPageControl(QWidget* parent) : QTabWidget(parent)
{
    setTabBar(new Bar(this));
    connect(this, &QTabWidget::currentChanged, this, [this](int) {
        if (operator_ && OnChange)
            OnChange();
    });
}

bool TPageControl::allowed()
{
    return !OnChanging || OnChanging();
}

void TPageControl::gated(const std::function<void()>& change, QEvent* event)
{
    if (!allowed()) {
        event->accept();
        return;
    }
    operator_ = true;
    change();
    operator_ = false;
}

bool TPageControl::operatorSelect(int index)
{
    if (index == currentIndex())
        return true;
    if (!allowed())
        return false;
    operator_ = true;
    setCurrentIndex(index);
    operator_ = false;
    return true;
}

void TPageControl::keyPressEvent(QKeyEvent* event)
{
    gated([&] { QTabWidget::keyPressEvent(event); }, event);
}
