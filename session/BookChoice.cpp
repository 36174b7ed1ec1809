#include "session/BookChoice.h"

#include "platform/PasswordMask.h"
#include "platform/SettingsStore.h"
#include "platform/Terminal.h"
#include "session/BatchReport.h"
#include "sitebook/Diamond.h"
#include "sitebook/Keyring.h"
#include "sitebook/SiteBook.h"

#include <QFile>

#include <algorithm>
#include <cstdio>
#include <unistd.h>

namespace {

std::string shown(const QString& text)
{
    return BatchReport::printable(text);
}

// The edit distance of two words, case aside.
int distance(const QString& a, const QString& b)
{
    const QString x = a.toCaseFolded(), y = b.toCaseFolded();
    std::vector<int> row(std::size_t(y.size()) + 1);
    for (std::size_t j = 0; j < row.size(); ++j)
        row[j] = int(j);
    for (qsizetype i = 1; i <= x.size(); ++i) {
        int diagonal = row[0];
        row[0] = int(i);
        for (qsizetype j = 1; j <= y.size(); ++j) {
            const int above = row[std::size_t(j)];
            row[std::size_t(j)] =
                std::min({above + 1, row[std::size_t(j - 1)] + 1, diagonal + (x[i - 1] == y[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row.back();
}

void unlockMaster(TSettingsStore& store, const BookChoice::Unlocking& unlocking)
{
    const std::optional<QString>& file = unlocking.masterPasswordFile;
    if (file) {
        QFile in(*file);
        if (!in.open(QIODevice::ReadOnly))
            throw BookChoice::Refused{false, "the master password cannot be read from " + shown(*file) + ": " +
                                                 in.errorString().toStdString()};
        QByteArray line = in.readLine();
        while (line.endsWith('\n') || line.endsWith('\r'))
            line.chop(1);
        const std::string given = line.toStdString();
        SiteBook::setMasterPasswordAsker([given](bool again) -> std::optional<std::string> {
            if (again)
                return std::nullopt; // the file says the same thing every time
            return given;
        });
    } else if (::isatty(STDIN_FILENO) && unlocking.terminalFree) {
        Terminal::restoreOnSignals();
        const std::string name = unlocking.program;
        SiteBook::setMasterPasswordAsker([name](bool again) {
            if (again)
                std::fprintf(stderr, "%s: that is not the master password\n", name.c_str());
            return Terminal::readSecret("Master password: ");
        });
    } else {
        throw BookChoice::Refused{false, "the site book's master password is needed and there is no terminal to ask "
                                         "at: give it with --master-password-file FILE"};
    }
    try {
        SiteBook::unlockMasterPassword(store);
    } catch (const std::exception& e) {
        throw BookChoice::Refused{false, e.what() + std::string(file ? " (--master-password-file)" : "")};
    }
}

} // namespace

void BookChoice::SiteIndex::fill(const QStringList& names)
{
    names_ = names;
    byKey_.clear();
    for (const QString& name : names_)
        byKey_.emplace(SiteBook::foldedKey(SiteBook::keyName(name)), name);
}

std::optional<QString> BookChoice::SiteIndex::named(const QString& word) const
{
    // A to Z whatever their case, every other letter as it is written ("ÄB" is not "äb", which may be another site).
    const std::string key = SiteBook::keyName(word);
    if (key.empty())
        return std::nullopt;
    const auto at = byKey_.find(SiteBook::foldedKey(key));
    return at == byKey_.end() ? std::nullopt : std::optional<QString>(at->second);
}

std::optional<QString> BookChoice::nearestSite(const QString& word, const QStringList& names)
{
    const int most = word.size() <= 4 ? 1 : 2;
    std::optional<QString> best;
    int bestDistance = most + 1;
    for (const QString& name : names)
        if (const int d = distance(word, name); d < bestDistance) {
            best = name;
            bestDistance = d;
        }
    return best;
}

QStringList BookChoice::chosen(TSettingsStore& store, const QStringList& names, bool all,
                               const std::optional<QString>& folder, const QStringList& siteWords)
{
    const int ways = int(all) + int(folder.has_value()) + int(!siteWords.isEmpty());
    if (ways == 0)
        throw Refused{true, "name the sites, or choose them with --all or --folder"};
    if (ways > 1)
        throw Refused{true, "choose the sites one way: by name, --all or --folder"};
    if (all) {
        if (names.isEmpty())
            throw Refused{false, "the site book holds no site"};
        return names;
    }
    QStringList picked;
    if (folder) {
        for (const QString& name : names)
            if (SiteBook::inFolder(SiteBook::folderOf(store, SiteBook::keyName(name)), *folder))
                picked << name;
        if (picked.isEmpty())
            throw Refused{false, "no site is filed in the folder " + shown(*folder)};
        return picked;
    }
    SiteIndex index;
    index.fill(names);
    QStringList unknown;
    for (const QString& word : siteWords) {
        if (const std::optional<QString> name = index.named(word)) {
            if (!picked.contains(*name))
                picked << *name;
            continue;
        }
        const std::optional<QString> near = nearestSite(word, names);
        unknown << QString::fromStdString(shown(word)) +
                       (near ? QStringLiteral(" (did you mean %1?)").arg(QString::fromStdString(shown(*near)))
                             : QString());
    }
    if (!unknown.isEmpty())
        throw Refused{true, "no site of the book is named " + unknown.join(QStringLiteral(", ")).toStdString()};
    return picked;
}

std::vector<BatchSite> BookChoice::readSites(TSettingsStore& store, const QStringList& chosen,
                                             const Unlocking& unlocking)
{
    TDiamond cipher;
    cipher.SetKey(std::string(DiamondConsoleKey));
    // Nothing is asked while the records are read: a sealed password is unlocked below, once, when one is needed.
    SiteBook::setMasterPasswordAsker([](bool) { return std::optional<std::string>(); });
    std::vector<BatchSite> sites;
    sites.reserve(std::size_t(chosen.size()));
    bool sealed = false;
    auto readAll = [&] {
        for (const QString& name : chosen) {
            const std::string key = SiteBook::keyName(name);
            if (key.empty())
                continue;
            SiteBook::Record record = SiteBook::read(store, cipher, key);
            sealed = sealed || (record.passwordSealed && !record.passwordProblem.empty());
            sites.push_back({key, std::move(record)});
        }
    };
    // Read one by one, every value takes and gives back the store's lock; thousands of sites are read under one
    // lock instead, unless a secret store might keep the lock waiting for its answers.
    if (store.readOnly() || Keyring::reachable())
        readAll();
    else
        store.transaction(readAll);
    if (!sealed)
        return sites;
    if (unlocking.masked) {
        for (BatchSite& site : sites)
            if (site.record.passwordSealed) {
                site.record.passwordProblem.clear();
                site.record.password = std::string(PasswordMask);
            }
        return sites;
    }
    unlockMaster(store, unlocking);
    for (BatchSite& site : sites)
        if (site.record.passwordSealed)
            site.record = SiteBook::read(store, cipher, site.key);
    return sites;
}
