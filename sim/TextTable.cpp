#include "sim/TextTable.h"

#include "sim/Cp437.h"

#include <algorithm>

namespace sim {

namespace {

// One frame character as its code page 437 byte: the tables go out in the OEM set, never as UTF-8.
QByteArray frame(char16_t c)
{
    return toCp437(QStringView(&c, 1));
}

QByteArray fit(QByteArray cell, int width, TextTable::Align align)
{
    if (cell.size() > width)
        cell = cell.left(width);
    const QByteArray pad(width - cell.size(), ' ');
    return align == TextTable::Align::Left ? cell + pad : pad + cell;
}

} // namespace

QList<QByteArray> TextTable::render() const
{
    QList<int> widths;
    for (const Column& c : columns_)
        widths.append(std::min<int>(c.maxWidth, c.title.size()));
    for (const auto& row : rows_) {
        for (int i = 0; i < widths.size() && i < row.size(); ++i)
            widths[i] = std::max<int>(widths[i], std::min<int>(columns_[i].maxWidth, row[i].size()));
    }

    auto rule = [&](char16_t left, char16_t mid, char16_t right) {
        QByteArray line = frame(left);
        for (int i = 0; i < widths.size(); ++i) {
            if (i > 0)
                line += frame(mid);
            line += frame(u'\u2550').repeated(widths[i] + 2);
        }
        return line + frame(right);
    };
    auto row = [&](const QList<QByteArray>& cells, bool titles) {
        QByteArray line = frame(u'\u2551');
        for (int i = 0; i < widths.size(); ++i) {
            const QByteArray cell = i < cells.size() ? cells[i] : QByteArray();
            line += ' ' + fit(cell, widths[i], titles ? Align::Left : columns_[i].align) + ' ' + frame(u'\u2551');
        }
        return line;
    };

    QList<QByteArray> out;
    out.append(rule(u'\u2554', u'\u2566', u'\u2557'));
    QList<QByteArray> titles;
    for (const Column& c : columns_)
        titles.append(c.title);
    out.append(row(titles, true));
    out.append(rule(u'\u2560', u'\u256C', u'\u2563'));
    for (const auto& r : rows_)
        out.append(row(r, false));
    out.append(rule(u'\u255A', u'\u2569', u'\u255D'));
    return out;
}

} // namespace sim
