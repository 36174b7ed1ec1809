#pragma once

#include <QByteArray>
#include <QList>

namespace sim {

// One reply as its lines, without line ends (the session adds CR LF). A reply of several lines follows the
// daemon's continuation rule: every line but the last begins with a blank or has '-' as its fourth character.
struct Reply {
    QList<QByteArray> lines;

    Reply() = default;
    explicit Reply(QByteArray line) { lines.append(std::move(line)); }

    static Reply error(int code, const QByteArray& text) { return Reply(QByteArray::number(code) + ' ' + text); }

    // The code of the first line, 0 when it has none.
    int code() const
    {
        if (lines.isEmpty() || lines.first().size() < 3)
            return 0;
        bool ok = false;
        const int value = lines.first().left(3).toInt(&ok);
        return ok ? value : 0;
    }
    bool isError() const { return code() >= 400; }
};

// Builds the multi-line replies of the SITE family: "200- " lines closed by a bare code line.
class ReplyBuilder {
public:
    explicit ReplyBuilder(QByteArray prefix = "200- ") : prefix_(std::move(prefix)) {}

    ReplyBuilder& line(const QByteArray& text)
    {
        reply_.lines.append(prefix_ + text);
        return *this;
    }
    ReplyBuilder& raw(const QByteArray& text)
    {
        reply_.lines.append(text);
        return *this;
    }
    Reply close(const QByteArray& last)
    {
        reply_.lines.append(last);
        return std::move(reply_);
    }

private:
    QByteArray prefix_;
    Reply reply_;
};

} // namespace sim
