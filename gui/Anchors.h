#pragma once

#include <QObject>
#include <QRect>
#include <QSize>
#include <QWidget>
#include <vector>

// Places children at fixed pixel positions of their parent and keeps them anchored as the parent resizes: a
// child anchored left and right stretches with the width, one anchored right only stays at the right edge.
// Positions are given for the parent's design size, as the console's layout is drawn.
class TAnchors : public QObject {
public:
    enum Edge { Left = 1, Top = 2, Right = 4, Bottom = 8, TopLeft = Left | Top, All = Left | Top | Right | Bottom };

    TAnchors(QWidget* parent, QSize designSize);

    // Puts child at rect (design coordinates) and keeps it anchored to the given edges.
    void place(QWidget* child, QRect rect, int edges = TopLeft);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void layout();

    struct Item {
        QWidget* child;
        QRect rect;
        int edges;
    };
    QWidget* parent_;
    QSize design_;
    std::vector<Item> items_;
};
