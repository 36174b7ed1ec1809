// Directory listings: the tokenizer and Unix parser from a table of real lines, the announced size, SYST
// detection, and whole active-mode listings against a scripted peer, including the ways they can go wrong.

#include "FtpTestSupport.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

struct ParseRow {
    std::string line;
    bool stored;
    std::string name = {}, size = {}, date = {}, attributes = {};
};

TEST(ListParser, UnixLinesTable)
{
    std::string manyFields = "-rw-r--r-- 1 u g 77 Mar 3 2020", manyNames;
    for (int i = 1; i <= 22; ++i)
        manyNames += (i > 1 ? " w" : "w") + std::to_string(i);
    manyFields += " " + manyNames; // 30 fields in all
    const std::string longName(300, 'n');
    const ParseRow rows[] = {
        {"total 12", false},
        {"drwxr-xr-x 2 owner group 4096 Jan 5 12:00 incoming", true, "incoming", "4096", "Jan 5 12:00", "drwxr-xr-x"},
        {"-rw-r--r--   1 u    g   5000000000 Dec 31  2030 big.iso", true, "big.iso", "5000000000", "Dec 31 2030",
         "-rw-r--r--"},
        // The name is the rest of the line after the date: blanks inside and behind it are kept, a link's target
        // is split off, and a name that looks like a date or holds " -> " is still the name.
        {"-rw-r--r-- 1 u g 10 Jan 5 2001 my file.nfo", true, "my file.nfo", "10", "Jan 5 2001", "-rw-r--r--"},
        {"drwxr-xr-x 2 u g 4096 Dec  9 09:31 spaced  dir  ", true, "spaced  dir  ", "4096", "Dec 9 09:31",
         "drwxr-xr-x"},
        {"lrwxrwxrwx 1 u g 7 Feb 10 09:30 latest -> REL-2001", true, "latest", "7", "Feb 10 09:30", "lrwxrwxrwx"},
        {"lrwxrwxrwx 1 u g 7 Feb 10 09:30 my link -> a -> b", true, "my link", "7", "Feb 10 09:30", "lrwxrwxrwx"},
        {"-rw-r--r-- 1 u g 7 Feb 10 09:30 not -> a link", true, "not -> a link", "7", "Feb 10 09:30", "-rw-r--r--"},
        {"-rw-r--r-- 1 u g 3 Dec  9  2025 Dec  9 09:31", true, "Dec  9 09:31", "3", "Dec 9 2025", "-rw-r--r--"},
        {"-rw-r--r-- 1 u g 3 Dec  9  2025 Jan 5 2001 x", true, "Jan 5 2001 x", "3", "Dec 9 2025", "-rw-r--r--"},
        {"-rw-r--r-- 1 owner 1234 Jan 5 12:00 no group", true, "no group", "1234", "Jan 5 12:00", "-rw-r--r--"},
        {"crw-rw-rw- 1 root root 1,   3 Jan  1  2020 dev null", true, "dev null", "3", "Jan 1 2020", "crw-rw-rw-"},
        {"-rw-r--r-- 1 u g 5 Jan 5 2001 ends in blank \r", true, "ends in blank ", "5", "Jan 5 2001", "-rw-r--r--"},
        {"-rw-r--r-- 1 u g\t10 Jan 5 2001 a.zip", true, "a.zip", "g\t10", "Jan 5 2001", "-rw-r--r--"}, // no tab split
        {" drwx 2 u g 1 Jan 5 12:00 x", true, "x", "1", "Jan 5 12:00", ""},      // a leading blank: empty first field
        {"drwx 2 u g 1 Jan 5 12:00 x ", true, "x ", "1", "Jan 5 12:00", "drwx"}, // a trailing blank is the name's
        {"drwx 2 u g 1 Jan 5 12:00 ", false},                                    // no name: no entry
        {manyFields, true, manyNames, "77", "Mar 3 2020", "-rw-r--r--"},
        {"-rw-r--r-- 1 u g 1 Jan 5 2001 " + longName, true, longName, "1", "Jan 5 2001", "-rw-r--r--"},
        {longName + " 1 u g " + longName + " Jan 5 2001 x", true, "x", longName.substr(0, 255), "Jan 5 2001",
         longName.substr(0, 255)},
        // Without a date where the standard layout has it, the fields count from the end as they always have.
        {"-rw-r--r-- 1 u g 10 Janvier 5 2001 my file.nfo", true, "file.nfo", "Janvier", "5 2001 my", "-rw-r--r--"},
        {"a b c d e f g h ", false},
        {"a b c d e f g", false},
        {"a b c d e f g h", true, "h", "d", "e f g", "a"},
        {"\r\n", false},
        {"", false},
    };
    TFTPUnixList list;
    std::size_t stored = 0;
    for (const ParseRow& row : rows) {
        list.ParseLine(row.line);
        ASSERT_EQ(list.NameList.size(), stored + row.stored) << row.line;
        ASSERT_TRUE(list.SizeList.size() == stored + row.stored && list.DateList.size() == stored + row.stored &&
                    list.AttributeList.size() == stored + row.stored);
        const std::optional<TFTPListEntry> entry = list.LastStored();
        ASSERT_EQ(entry.has_value(), row.stored) << row.line;
        if (!row.stored)
            continue;
        EXPECT_EQ(list.NameList[stored], row.name) << row.line;
        EXPECT_EQ(list.SizeList[stored], row.size) << row.line;
        EXPECT_EQ(list.DateList[stored], row.date) << row.line;
        EXPECT_EQ(list.AttributeList[stored], row.attributes) << row.line;
        EXPECT_TRUE(entry->Name == row.name && entry->Size == row.size && entry->Date == row.date &&
                    entry->Attributes == row.attributes)
            << row.line;
        ++stored;
    }
    // Every entry is still there, whole, after the lists have grown past all of them.
    std::size_t k = 0;
    for (const ParseRow& row : rows) {
        if (row.stored) {
            EXPECT_EQ(list.NameList[k++], row.name);
        }
    }
    EXPECT_EQ(k, list.NameList.size());
    list.ParseLine(manyFields);
    EXPECT_EQ(list.FieldCount(), 25);
    EXPECT_EQ(list.Field(2), "3"); // slots 2..25 hold the last 24 fields: fields 7..30
    EXPECT_EQ(list.Field(25), "w22");
}

