// lookup_probe: host-name lookups of the engine against whatever name server the system is set to ask, one line of
// findings each, for test_daemons to run in a mount namespace whose resolv.conf names a name server of the test's.
//
//   timeout <ms> <kind> <message>   a name nobody answers for, with a reply time-out of 1.5 s
//   cancel <ms> <kind> <message>    the same without a time-out, cancelled after 300 ms
//   answered <ms> <kind> <message>  a name the name server says does not exist
//   exiting                         a lookup nobody answers is under way as main returns
//
// The kind is the failure kind's number. The program must end as soon as main returns, whatever lookup is under way.

#include "FtpTestSupport.h"

#include <QCoreApplication>

#include <chrono>
#include <cstdio>

namespace {

void probe(const char* what, const std::string& host, std::int32_t replyTimeout, int cancelAfter)
{
    TNMFTP ftp;
    ftp.Host = host;
    ftp.Port = 21;
    ftp.UserID = "nobody";
    ftp.ReplyTimeout = replyTimeout;
    std::unique_ptr<Later> cancel;
    if (cancelAfter > 0)
        cancel = std::make_unique<Later>(cancelAfter, [&] { ftp.Cancel(); });
    // However the lookup goes, the probe does not wait longer than this.
    Later guard(10000, [&] { ftp.Cancel(); });
    const auto start = std::chrono::steady_clock::now();
    std::string message = "(connected)";
    int kind = -1;
    try {
        ftp.Connect();
    } catch (const Exception& e) {
        message = e.message();
        kind = int(e.kind());
    }
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    std::printf("%s %lld %d %s\n", what, static_cast<long long>(ms), kind, message.c_str());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    probe("timeout", "silent.kolvane.test", 1500, 0);
    probe("cancel", "silent-cancel.kolvane.test", 0, 300);
    probe("answered", "missing.kolvane.test", 5000, 0);
    HostLookup abandoned("silent-exit.kolvane.test");
    std::printf("exiting\n");
    std::fflush(stdout);
    return 0;
}
