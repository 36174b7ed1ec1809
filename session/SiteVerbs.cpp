#include "session/SiteVerbs.h"

const QStringList& readOnlySiteVerbs()
{
    static const QStringList verbs{
        QStringLiteral("GROUPS"),  QStringLiteral("GROUPTOP"), QStringLiteral("HELP"),    QStringLiteral("NEW"),
        QStringLiteral("NUKES"),   QStringLiteral("USER"),     QStringLiteral("USERS"),   QStringLiteral("USERTOP"),
        QStringLiteral("WEEKTOP"), QStringLiteral("WHO"),      QStringLiteral("ZIPLIST"), QStringLiteral("NFO"),
        QStringLiteral("DIZ"),
    };
    return verbs;
}

const QStringList& knownSiteVerbs()
{
    static const QStringList verbs = [] {
        QStringList all = readOnlySiteVerbs();
        all << QStringLiteral("ADDGROUP") << QStringLiteral("ADDIDENTD") << QStringLiteral("ADDUSER")
            << QStringLiteral("CHFLAG") << QStringLiteral("CHGRP") << QStringLiteral("CHLOGINS")
            << QStringLiteral("CHPASS") << QStringLiteral("CHRATIO") << QStringLiteral("DELGROUP")
            << QStringLiteral("DELIDENTD") << QStringLiteral("DELUSER") << QStringLiteral("GIVE")
            << QStringLiteral("KILL") << QStringLiteral("NUKE") << QStringLiteral("TAKE") << QStringLiteral("ZIPCHK");
        all.sort();
        return all;
    }();
    return verbs;
}

bool isKnownSiteVerb(const QString& word)
{
    return knownSiteVerbs().contains(word, Qt::CaseInsensitive);
}

bool changesDaemonState(const std::string& command)
{
    const std::size_t start = command.find_first_not_of(' ');
    if (start == std::string::npos)
        return false; // nothing to send
    const std::size_t end = command.find(' ', start);
    const QString verb = QString::fromLatin1(command.substr(start, end - start)).toUpper();
    return !readOnlySiteVerbs().contains(verb);
}