TEST(ListParser, AnnouncedSizeSystemKindsAndPassiveReplies)
{
    for (auto [reply, size] : {std::pair<std::string, std::int64_t>{"150 Opening ASCII mode data connection for "
                                                                    "/bin/ls (3120 bytes).\r\n",
                                                                    3120},
                               {"150 Opening data connection.\r\n", 0},
                               {"150 Here it comes (5000000000 Bytes)\r\n", 5000000000},
                               {"150 12 files, 3 byte\r\n", 3},
                               {"xBYTES 12\r\n", 0},
                               {"150 (99999999999999999999999 bytes)\r\n", 0}})
        EXPECT_EQ(TNMFTP::announcedSize(reply), size) << reply;
    for (auto [reply, kind] : {std::pair{"215 UNIX Type: L8\r\n", 2400},
                               {"215 Windows_NT\r\n", 2410},
                               {"215 VMS system\r\n", 2406},
                               {"215 VM/ESA\r\n", 2402},
                               {"215 unix\r\n", 2410}})
        EXPECT_EQ(TNMFTP::vendorFromSystemReply(reply), kind) << reply;
    for (auto [reply, port] : {std::pair<std::string, int>{"229 Entering Extended Passive Mode (|||6446|)\r\n", 6446},
                               {"229 Entering extended passive mode (!!!65535!).\r\n", 65535},
                               {"229 (|||0|)\r\n", 0},
                               {"229 (|||65536|)\r\n", 0},
                               {"229 (||1|2|)\r\n", 0},
                               {"229 (|||21)\r\n", 0},
                               {"229 Entering Extended Passive Mode\r\n", 0}})
        EXPECT_EQ(TNMFTP::extendedPassivePort(reply), port) << reply;
    struct PasvRow {
        std::string reply;
        bool found;
        std::uint32_t address = 0;
        std::uint16_t port = 0;
    };
    for (const PasvRow& row : {PasvRow{"227 Entering Passive Mode (192,168,1,5,19,137)\r\n", true, 0xC0A80105, 5001},
                               PasvRow{"227 =10,1,2,3,0,21\r\n", true, 0x0A010203, 21},
                               PasvRow{"227 Entering Passive Mode (256,1,1,1,1,1)\r\n", false},
                               PasvRow{"227 Entering Passive Mode (1,2,3,4,5)\r\n", false},
                               PasvRow{"227 Entering Passive Mode (1,2,3,4,0,0)\r\n", false}}) {
        std::uint32_t address = 0;
        std::uint16_t port = 0;
        EXPECT_EQ(TNMFTP::passiveAddress(row.reply, address, port), row.found) << row.reply;
        EXPECT_TRUE(!row.found || (address == row.address && port == row.port)) << row.reply;
    }
}

