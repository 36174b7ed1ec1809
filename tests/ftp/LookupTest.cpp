// Host-name lookups against a name server of the test's own: one that answers every name with "no such name" but
// keeps silent for names that begin with "silent". The engine is run in lookup_probe, a program of its own started
// in a mount namespace where /etc/resolv.conf names that server (the machine's own file is never touched), so that
// it can be seen how long the program takes to end. Needs root for the namespace and for the name server's port 53,
// as test_daemons does.

#include "platform/Exceptions.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <tuple>
#include <unistd.h>

namespace {

// The loopback address the name server answers on; nothing else on the machine listens there.
const char* const serverAddress = "127.83.0.1";

class NameServer {
public:
    bool start()
    {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(53);
        inet_pton(AF_INET, serverAddress, &at.sin_addr);
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0)
            return false;
        thread_ = std::thread([this] { serve(); });
        return true;
    }
    ~NameServer()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (fd_ >= 0)
            ::close(fd_);
    }
    int questions() const { return questions_; }

private:
    void serve()
    {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            unsigned char query[512];
            sockaddr_storage from{};
            socklen_t fromLength = sizeof from;
            const ssize_t n = ::recvfrom(fd_, query, sizeof query, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (n < 12)
                continue;
            ++questions_;
            // The question's first label: the name begins right after the header.
            const std::string first(reinterpret_cast<const char*>(query + 13), std::min<std::size_t>(query[12], 64));
            if (first.rfind("silent", 0) == 0)
                continue;
            // The query back as the answer: the question kept, "response, recursion available, no such name".
            query[2] = std::uint8_t(0x80 | (query[2] & 0x01));
            query[3] = 0x83;
            std::memset(query + 6, 0, 6); // no answers, authorities or additional records
            ::sendto(fd_, query, std::size_t(n), 0, reinterpret_cast<sockaddr*>(&from), fromLength);
        }
    }

    int fd_ = -1;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> questions_{0};
};

TEST(Lookup, ASilentNameServerIsATimeOutACancelEndsItAndNothingHoldsTheProgramsEnd)
{
    ASSERT_EQ(geteuid(), 0u) << "the lookup test needs root for its mount namespace and port 53 (CI has it)";
    NameServer server;
    ASSERT_TRUE(server.start()) << "cannot listen on " << serverAddress << " port 53";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QFile resolv(dir.filePath("resolv.conf"));
    ASSERT_TRUE(resolv.open(QIODevice::WriteOnly));
    // The system's resolver would wait 20 s for the silent server: far longer than any bound the engine keeps.
    resolv.write(QByteArray("nameserver ") + serverAddress + "\noptions timeout:20 attempts:1\n");
    resolv.close();

    const QString probe = qEnvironmentVariable("KOLVANE_BINARY_DIR") + "/tests/ftp/lookup_probe";
    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    // A private mount namespace (unshare's default propagation): the bind mount is seen by the probe alone.
    process.start("unshare", {"--mount", "sh", "-c", "mount --bind \"$0\" /etc/resolv.conf && exec \"$1\"",
                              resolv.fileName(), probe});
    ASSERT_TRUE(process.waitForStarted(5000)) << process.errorString().toStdString();
    QByteArray output;
    QElapsedTimer total;
    total.start();
    while (!output.contains("exiting\n") && process.state() == QProcess::Running && total.elapsed() < 40000) {
        process.waitForReadyRead(1000);
        output += process.readAllStandardOutput();
    }
    QElapsedTimer sinceExiting;
    if (output.contains("exiting\n"))
        sinceExiting.start();
    const bool ended = process.waitForFinished(5000);
    const qint64 exitMs = sinceExiting.isValid() ? sinceExiting.elapsed() : -1;
    if (!ended) {
        process.kill(); // our own child
        process.waitForFinished(2000);
    }
    output += process.readAllStandardOutput();
    const std::string errors = process.readAllStandardError().toStdString();
    ASSERT_TRUE(output.contains("exiting\n")) << output.toStdString() << errors;

    std::map<std::string, std::tuple<long, int, std::string>> findings;
    for (const QByteArray& line : output.split('\n')) {
        const QList<QByteArray> parts = line.split(' ');
        if (parts.size() >= 4)
            findings[parts[0].toStdString()] = {
                parts[1].toLong(), parts[2].toInt(),
                line.mid(parts[0].size() + parts[1].size() + parts[2].size() + 3).toStdString()};
    }
    const auto& [timeoutMs, timeoutKind, timeoutMessage] = findings["timeout"];
    EXPECT_EQ(timeoutMessage, "Host Lookup Timed Out");
    EXPECT_EQ(timeoutKind, int(FailureKind::TimedOut));
    EXPECT_GE(timeoutMs, 1400);
    EXPECT_LT(timeoutMs, 5000);
    const auto& [cancelMs, cancelKind, cancelMessage] = findings["cancel"];
    EXPECT_EQ(cancelMessage, "Host Lookup Canceled");
    EXPECT_EQ(cancelKind, int(FailureKind::Cancelled));
    EXPECT_LT(cancelMs, 3000);
    // A name server that answered "no such name" is a name not found, as before.
    const auto& [answeredMs, answeredKind, answeredMessage] = findings["answered"];
    EXPECT_EQ(answeredMessage, "Null Remote Address");
    EXPECT_EQ(answeredKind, int(FailureKind::Lookup));
    EXPECT_LT(answeredMs, 5000);
    EXPECT_TRUE(ended) << "the probe did not end with a lookup under way";
    EXPECT_LT(exitMs, 3000);
    EXPECT_GT(server.questions(), 3);
}

} // namespace
