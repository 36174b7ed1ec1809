#include "sitebook/Keyring.h"

#include "platform/PollLoop.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <qt6keychain/keychain.h>

#include <memory>

namespace {

constexpr const char* kService = "kolvane";
constexpr int kAnswerWithinMs = 10000;

// Starts a job and waits for its end in the poll loop, at most kAnswerWithinMs. A job that does not answer in time is
// let go to finish on its own (it deletes itself then) and reported as not answering; one that answered stays the
// caller's.
bool run(std::unique_ptr<QKeychain::Job>& job, QString* why)
{
    auto finished = std::make_shared<bool>(false);
    QObject::connect(job.get(), &QKeychain::Job::finished, job.get(), [finished] { *finished = true; });
    job->setAutoDelete(false);
    job->start();
    const QDeadlineTimer deadline(kAnswerWithinMs);
    while (!*finished && !deadline.hasExpired())
        PollWait();
    if (!*finished) {
        QKeychain::Job* late = job.release();
        QObject::connect(late, &QKeychain::Job::finished, late, &QObject::deleteLater);
        if (why)
            *why = QStringLiteral("the secret store did not answer");
        return false;
    }
    const bool ok = job->error() == QKeychain::NoError;
    if (!ok && why)
        *why = job->errorString();
    return ok;
}

QString siteKey(const std::string& site)
{
    return QString::fromUtf8(site.data(), qsizetype(site.size()));
}

} // namespace

bool Keyring::reachable()
{
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        return true;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QFileInfo::exists(QDir(runtime).filePath(QStringLiteral("bus")));
}

bool Keyring::keep(const std::string& site, const std::string& password, QString* why)
{
    if (!reachable()) {
        if (why)
            *why = QStringLiteral("no secret store in this session");
        return false;
    }
    auto write = std::make_unique<QKeychain::WritePasswordJob>(QString::fromLatin1(kService));
    write->setKey(siteKey(site));
    write->setBinaryData(QByteArray(password.data(), qsizetype(password.size())));
    std::unique_ptr<QKeychain::Job> job = std::move(write);
    return run(job, why);
}

std::optional<std::string> Keyring::fetch(const std::string& site, QString* why)
{
    if (!reachable()) {
        if (why)
            *why = QStringLiteral("no secret store in this session");
        return std::nullopt;
    }
    auto* read = new QKeychain::ReadPasswordJob(QString::fromLatin1(kService));
    read->setKey(siteKey(site));
    std::unique_ptr<QKeychain::Job> job(read);
    if (!run(job, why))
        return std::nullopt;
    const QByteArray data = read->binaryData();
    return std::string(data.constData(), std::size_t(data.size()));
}

void Keyring::forget(const std::string& site)
{
    if (!reachable())
        return;
    auto* erase = new QKeychain::DeletePasswordJob(QString::fromLatin1(kService));
    erase->setKey(siteKey(site));
    std::unique_ptr<QKeychain::Job> job(erase);
    run(job, nullptr);
}