TEST(ListParser, PwdRepliesNameTheirFolder)
{
    for (auto [reply, folder] :
         {std::pair<std::string, std::optional<std::string>>{"257 \"/home/op\" is current directory.\r\n", "/home/op"},
          {"257 \"/a \"\"q\"\" b\" x\r\n", "/a \"q\" b"}, // a doubled quote is one
          {"257 \"/x\"\"\"\r\n", "/x\""},
          {"257 \"\"\r\n", ""},
          {"257 \"/cut short\r\n", std::nullopt},
          {"257 / without quotes\r\n", std::nullopt}})
        EXPECT_EQ(TNMFTP::quotedDirectory(reply), folder) << reply;
}

// The peer's half of one active-mode listing: PORT taken, LIST answered, the data sent over a connection of the
// peer's and closed, then the completion reply.
void serveListing(PeerSession& c, const std::string& listing,
                  const std::string& announce = "150 Opening data connection\r\n")
{
    const std::string port = c.readLine();
    c.send("200 PORT command successful\r\n");
    c.expect("LIST");
    c.send(announce);
    if (auto data = c.connectData(port)) {
        PeerSession::sendOn(*data, listing);
        data->disconnectFromHost();
        if (data->state() != QAbstractSocket::UnconnectedState)
            data->waitForDisconnected(2000);
    }
    c.send("226 Transfer complete\r\n");
}

TEST(ListTransfer, WholeListingThenALongSecondOne)
{
    const std::string first = "total 3\r\n"
                              "drwxr-xr-x 2 u g 4096 Jan 5 12:00 incoming\r\n"
                              "-rw-r--r-- 1 u g 10 Jan 5 2001 a.nfo\n"
                              "\r\n"
                              "lrwxrwxrwx 1 u g 7 Feb 10 09:30 last"; // closed without a line end
    const std::string announce =
        "150 Opening ASCII mode data connection for /bin/ls (" + std::to_string(first.size()) + " bytes).\r\n";
    // The second listing crosses many receive chunks and holds a line longer than a chunk.
    std::string second;
    for (int i = 0; i < 3000; ++i)
        second += "-rw-r--r-- 1 user group " + std::to_string(i) + " Jan 5 2001 f" + std::to_string(i) +
                  (i % 2 ? "\r\n" : "\n");
    second += "-rw-r--r-- 1 u g 1 Jan 5 2001 " + std::string(20000, 'L') + "\r\n";
    ScriptPeer peer([&](PeerSession& c) {
        serveLogin(c);
        c.expect("SYST");
        c.send("215 UNIX Type: L8\r\n");
        serveListing(c, first, announce);
        serveListing(c, second); // no SYST for the second listing of a log-in
    });
    TNMFTP ftp;
    loginTo(ftp, peer);
    ftp.ParseList = true;
    EventLog log(ftp);
    std::int64_t announced = -1;
    ftp.OnTransactionStart = [&](QObject*) { announced = ftp.BytesTotal; };
    ftp.List();
    ASSERT_GE(log.entries.size(), 4u);
    const std::string port = log.entries[3];
    EXPECT_TRUE(std::regex_match(port, std::regex("status:PORT 127,0,0,1,[0-9]+,[0-9]+"))) << port;
    EXPECT_EQ(log.entries,
              (Lines{"status:SYST", "status:215 UNIX Type: L8\r\n", "success:14", port,
                     "status:200 PORT command successful\r\n", "status:LIST", "status:" + announce, "item:total 3",
                     "item:drwxr-xr-x 2 u g 4096 Jan 5 12:00 incoming", "item:-rw-r--r-- 1 u g 10 Jan 5 2001 a.nfo",
                     "item:\r\n", "item:lrwxrwxrwx 1 u g 7 Feb 10 09:30 last", "stop",
                     "status:Received " + std::to_string(first.size()) + " Bytes", "status:226 Transfer complete\r\n",
                     "success:4"}));
    EXPECT_EQ(announced, std::int64_t(first.size()));
    EXPECT_EQ(ftp.ReplyNumber, 150); // the completion reply does not replace the LIST reply's code
    EXPECT_EQ(ftp.Vendor, FtpVendor::Unix);
    EXPECT_EQ(ftp.DirectoryList->NameList, (Lines{"incoming", "a.nfo", "last"}));
    EXPECT_EQ(ftp.DirectoryList->SizeList, (Lines{"4096", "10", "7"}));
    EXPECT_EQ(peer.received()[2], port.substr(7) + "\r\n"); // sent as reported

    log.entries.clear();
    ftp.List();
    EXPECT_EQ(log.count("status:SYST"), 0u);
    EXPECT_EQ(log.count("stop"), 1u);
    ASSERT_EQ(ftp.DirectoryList->NameList.size(), 3001u); // the lists started empty
    EXPECT_EQ(ftp.DirectoryList->NameList[2999], "f2999");
    EXPECT_EQ(ftp.DirectoryList->NameList[3000], std::string(20000, 'L')); // the name whole, as paths need it
    EXPECT_EQ(log.count("item:-rw-r--r-- 1 u g 1 Jan 5 2001 " + std::string(20000, 'L')), 1u);
    EXPECT_EQ(ftp.BytesTotal, std::int64_t(second.size()));
    EXPECT_EQ(ftp.DataSocket, nullptr);
    EXPECT_EQ(peer.failure(), "");
}

