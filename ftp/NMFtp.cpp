#include "ftp/NMFtp.h"

#include "platform/PollLoop.h"

#include <algorithm>
#include <cctype>
#include <utility>

// ---------------------------------------------------------------------------------------------------------------
// Directory lists

void TFTPDirectoryList::ParseLine(const std::string& line)
{
    lastStored_ = None;
    int index = 1; // the field being filled, 1-based
    int count = 1;
    fields_[0].clear();
    std::size_t i = 0;
    while (i < line.size()) {
        if (line[i] != ' ') {
            std::string& field = fields_[std::size_t(index - 1)];
            if (field.size() < MaxFieldLength)
                field.push_back(line[i]);
            ++i;
            continue;
        }
        // A run of spaces ends the field. Past the last slot the window of slots 2..25 moves on, so the slots keep
        // the first field and the last 24.
        if (index < MaxFields) {
            ++index;
        } else {
            std::rotate(fields_.begin() + 1, fields_.begin() + 2, fields_.end());
        }
        count = std::min(count + 1, MaxFields);
        fields_[std::size_t(index - 1)].clear();
        while (i < line.size() && line[i] == ' ')
            ++i;
    }
    fieldCount_ = count;
}

void TFTPDirectoryList::ClearLists()
{
    lastStored_ = None;
    AttributeList.clear();
    NameList.clear();
    SizeList.clear();
    DateList.clear();
}

void TFTPUnixList::ParseLine(const std::string& line)
{
    TFTPDirectoryList::ParseLine(line);
    const int n = FieldCount();
    if (n <= 7)
        return;
    NameList.push_back(Field(n));
    SizeList.push_back(Field(n - 4));
    DateList.push_back(Field(n - 3) + " " + Field(n - 2) + " " + Field(n - 1));
    AttributeList.push_back(Field(1));
    noteStored();
}

std::optional<TFTPListEntry> TFTPDirectoryList::LastStored() const
{
    if (lastStored_ == None || lastStored_ >= NameList.size())
        return std::nullopt;
    return TFTPListEntry{AttributeList[lastStored_], NameList[lastStored_], DateList[lastStored_],
                         SizeList[lastStored_]};
}

// ---------------------------------------------------------------------------------------------------------------
// The client

class TNMFTP::BusyScope {
public:
    explicit BusyScope(TNMFTP& ftp) : ftp_(ftp) { ++ftp_.busyDepth_; }
    ~BusyScope() { --ftp_.busyDepth_; }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    TNMFTP& ftp_;
};

namespace {

bool continuesReply(const std::string& line)
{
    return (!line.empty() && line[0] == ' ') || (line.size() >= 4 && line[3] == '-');
}

} // namespace

TNMFTP::TNMFTP(QObject* Owner) : TPowersock(Owner)
{
    Port = 21;
    Vendor = FtpVendor::Undetected;
    watchReplies();
}

TNMFTP::~TNMFTP()
{
    // Log out without waiting: a server that never answers must not hold the program's end, and no event may
    // reach an owner that is being torn down. The QUIT goes out; its reply is not read.
    beginDestruction();
    Canceled = true;
    if (DataSocket)
        DataSocket->Cancel();
    if (Connected)
        sendImmediately("QUIT\r\n");
    DirectoryList.reset();
    DataSocket.reset();
}

void TNMFTP::watchReplies()
{
    // The reply watch: a 421 (service closing) or 426 (transfer aborted) at the start of the unread bytes ends
    // whatever wait is running.
    arrivalHook = [this] {
        if (!replyWatchOn_ || ReceiveBuffer.size() < 4)
            return;
        const std::string_view head = ReceiveBuffer.view().substr(0, 3);
        if (head == "421" || head == "426") {
            Cancel();
            canceledByReplyWatch = true;
        }
    };
}

void TNMFTP::readContinuation(std::string line)
{
    while (continuesReply(line)) {
        line = ReadLn();
        ReportStatus(StatusLevel::Protocol, line);
    }
}

std::string TNMFTP::Transaction(const std::string& command)
{
    BusyScope busy(*this);
    const std::string first = TPowersock::Transaction(command);
    readContinuation(first);
    return first;
}

