// The FTP client reading arbitrary bytes as a daemon's replies, through a real connected socket pair: the bytes are
// all sent, the daemon's side then ends its stream, and the client runs one operation and reads the rest line by
// line. The operation must end with a reply or one of the engine's own errors; a crash, a sanitizer report or a
// wait that never ends (libFuzzer's -timeout) is a finding.

#include "ftp/NMFtp.h"

#include <QCoreApplication>

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    // The socket notifications need an event loop's dispatcher; the application lives as long as the process.
    new QCoreApplication(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The first byte picks the operation and whether a failure handler is set; the rest is the daemon's stream.
    if (size == 0)
        return 0;
    const std::uint8_t choice = data[0];
    ++data;
    --size;

    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0)
        return 0;
    const int daemon = pair[1];
    // The inputs are far smaller than the socket's buffer: everything goes in one send. The daemon's side then ends
    // its stream, so every wait has an end: a line, or the end of the connection.
    if (size > 0 && ::send(daemon, data, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size)) {
        ::close(pair[0]);
        ::close(daemon);
        return 0;
    }
    ::shutdown(daemon, SHUT_WR);
    {
        TNMFTP ftp;
        ftp.ReportLevel = StatusLevel::Errors;
        ftp.OnStatus = [](QObject*, const std::string&) {};
        if (choice & 0x10)
            ftp.OnFailure = [](bool& handled, TCmdType) { handled = true; };
        ftp.installAcceptedSocket(pair[0]); // the client owns the handle from here on
        try {
            switch (choice % 4) {
            case 0:
                ftp.SendCommand("SITE WHO");
                break;
            case 1:
                ftp.CurrentDirectory();
                break;
            case 2:
                ftp.ChangeDirectory("/pub");
                break;
            default:
                ftp.Transaction("SYST");
                break;
            }
        } catch (const Exception&) {
            // A refusal, an aborted or ended connection: all the engine's own errors.
        }
        // Whatever is left is read line by line, as the next commands would find it, and each line goes through
        // the reply readers.
        for (int i = 0; i < 256; ++i) {
            std::string line;
            try {
                line = ftp.ReadLn();
            } catch (const Exception&) {
                break;
            }
            TPowersock::replyCode(line);
            TNMFTP::announcedSize(line);
            TNMFTP::vendorFromSystemReply(line);
        }
        try {
            ftp.Disconnect();
        } catch (const Exception&) {
        }
    }
    ::close(daemon);
    return 0;
}