TEST(ListTransfer, RefusedSystPortAndList)
{
    ScriptPeer peer([](PeerSession& c) {
        serveLogin(c);
        for (const char* reply : {"500 SYST not understood\r\n", "500 PORT not understood\r\n"}) {
            c.readLine();
            c.send(reply);
        }
        for (const char* reply : {"550 No files found\r\n", "502 LIST not implemented\r\n"}) {
            c.readLine();
            c.send("200 PORT ok\r\n");
            c.expect("LIST");
            c.send(reply);
        }
        c.expect("NOOP");
        c.send("200 still here\r\n");
    });
    TNMFTP ftp;
    loginTo(ftp, peer);
    ftp.ParseList = true;
    EventLog log(ftp);
    EXPECT_EQ(failureOf<FTPException>([&] { ftp.List(); }), "500 PORT not understood\r\n");
    EXPECT_EQ(ftp.Vendor, FtpVendor::Other); // the refused SYST decided nothing, and the listing went on
    EXPECT_EQ(log.count("status:LIST") + log.count("start"), 0u);
    EXPECT_EQ(failureOf<FTPException>([&] { ftp.List(); }), "550 No files found\r\n");
    EXPECT_EQ(failureOf<FTPException>([&] { ftp.List(); }), "502 LIST not implemented\r\n");
    EXPECT_EQ(log.entries.back(), "unsupported:4");
    ftp.SendCommand("NOOP");
    EXPECT_EQ(peer.failure(), "");
}