std::string TNMFTP::readGreetingLine()
{
    try {
        return ReadLn();
    } catch (const EAbortError&) {
        if (!canceledByReplyWatch)
            throw;
    }
    // A greeting of 421 is the server turning us away; take its line so the operator reads why.
    clearCanceled();
    replyWatchOn_ = false;
    try {
        std::string line = ReadLn();
        replyWatchOn_ = true;
        return line;
    } catch (...) {
        replyWatchOn_ = true;
        throw;
    }
}

void TNMFTP::checkLogin()
{
    if (ReplyNumber >= 401 && ReplyNumber <= 599) {
        if (OnConnectionFailed)
            OnConnectionFailed(this);
        throw FTPException(TransactionReply);
    }
}

void TNMFTP::Connect()
{
    BusyScope busy(*this);
    clearCanceled();
    if (Connected)
        return;
    ReceiveBuffer.clear();
    TPowersock::Connect();
    // A server that hangs up during the log-in is reported after the lines it sent, not before them.
    holdDisconnect = true;
    try {
        // The greeting: one or more lines, read as the continuation of a line that is a single space.
        std::string firstGreeting;
        std::string line = " ";
        while (continuesReply(line)) {
            line = readGreetingLine();
            ReportStatus(StatusLevel::Protocol, line);
            if (firstGreeting.empty())
                firstGreeting = line;
        }
        // A greeting that is itself a refusal (421 too many users, 530 not allowed) ends the log-in with its text.
        const std::int16_t greetingCode = replyCode(firstGreeting);
        if (greetingCode >= 400 && greetingCode <= 599) {
            if (OnConnectionFailed)
                OnConnectionFailed(this);
            throw FTPException(firstGreeting);
        }
        if ((UserID.empty() || Password.empty()) && OnAuthenticationNeeded) {
            bool Handled = false;
            OnAuthenticationNeeded(Handled);
        }
        ReportStatus(StatusLevel::Protocol, "USER " + UserID);
        Transaction(Proxy.empty() ? "USER " + UserID : "USER " + UserID + "@" + Host);
        checkLogin();
        if (ReplyNumber == 331) {
            ReportStatus(StatusLevel::Protocol, "PASS ");
            Transaction("PASS " + Password);
            checkLogin();
        }
        holdDisconnect = false;
        if (OnConnect)
            OnConnect(this);
        releaseDisconnect();
    } catch (const EAbortError&) {
        // A cancelled log-in ends at once, without a QUIT conversation with a server that may well be the reason
        // for the cancel.
        endFailedLogin(false);
        throw;
    } catch (...) {
        endFailedLogin(true);
        throw;
    }
}

void TNMFTP::endFailedLogin(bool sayQuit)
{
    // The log-in failure is what the caller must hear about; a failure of the log-out that follows it is not.
    try {
        if (sayQuit) {
            Disconnect();
        } else {
            DirectoryList.reset();
            Vendor = FtpVendor::Undetected;
            TPowersock::Disconnect();
        }
    } catch (...) {
    }
    releaseDisconnect();
    ReportStatus(StatusLevel::Protocol, "Disconnected");
}

void TNMFTP::Disconnect()
{
    BusyScope busy(*this);
    clearCanceled();
    if (!Connected)
        return;
    ReportStatus(StatusLevel::Protocol, "QUIT");
    // Whatever happens below ends with the socket closed and OnDisconnect fired once, after the reply lines, even
    // when the server hangs up before its reply has been read.
    struct CloseAtEnd {
        TNMFTP& ftp;
        bool closed = false;
        void close()
        {
            if (std::exchange(closed, true))
                return;
            ftp.holdDisconnect = false;
            ftp.TPowersock::Disconnect();
        }
        ~CloseAtEnd()
        {
            try {
                close();
            } catch (...) {
            }
        }
    } closeAtEnd{*this};
    holdDisconnect = true;
    DirectoryList.reset();
    Vendor = FtpVendor::Undetected;
    std::string first;
    try {
        if (!ReceiveBuffer.empty())
            Read(0);
        first = Transaction("QUIT");
    } catch (const EAbortError&) {
        throw;
    } catch (const ESockError& e) {
        // A server that hangs up instead of answering QUIT has done what QUIT asks.
        if (!Connected && e.message() == ConnectionClosedMessage)
            return;
        throw;
    }
    if (ReplyNumber >= 301 && ReplyNumber <= 599) {
        closeAtEnd.close(); // closed before the refusal leaves
        throw FTPException(first);
    }
}

