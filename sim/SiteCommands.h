#pragma once

#include "sim/Reply.h"

#include <QByteArray>
#include <QList>

namespace sim {

class Server;
class Connection;
struct SiteState;
struct User;

// The daemon's SITE command family, run for one session. Listings answer in the fixed shapes clients parse:
// the user list in the six name cells at 2, 13, 26, 39, 52 and 65 closed by "250"; the group list under
// "214- Available Groups :" in seven cells 11 apart, ended by a blank line and closed by "250"; user and
// group changes close with "250", statistics and control with "221", file views with "200 End of file.".
// Every refusal is one 5xx line.
class SiteCommands {
public:
    SiteCommands(Server& server, Connection& session) : server_(server), session_(session) {}

    Reply run(const QByteArray& args);

private:
    // The words of the arguments, split at runs of blanks, with where each word starts in the raw text.
    struct Words {
        QByteArray raw;
        QList<QByteArray> words;
        QList<qsizetype> starts;

        qsizetype size() const { return words.size(); }
        QByteArray operator[](qsizetype i) const { return i < words.size() ? words[i] : QByteArray(); }
        // Everything after word i and the blank that follows it, exactly as sent.
        QByteArray restAfter(qsizetype i) const;
    };
    static Words split(const QByteArray& raw);

    const User* me() const;
    bool may(quint32 flags) const;

    Reply users(const Words& w);
    Reply user(const Words& w);
    Reply groups(const Words& w);
    Reply addUser(const Words& w);
    Reply delUser(const Words& w);
    Reply chgrp(const Words& w);
    Reply chpass(const Words& w);
    Reply chlogins(const Words& w);
    Reply chratio(const Words& w);
    Reply setUserNumber(const Words& w, qint64 max, const char* usageText, int User::*field, const char* what,
                        const char* prefix);
    Reply addIdent(const Words& w);
    Reply delIdent(const Words& w);
    Reply chflag(const Words& w);
    Reply credit(const Words& w, bool give);
    Reply addGroup(const Words& w);
    Reply delGroup(const Words& w);
    Reply weekTop(const Words& w);
    Reply userTop(const Words& w);
    Reply groupTop(const Words& w);
    Reply who(const Words& w);
    Reply kill(const Words& w);
    Reply newDirs(const Words& w);
    Reply nukes(const Words& w);
    Reply nuke(const Words& w);
    Reply showText(const Words& w, const QByteArray& command);
    Reply zip(const Words& w, bool check);
    Reply help();

    Server& server_;
    Connection& session_;
};

} // namespace sim