TEST(ListTransfer, StrangerOnTheDataPortIsRefused)
{
    bool strangerClosed = false;
    ScriptPeer peer([&](PeerSession& c) {
        serveLogin(c);
        const std::string port = c.readLine();
        c.send("200 PORT ok\r\n");
        c.expect("LIST");
        c.send("150 Opening data connection\r\n");
        // Somebody else on this machine (every 127.x.y.z is this machine) gets to the data port first.
        QHostAddress address;
        quint16 dataPort = 0;
        parsePortLine(port, address, dataPort);
        QTcpSocket stranger;
        stranger.bind(QHostAddress("127.0.0.2"), 0);
        stranger.connectToHost(address, dataPort);
        if (stranger.waitForConnected(5000)) { // the client may refuse it before the connect is reported here
            PeerSession::sendOn(stranger, "-rw-r--r-- 1 evil evil 6 Jan 1 00:00 evil.exe\r\n");
            stranger.waitForReadyRead(5000);
        }
        strangerClosed = stranger.state() != QAbstractSocket::ConnectedState &&
                         stranger.error() != QAbstractSocket::ConnectionRefusedError;
        c.peer.signal("stranger checked");
        if (auto data = c.connectData(port)) {
            PeerSession::sendOn(*data, "-rw-r--r-- 1 u g 6 Jan 1 00:00 good.nfo\r\n");
            data->disconnectFromHost();
        }
        c.send("226 Transfer complete\r\n");
    });
    TNMFTP ftp; // without ParseList: no SYST, no directory list
    loginTo(ftp, peer);
    Lines items;
    ftp.OnListItem = [&](const std::string& line) { items.push_back(line); };
    auto dog = watchdog(ftp);
    ftp.List();
    EXPECT_FALSE(dog->fired);
    EXPECT_EQ(items, Lines{"-rw-r--r-- 1 u g 6 Jan 1 00:00 good.nfo"});
    ASSERT_TRUE(peer.waitFor("stranger checked"));
    EXPECT_TRUE(strangerClosed);
    EXPECT_EQ(ftp.DirectoryList, nullptr);
    EXPECT_EQ(ftp.Vendor, FtpVendor::Undetected);
    EXPECT_EQ(peer.failure(), "");
}

TEST(ListTransfer, ServerThatCannotConnectEndsTheWait)
{
    ScriptPeer peer([](PeerSession& c) {
        serveLogin(c);
        c.readLine();
        c.send("200 PORT ok\r\n");
        c.expect("LIST");
        c.send("150 Opening data connection\r\n425 Can't open data connection\r\n"); // and never connects
        c.expect("NOOP");
        c.send("200 ok\r\n");
    });
    TNMFTP ftp;
    loginTo(ftp, peer);
    EventLog log(ftp);
    auto dog = watchdog(ftp);
    EXPECT_EQ(failureOf<FTPException>([&] { ftp.List(); }), "425 Can't open data connection\r\n");
    EXPECT_FALSE(dog->fired);
    EXPECT_EQ(log.entries.back(), "status:425 Can't open data connection\r\n");
    ftp.SendCommand("NOOP");
    EXPECT_EQ(ftp.ReplyNumber, 200);
}

TEST(ListTransfer, CancelEndsAcceptAndListingWaits)
{
    ScriptPeer peer([](PeerSession& c) {
        serveLogin(c);
        c.readLine(); // 1: the connection never comes
        c.send("200 PORT ok\r\n");
        c.expect("LIST");
        c.send("150 Opening data connection\r\n");
        for (const char* mark : {"aborted", "cancelled"}) { // 2, 3: two lines arrive, then nothing
            const std::string port = c.readLine();
            c.send("200 PORT ok\r\n");
            c.expect("LIST");
            c.send("150 Opening data connection\r\n");
            auto data = c.connectData(port);
            if (data)
                PeerSession::sendOn(*data, "total 1\r\n-rw-r--r-- 1 u g 1 Jan 5 2001 x\r\n");
            c.peer.waitFor(mark);
        }
        c.expect("NOOP");
        c.send("200 ok\r\n");
    });
    TNMFTP ftp;
    loginTo(ftp, peer);
    EventLog log(ftp);
    {
        Later operatorGivesUp(50, [&] { ftp.Cancel(); });
        EXPECT_EQ(failureOf<ESockError>([&] { ftp.List(); }), "Accepting Canceled");
    }
    ftp.OnListItem = [&](const std::string& line) {
        if (line != "total 1")
            ftp.Abort(); // the data connection is cancelled
    };
    EXPECT_EQ(failureOf<EAbortError>([&] { ftp.List(); }), "Socket readln aborted");
    EXPECT_EQ(log.count("stop") + log.count("success:4"), 0u);
    EXPECT_EQ(ftp.DataSocket, nullptr);
    peer.signal("aborted");

    std::unique_ptr<Later> operatorGivesUp;
    ftp.OnListItem = [&](const std::string& line) {
        if (line != "total 1")
            operatorGivesUp = std::make_unique<Later>(20, [&] { ftp.Cancel(); });
    };
    EXPECT_EQ(failureOf<EAbortError>([&] { ftp.List(); }), "Socket readln aborted");
    peer.signal("cancelled");
    ftp.SendCommand("NOOP");
    EXPECT_EQ(ftp.TransactionReply, "200 ok\r\n");
}