TCmdType TNMFTP::classifyCommand(const std::string& command)
{
    const std::string word = command.substr(0, command.find(' '));
    if (word == "CWD")
        return TCmdType::ChangeDir;
    if (word == "DELE")
        return TCmdType::DeleteFile;
    if (word == "MKD")
        return TCmdType::MakeDir;
    if (word == "RMD")
        return TCmdType::RemoveDir;
    if (command == "PWD")
        return TCmdType::CurrentDir;
    return TCmdType::Other;
}

void TNMFTP::SendCommand(const std::string& command)
{
    BusyScope busy(*this);
    const TCmdType kind = classifyCommand(command);
    clearCanceled();
    CheckConnected();
    ReportStatus(StatusLevel::Protocol, command);
    // Lines that arrived unasked (or were left over) are not this command's reply.
    if (!ReceiveBuffer.empty())
        Read(0);
    const std::string first = Transaction(command);
    if (ReplyNumber >= 400 && ReplyNumber <= 599) {
        if (ReplyNumber >= 500 && ReplyNumber <= 502 && OnUnSupportedFunction)
            OnUnSupportedFunction(kind);
        if (!OnFailure)
            throw FTPException(first);
        bool Handled = false;
        OnFailure(Handled, kind);
        if (!Handled)
            throw FTPException(first);
        return;
    }
    if (OnSuccess)
        OnSuccess(kind);
}

void TNMFTP::ChangeDirectory(const std::string& path)
{
    BusyScope busy(*this);
    SendCommand("CWD " + path);
}

void TNMFTP::RemoveDirectory(const std::string& path)
{
    BusyScope busy(*this);
    SendCommand("RMD " + path);
}

std::string TNMFTP::CurrentDirectory()
{
    BusyScope busy(*this);
    SendCommand("PWD");
    const std::string& reply = TransactionReply;
    const std::size_t open = reply.find('"');
    if (open == std::string::npos)
        return std::string();
    const std::size_t close = reply.find('"', open + 1);
    if (close == std::string::npos)
        return reply.substr(open + 1);
    return reply.substr(open + 1, close - open - 1);
}

void TNMFTP::Abort()
{
    if (DataSocket)
        DataSocket->Cancel();
}

// ---------------------------------------------------------------------------------------------------------------
// Listing

std::int32_t TNMFTP::vendorFromSystemReply(const std::string& reply)
{
    static constexpr std::pair<std::string_view, std::int32_t> kinds[] = {
        {"UNIX", FtpVendor::Unix},   {"NETWARE", FtpVendor::NetWare}, {"DOS", FtpVendor::Dos},
        {"VMS", FtpVendor::Vms},     {"MVS", FtpVendor::Mvs},         {"VM", FtpVendor::Vm},
        {"MACOS", FtpVendor::MacOs}, {"OS/400", FtpVendor::Os400},
    };
    for (const auto& [text, code] : kinds)
        if (reply.find(text) != std::string::npos)
            return code;
    return FtpVendor::Other;
}

std::int64_t TNMFTP::announcedSize(const std::string& reply)
{
    std::string upper = reply;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return char(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c); });
    const std::size_t byteAt = upper.find("BYTE");
    if (byteAt == std::string::npos)
        return 0;
    auto isDigit = [&](std::size_t i) { return reply[i] >= '0' && reply[i] <= '9'; };
    std::size_t last = byteAt;
    while (last > 0 && !isDigit(last - 1))
        --last;
    if (last == 0)
        return 0; // no digit before the word
    std::size_t first = last - 1;
    while (first > 0 && isDigit(first - 1))
        --first;
    // A figure too long for the count does not convert.
    if (last - first > 18)
        return 0;
    std::int64_t value = 0;
    for (std::size_t i = first; i < last; ++i)
        value = value * 10 + (reply[i] - '0');
    return value;
}

void TNMFTP::refuseListStep(const std::string& firstLine)
{
    if (!OnFailure)
        throw FTPException(firstLine);
    bool Handled = false;
    OnFailure(Handled, TCmdType::List);
    if (!Handled)
        throw FTPException(firstLine);
}

