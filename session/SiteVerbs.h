#pragma once

#include <QString>
#include <QStringList>

#include <string>

// The daemon's SITE verbs, as the console knows them. One list for everything that must tell a command that only
// reads the daemon's state from one that changes it: the confirmation before a run on many sites, the watch mode
// and the change journal alike.

// The SITE verbs that only read the daemon's state.
const QStringList& readOnlySiteVerbs();
// Every SITE verb the daemon documents, the reading ones and the changing ones, in sorted order.
const QStringList& knownSiteVerbs();
// Whether the word is one of the documented verbs, whatever its case.
bool isKnownSiteVerb(const QString& word);
// A command (the text after "SITE ") whose verb is not one of the reading ones changes the daemon's state; an empty
// command sends nothing and changes nothing.
bool changesDaemonState(const std::string& command);