TEST(ListTransfer, RefusedCompletionAndCutDataConnectionFailAfterTheLinesThatCame)
{
    std::string thousand;
    for (int i = 0; i < 1000; ++i)
        thousand += "-rw-r--r-- 1 u g 1 Jan 5 2001 f" + std::to_string(i) + "\r\n";
    ScriptPeer peer([&](PeerSession& c) {
        serveLogin(c);
        // 1000 lines, and then the server says they are not all.
        std::string port = c.readLine();
        c.send("200 PORT ok\r\n");
        c.expect("LIST");
        c.send("150 Opening data connection\r\n");
        if (auto data = c.connectData(port)) {
            PeerSession::sendOn(*data, thousand);
            data->disconnectFromHost();
        }
        c.send("451 Requested action aborted: local error in processing\r\n");
        // Two lines, then one longer than the client will hold unread: it cuts the connection.
        port = c.readLine();
        c.send("200 PORT ok\r\n");
        c.expect("LIST");
        c.send("150 Opening data connection\r\n");
        if (auto data = c.connectData(port)) {
            PeerSession::sendOn(*data, "total 1\r\n-rw-r--r-- 1 u g 1 Jan 5 2001 before.nfo\r\n");
            const std::string chunk(1 << 20, 'L');
            for (int i = 0; i < 10 && data->state() == QAbstractSocket::ConnectedState; ++i)
                PeerSession::sendOn(*data, chunk);
        }
        c.send("426 Data connection reset\r\n");
        c.expect("NOOP");
        c.send("200 ok\r\n");
    });
    TNMFTP ftp;
    loginTo(ftp, peer);
    ftp.ParseList = true;
    ftp.Vendor = FtpVendor::Unix; // no SYST
    EventLog log(ftp);
    auto dog = watchdog(ftp);
    EXPECT_EQ(failureOf<FTPException>([&] { ftp.List(); }),
              "451 Requested action aborted: local error in processing\r\n");
    EXPECT_EQ(ftp.DirectoryList->NameList.size(), 1000u);
    EXPECT_EQ(Lines(log.entries.end() - 3, log.entries.end()),
              (Lines{"stop", "status:Received " + std::to_string(thousand.size()) + " Bytes",
                     "status:451 Requested action aborted: local error in processing\r\n"}));
    EXPECT_EQ(log.count("success:4"), 0u);

    log.entries.clear();
    EXPECT_EQ(failureOf<ESockError>([&] { ftp.List(); }), "Reply too long");
    EXPECT_EQ(ftp.DirectoryList->NameList, Lines{"before.nfo"});
    // The lines that came stay delivered; the completion reply is read, so the next reply is the next command's.
    EXPECT_EQ(Lines(log.entries.end() - 3, log.entries.end()),
              (Lines{"item:total 1", "item:-rw-r--r-- 1 u g 1 Jan 5 2001 before.nfo",
                     "status:426 Data connection reset\r\n"}));
    EXPECT_EQ(ftp.DataSocket, nullptr);
    ftp.SendCommand("NOOP");
    EXPECT_EQ(ftp.TransactionReply, "200 ok\r\n");
    EXPECT_FALSE(dog->fired);
    EXPECT_EQ(peer.failure(), "");
}