void TNMFTP::watchControlWhileAccepting()
{
    // The server's connection can no longer come once the control connection is gone...
    if (!Connected)
        throw ESockError(std::string(ConnectionClosedMessage));
    // ...or once the operator cancelled, or a 421/426 said so.
    if (Canceled) {
        DataSocket->Cancel();
        return;
    }
    // ...or once the server refused the transfer on the control connection (425 can't open data connection).
    const std::size_t lineEnd = ReceiveBuffer.find('\n');
    if (lineEnd == ByteQueue::npos)
        return;
    const std::int16_t code = replyCode(ReceiveBuffer.view().substr(0, lineEnd));
    if (code < 400 || code > 599)
        return;
    const std::string line = ReadLn();
    TransactionReply = line;
    ReplyNumber = code;
    ReportStatus(StatusLevel::Protocol, line);
    readContinuation(line);
    throw FTPException(line);
}

void TNMFTP::readListing()
{
    TPowersock& data = *DataSocket;
    while (data.Connected || !data.ReceiveBuffer.empty()) {
        // Abort cancels the data connection; the operator's Cancel of the client ends the listing the same way.
        // (A 421/426 on the control connection does not: the listing is still read to its end.)
        if (data.Canceled || (Canceled && !canceledByReplyWatch)) {
            data.Cancel();
            throw EAbortError("Socket readln aborted");
        }
        std::string line;
        if (data.ReceiveBuffer.find('\n') != ByteQueue::npos) {
            line = data.ReadLn();
            if (line.size() > 2)
                line.resize(line.size() - (line[line.size() - 2] == '\r' ? 2 : 1));
        } else if (!data.Connected) {
            // The server closed the connection after a last line without a line end: that line counts too.
            line = data.Read(0);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
        } else {
            PollWait();
            continue;
        }
        if (ParseList && DirectoryList)
            DirectoryList->ParseLine(line);
        if (OnListItem)
            OnListItem(line);
    }
}

void TNMFTP::List()
{
    BusyScope busy(*this);
    clearCanceled();
    CheckConnected();
    DataSocket = std::make_unique<TPowersock>();
    bool completed = false;
    try {
        if (!ReceiveBuffer.empty())
            Read(0);
        if (ParseList) {
            if (!DirectoryList) {
                if (Vendor == FtpVendor::Undetected) {
                    try {
                        SendCommand("SYST");
                    } catch (...) {
                    }
                }
                Vendor = vendorFromSystemReply(TransactionReply);
                DirectoryList = std::make_unique<TFTPUnixList>();
            }
            DirectoryList->ClearLists();
        }
        DataSocket->Port = 0;
        DataSocket->Listen(true);
        DataSocket->acceptFrom = peerAddress();

        const std::string portCommand = "PORT " + LocalAddressText() + DataSocket->LocalPortText();
        ReportStatus(StatusLevel::Protocol, portCommand);
        const std::string portReply = Transaction(portCommand);
        if (ReplyNumber >= 301 && ReplyNumber <= 599)
            refuseListStep(portReply);

        ReportStatus(StatusLevel::Protocol, "LIST");
        const std::string listReply = Transaction("LIST");
        if (ReplyNumber >= 301 && ReplyNumber <= 599) {
            if (ReplyNumber >= 500 && ReplyNumber <= 502 && OnUnSupportedFunction)
                OnUnSupportedFunction(TCmdType::List);
            refuseListStep(listReply);
        }
        BytesTotal = announcedSize(listReply);
        if (OnTransactionStart)
            OnTransactionStart(this);

        DataSocket->acceptGuard = [this] { watchControlWhileAccepting(); };
        const int handle = DataSocket->Accept();
        DataSocket->acceptGuard = nullptr;
        DataSocket->installAcceptedSocket(handle);

        if (!Canceled && !TimedOut)
            readListing();
        if (OnTransactionStop)
            OnTransactionStop(this);
        DataSocket->RequestCloseSocket();
        BytesTotal = DataSocket->BytesRecvd;
        ReportStatus(StatusLevel::Protocol, "Received " + std::to_string(BytesTotal) + " Bytes");

        if (!Canceled && !TimedOut) {
            const std::string line = ReadLn();
            ReportStatus(StatusLevel::Protocol, line);
            readContinuation(line);
        }
        completed = true;
    } catch (...) {
        DataSocket.reset();
        throw;
    }
    DataSocket.reset();
    if (completed && OnSuccess)
        OnSuccess(TCmdType::List);
}
