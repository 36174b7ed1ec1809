#pragma once

#include <QByteArray>
#include <QList>

namespace sim {

// A table framed in code page 437 double lines, as the daemon draws its top lists:
//   ╔════╦══════════╗
//   ║ ## ║ User     ║
//   ╠════╬══════════╣
//   ║ 01 ║ siteop   ║
//   ╚════╩══════════╝
// Cells are byte strings (names travel as bytes); columns grow to their widest cell, capped at maxWidth.
class TextTable {
public:
    enum class Align { Left, Right };
    struct Column {
        QByteArray title;
        Align align = Align::Left;
        int maxWidth = 40;
    };

    explicit TextTable(QList<Column> columns) : columns_(std::move(columns)) {}

    void addRow(QList<QByteArray> cells) { rows_.append(std::move(cells)); }
    int rowCount() const { return static_cast<int>(rows_.size()); }

    // The drawn lines, in code page 437 bytes, without line ends.
    QList<QByteArray> render() const;

private:
    QList<Column> columns_;
    QList<QList<QByteArray>> rows_;
};

} // namespace sim