TEST(ListTransfer, AMillionEntriesAreHeldCompactlyAndReadAsTheyCome)
{
    constexpr int Entries = 1000000;
    auto entry = [](int i) {
        char line[64];
        std::snprintf(line, sizeof line, "-rw-r--r-- 1 u g %d Jan 5 2001 f%07d\r\n", i % 1000, i);
        return std::string(line);
    };
    std::size_t listingBytes = 0;
    for (int i = 0; i < Entries; ++i)
        listingBytes += entry(i).size();
    ScriptPeer peer([&](PeerSession& c) {
        serveLogin(c);
        const std::string port = c.readLine();
        c.send("200 PORT ok\r\n");
        c.expect("LIST");
        c.send("150 Opening data connection (" + std::to_string(listingBytes) + " bytes)\r\n");
        if (auto data = c.connectData(port)) {
            std::string chunk;
            for (int i = 0; i < Entries; ++i) {
                chunk += entry(i);
                if (chunk.size() >= (1 << 20) || i + 1 == Entries) {
                    PeerSession::sendOn(*data, chunk);
                    chunk.clear();
                }
            }
            data->disconnectFromHost();
            if (data->state() != QAbstractSocket::UnconnectedState)
                data->waitForDisconnected(5000);
        }
        c.send("226 Transfer complete\r\n");
    });
    TNMFTP ftp;
    loginTo(ftp, peer);
    ftp.ParseList = true;
    ftp.Vendor = FtpVendor::Unix;
    int items = 0;
    std::size_t mostUnread = 0;
    // The window stays live while the lines stream in: a timer set at the first line runs inside the wait.
    std::unique_ptr<Later> timer;
    int itemsWhenTimerRan = -1;
    ftp.OnListItem = [&](const std::string&) {
        if (++items == 1)
            timer = std::make_unique<Later>(0, [&] { itemsWhenTimerRan = items; });
        mostUnread = std::max(mostUnread, ftp.DataSocket->ReceiveBuffer.size());
    };
    ftp.List();
    EXPECT_EQ(items, Entries);
    EXPECT_GT(itemsWhenTimerRan, 0);
    EXPECT_LT(itemsWhenTimerRan, Entries);
    EXPECT_EQ(ftp.BytesTotal, std::int64_t(listingBytes));
    const TFTPDirectoryList& list = *ftp.DirectoryList;
    ASSERT_EQ(list.NameList.size(), std::size_t(Entries));
    EXPECT_EQ(list.NameList[0], "f0000000");
    EXPECT_EQ(list.NameList[Entries - 1], "f0999999");
    EXPECT_EQ(list.SizeList[Entries - 1], "999");
    EXPECT_EQ(list.DateList[Entries / 2], "Jan 5 2001");
    // Lines are taken as they come: what waits unread is a few receive chunks, never the listing.
    EXPECT_LE(mostUnread, 8 * TPowersock::ChunkSize);
    // The lists hold their text and an offset an entry, with at most as much again to grow into.
    std::size_t text = 0;
    for (const TListColumn* column : {&list.AttributeList, &list.NameList, &list.DateList, &list.SizeList})
        for (std::string_view field : *column)
            text += field.size();
    EXPECT_LE(list.HeldBytes(), 2 * (text + 4 * sizeof(std::uint32_t) * std::size_t(Entries)));
}

TEST(ListTransfer, TransferAbortedReplyIsRaisedAfterTheListingIsReadToItsEnd)
{
    ScriptPeer peer([](PeerSession& c) {
        serveLogin(c);
        const std::string port = c.readLine();
        c.send("200 PORT ok\r\n");
        c.expect("LIST");
        c.send("150 Opening data connection\r\n");
        auto data = c.connectData(port);
        if (!data)
            return;
        PeerSession::sendOn(*data, "line one\r\n");
        c.peer.waitFor("first line");
        c.send("426 Connection closed; transfer aborted\r\n");
        c.peer.waitFor("watch fired");
        PeerSession::sendOn(*data, "line two\r\n");
        data->disconnectFromHost();
    });
    TNMFTP ftp;
    loginTo(ftp, peer);
    EventLog log(ftp);
    ftp.OnListItem = [&](const std::string& line) {
        log.add("item:" + line);
        peer.signal("first line");
    };
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (ftp.Canceled)
            peer.signal("watch fired");
    });
    watch.start(1);
    auto dog = watchdog(ftp);
    // Read to its end, and then the server's word that it is not whole: the listing does not count as done.
    EXPECT_EQ(failureOf<FTPException>([&] { ftp.List(); }), "426 Connection closed; transfer aborted\r\n");
    EXPECT_FALSE(dog->fired);
    EXPECT_EQ(Lines(log.entries.end() - 5, log.entries.end()),
              (Lines{"item:line one", "item:line two", "stop", "status:Received 20 Bytes",
                     "status:426 Connection closed; transfer aborted\r\n"}));
}

} // namespace
