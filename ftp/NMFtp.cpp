#include "ftp/NMFtp.h"

#include "platform/PollLoop.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>
#include <utility>

// ---------------------------------------------------------------------------------------------------------------
// Directory lists

void TListColumn::append(std::initializer_list<std::string_view> parts)
{
    std::size_t length = 0;
    for (std::string_view part : parts)
        length += part.size();
    // The offsets are 32 bits wide: four gigabytes of one column's text is more than any listing the console can
    // show, and must not wrap round into wrong entries.
    if (length > std::numeric_limits<std::uint32_t>::max() - bytes_.size())
        throw Exception("The listing is too large to hold");
    for (std::string_view part : parts)
        bytes_.append(part);
    ends_.push_back(std::uint32_t(bytes_.size()));
}

void TListColumn::clear()
{
    bytes_.clear();
    ends_.clear();
}

void TListColumn::reserve(std::size_t entries, std::size_t bytes)
{
    ends_.reserve(entries);
    bytes_.reserve(bytes);
}

void TFTPDirectoryList::ParseLine(const std::string& line)
{
    lastStored_ = None;
    line_.assign(line);
    const char* const text = line_.data();
    const std::size_t size = line_.size();
    // The field boundaries first: each field runs to the next space, and a run of spaces is one separator. Past
    // the last slot the window of slots 2..25 moves on, so the slots keep the first field and the last 24.
    int count = 0;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = start;
        while (end < size && text[end] != ' ')
            ++end;
        const Span field{start, std::min(end - start, MaxFieldLength)};
        if (count < MaxFields) {
            spans_[std::size_t(count++)] = field;
        } else {
            std::move(spans_.begin() + 2, spans_.end(), spans_.begin() + 1);
            spans_[MaxFields - 1] = field;
        }
        if (end == size)
            break;
        start = end + 1;
        while (start < size && text[start] == ' ')
            ++start;
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

void TFTPDirectoryList::ReserveFor(std::int64_t listingBytes)
{
    // A Unix listing line is some 60 to 70 bytes: ten of attributes, a dozen of date, a size and a name. The room
    // follows those shares; past the cap the lists grow as lines come, so a server that announces terabytes gets
    // nothing it did not send.
    constexpr std::int64_t Cap = std::int64_t(16) << 20;
    const auto bytes = std::size_t(std::clamp<std::int64_t>(listingBytes, 0, Cap));
    const std::size_t entries = bytes / 56;
    AttributeList.reserve(entries, bytes / 6);
    NameList.reserve(entries, bytes / 4);
    DateList.reserve(entries, bytes / 5);
    SizeList.reserve(entries, bytes / 7);
}

std::size_t TFTPDirectoryList::HeldBytes() const
{
    return AttributeList.heldBytes() + NameList.heldBytes() + DateList.heldBytes() + SizeList.heldBytes();
}

namespace {

// One blank-separated field of a line, where it starts and ends.
struct Piece {
    std::size_t start = 0;
    std::size_t end = 0;
};

bool isDigits(std::string_view text, std::size_t least, std::size_t most)
{
    return text.size() >= least && text.size() <= most &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool isMonth(std::string_view text)
{
    static constexpr std::string_view months[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                                  "jul", "aug", "sep", "oct", "nov", "dec"};
    if (text.size() != 3)
        return false;
    char lower[3];
    std::transform(text.begin(), text.end(), lower,
                   [](char c) { return char(std::tolower(static_cast<unsigned char>(c))); });
    return std::find(std::begin(months), std::end(months), std::string_view(lower, 3)) != std::end(months);
}

bool isDay(std::string_view text)
{
    return isDigits(text, 1, 2) && text != "0" && text != "00" && std::stoi(std::string(text)) <= 31;
}

// "09:31", "9:31" (a recent date's time) or "2025" (an older date's year).
bool isTimeOrYear(std::string_view text)
{
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos)
        return isDigits(text, 4, 4);
    return isDigits(text.substr(0, colon), 1, 2) && isDigits(text.substr(colon + 1), 2, 2);
}

} // namespace

void TFTPUnixList::ParseLine(const std::string& line)
{
    TFTPDirectoryList::ParseLine(line);
    const int n = FieldCount();
    if (n <= 7)
        return;

    // The standard "ls -l" line: attributes, link count, owner, group (some servers leave it out), size (a device's
    // two numbers) and the date as month, day and time or year; the name is the rest of the line, blanks and all.
    // The date is found from the left, so a name that looks like a date (or holds one) is still the name.
    std::string_view text(line);
    if (!text.empty() && text.back() == '\n')
        text.remove_suffix(1);
    if (!text.empty() && text.back() == '\r')
        text.remove_suffix(1);
    constexpr std::size_t kFirstMonth = 4, kLastMonth = 7; // 0-based: the fifth to the eighth field
    std::array<Piece, kLastMonth + 3> pieces{};
    std::size_t count = 0;
    for (std::size_t at = 0; count < pieces.size();) {
        std::size_t end = text.find(' ', at);
        if (end == std::string_view::npos)
            end = text.size();
        pieces[count++] = Piece{at, end};
        if (end == text.size())
            break;
        at = text.find_first_not_of(' ', end);
        if (at == std::string_view::npos)
            at = text.size();
    }
    auto field = [&](std::size_t k) {
        return text.substr(pieces[k].start, std::min(pieces[k].end - pieces[k].start, MaxFieldLength));
    };
    for (std::size_t month = kFirstMonth; month <= kLastMonth && month + 2 < count; ++month) {
        if (!isMonth(field(month)) || !isDay(field(month + 1)) || !isTimeOrYear(field(month + 2)))
            continue;
        std::size_t start = text.find_first_not_of(' ', pieces[month + 2].end);
        std::string_view name = start == std::string_view::npos ? std::string_view() : text.substr(start);
        const char kind = field(0).empty() ? '\0' : field(0)[0];
        if (kind == 'l' || kind == 'L')
            name = name.substr(0, name.find(" -> ")); // the link's own name; where it points is not kept
        if (name.empty())
            return; // nothing to name a node by
        NameList.push_back(name);
        SizeList.push_back(field(month - 1));
        DateList.append({field(month), " ", field(month + 1), " ", field(month + 2)});
        AttributeList.push_back(field(0));
        noteStored();
        return;
    }

    // Any other layout: the name is the last field, the size the fifth from the end, the date the three between.
    if (Field(n).empty())
        return;
    NameList.push_back(Field(n));
    SizeList.push_back(Field(n - 4));
    DateList.append({Field(n - 3), " ", Field(n - 2), " ", Field(n - 1)});
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
    ~BusyScope()
    {
        if (--ftp_.busyDepth_ == 0 && ftp_.OnAwait && !ftp_.isDestroying()) {
            try {
                ftp_.OnAwait(std::string());
            } catch (...) {
            }
        }
    }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    TNMFTP& ftp_;
    // The whole operation is one wait: a reply of many lines runs the application's events as often as one line.
    WaitScope wait_;
};

namespace {

bool continuesReply(const std::string& line)
{
    return (!line.empty() && line[0] == ' ') || (line.size() >= 4 && line[3] == '-');
}

std::string withoutLineEnd(std::string line)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    return line;
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
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

bool TNMFTP::watchEndedWait() const
{
    return Canceled && canceledByReplyWatch;
}

std::string TNMFTP::takeWatchedLine()
{
    // The reply watch saw a 421 or 426 at the start of the unread bytes: that line is the server's word on why the
    // wait ended, and is read like any reply line (with the watch off, which would only cancel again).
    clearCanceled();
    replyWatchOn_ = false;
    try {
        std::string line;
        try {
            line = ReadLn();
        } catch (const ESockError& e) {
            // A server that hangs up right after its last words may leave them without a line end.
            if (Connected || ReceiveBuffer.empty() || dynamic_cast<const EAbortError*>(&e))
                throw;
            line = Read(0);
        }
        replyWatchOn_ = true;
        return line;
    } catch (...) {
        replyWatchOn_ = true;
        throw;
    }
}

void TNMFTP::raiseReply(const std::string& line)
{
    TransactionReply = line;
    ReplyNumber = replyCode(line);
    ReportStatus(StatusLevel::Protocol, line);
    readContinuation(line);
    throw FTPException(line);
}

void TNMFTP::readContinuation(std::string line)
{
    while (continuesReply(line)) {
        try {
            line = ReadLn();
        } catch (const EAbortError&) {
            if (!watchEndedWait())
                throw;
            // A 421 (closing) or 426 (aborted) breaks into the reply: that is what the operator must read.
            line = takeWatchedLine();
            ReportStatus(StatusLevel::Protocol, line);
            readContinuation(line);
            throw FTPException(line);
        }
        ReportStatus(StatusLevel::Protocol, line);
    }
}

void TNMFTP::reportPending()
{
    if (std::optional<std::string> report = std::exchange(pendingReport_, std::nullopt))
        ReportStatus(StatusLevel::Protocol, *report);
}

void TNMFTP::commandSent(const std::string& command)
{
    reportPending();
    // The command is on its way: only now is the owner told what is awaited, so showing it never delays the send.
    if (OnAwait)
        OnAwait(command.compare(0, 5, "PASS ") == 0 ? std::string("PASS") : command);
}

std::string TNMFTP::Transaction(const std::string& command)
{
    BusyScope busy(*this);
    try {
        std::string first;
        try {
            first = TPowersock::Transaction(command);
        } catch (const EAbortError&) {
            if (!watchEndedWait())
                throw;
            raiseReply(takeWatchedLine());
        }
        readContinuation(first);
        // The whole reply is in: now the application's events run once, inside the operation as they always have
        // (the page shows the command and its reply, a click on the window is gated by isBusy), but never between
        // the command and its reply.
        PumpEvents();
        return first;
    } catch (const ENoAnswerError&) {
        abandonConnection();
        throw;
    } catch (const EAbortError&) {
        // A cancelled wait leaves the reply owed: it could arrive as the next command's.
        if (CloseOnCancel)
            abandonConnection();
        throw;
    }
}

void TNMFTP::abandonConnection()
{
    // A reply that comes after its wait gave up (a time-out, a cancel) would be taken for the next command's, and
    // every reply after it would be one behind: the connection ends here instead.
    if (Connected)
        TPowersock::Disconnect();
}

std::string TNMFTP::readReplyLine()
{
    // A 421 or 426 that the reply watch saw, before this wait or during it, is the line this wait was for.
    if (!watchEndedWait()) {
        try {
            return ReadLn();
        } catch (const EAbortError&) {
            if (!watchEndedWait())
                throw;
        }
    }
    return takeWatchedLine();
}

void TNMFTP::checkLogin()
{
    if (ReplyNumber >= 401 && ReplyNumber <= 599) {
        if (OnConnectionFailed)
            OnConnectionFailed(this);
        throw FTPException(TransactionReply);
    }
}

void TNMFTP::checkLoginLines() const
{
    checkLine("USER " + UserID, "The log-in name");
    checkLine("PASS " + Password, "The password");
    if (!Proxy.empty())
        checkLine("USER " + UserID + "@" + Host, "The host name");
}

void TNMFTP::Connect()
{
    BusyScope busy(*this);
    clearCanceled();
    if (Connected)
        return;
    // The log-in's own lines are judged before anything goes out, the connect included.
    checkLoginLines();
    ReceiveBuffer.clear();
    tlsContext_.reset();
    serverFingerprint_.clear();
    protectedData_ = false;
    TPowersock::Connect();
    // A server that hangs up during the log-in is reported after the lines it sent, not before them.
    holdDisconnect = true;
    try {
        if (Security == TFtpSecurity::Implicit)
            secureControl();
        // The greeting: one or more lines, read as the continuation of a line that is a single space.
        std::string firstGreeting;
        std::string line = " ";
        while (continuesReply(line)) {
            line = readReplyLine(); // a greeting of 421 is the server turning us away: its line says why
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
        // A site with a pinned certificate has spoken TLS before: it is never gone on with in clear text, whatever
        // its Security says, so an attacker who refuses AUTH TLS learns no user name and no password.
        if (Security == TFtpSecurity::ExplicitIfOffered || Security == TFtpSecurity::ExplicitRequired ||
            (Security == TFtpSecurity::Plain && !PinnedFingerprint.empty()))
            negotiateTls();
        if (isSecure())
            protectData();
        if ((UserID.empty() || Password.empty()) && OnAuthenticationNeeded) {
            bool Handled = false;
            OnAuthenticationNeeded(Handled);
            checkLoginLines();
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
        // for the cancel; so does one that the server left without an answer.
        endFailedLogin(false);
        throw;
    } catch (const ENoAnswerError&) {
        endFailedLogin(false);
        throw;
    } catch (const ETlsError&) {
        // Nothing more is said on a connection whose TLS failed or was refused, and never anything in clear text
        // where TLS was asked for.
        if (OnConnectionFailed)
            OnConnectionFailed(this);
        endFailedLogin(false);
        throw;
    } catch (...) {
        endFailedLogin(true);
        throw;
    }
}

std::string TNMFTP::tlsPeerName() const
{
    // The site's own name, whatever path the connection takes to it: TLS runs end to end through a proxy.
    return targetHost();
}

void TNMFTP::secureControl()
{
    tlsContext_ = std::make_shared<TlsContext>();
    if (!tlsContext_->failure().empty())
        throw ETlsError(tlsContext_->failure());
    startTls(tlsContext_, tlsPeerName(), true);
    awaitTls();
    // The certificate is judged before a single byte goes over the new connection.
    const TCertificateInfo& certificate = tlsCertificate();
    // A weak key is nobody's to trust: a pin says which certificate, not that its key holds.
    if (!certificate.weakKey.empty())
        throw ETlsError(certificate.weakKey);
    if (!PinnedFingerprint.empty()) {
        if (!sameFingerprint(certificate.sha256Fingerprint, PinnedFingerprint))
            throw ETlsError("The server's certificate is not the pinned one: pinned " + PinnedFingerprint +
                                ", presented " + certificate.sha256Fingerprint,
                            FailureKind::Certificate);
    } else if (!certificate.problem.empty()) {
        bool Trust = false;
        if (OnUntrustedCertificate)
            OnUntrustedCertificate(certificate, Trust);
        if (!Trust)
            throw ETlsError("The server's certificate is not trusted: " + certificate.problem,
                            FailureKind::Certificate);
    }
    serverFingerprint_ = certificate.sha256Fingerprint;
    allowCloseNotify();
    ReportStatus(StatusLevel::Protocol, "Secured with " + tlsDescription());
}

void TNMFTP::negotiateTls()
{
    ReportStatus(StatusLevel::Protocol, "AUTH TLS");
    const std::string reply = Transaction("AUTH TLS");
    if (ReplyNumber == 234) {
        secureControl();
        return;
    }
    if (!PinnedFingerprint.empty())
        throw ETlsError("The site's certificate is pinned, but the server refused AUTH TLS: " + withoutLineEnd(reply) +
                        "; neither the log-in name nor the password was sent. To reach the site without TLS, forget "
                        "the pin in the site dialog");
    if (Security == TFtpSecurity::ExplicitIfOffered && ReplyNumber >= 500 && ReplyNumber <= 599) {
        ReportStatus(StatusLevel::Protocol, "The server does not offer TLS: going on without encryption");
        return;
    }
    if (Security == TFtpSecurity::ExplicitRequired)
        throw ETlsError("TLS is required, but the server refused AUTH TLS: " + withoutLineEnd(reply));
    throw ETlsError("AUTH TLS failed: " + withoutLineEnd(reply));
}

void TNMFTP::protectData()
{
    for (const char* command : {"PBSZ 0", "PROT P"}) {
        ReportStatus(StatusLevel::Protocol, command);
        const std::string reply = Transaction(command);
        if (ReplyNumber < 200 || ReplyNumber > 299) {
            if (OnConnectionFailed)
                OnConnectionFailed(this);
            throw FTPException(reply);
        }
    }
    protectedData_ = true;
}

void TNMFTP::endFailedLogin(bool sayQuit)
{
    // The log-in failure is what the caller must hear about, and at once: QUIT goes out, but nobody waits for its
    // answer (a server that has just refused us owes us none), and a failure of the log-out is not reported.
    try {
        DirectoryList.reset();
        Vendor = FtpVendor::Undetected;
        if (sayQuit && Connected) {
            ReportStatus(StatusLevel::Protocol, "QUIT");
            sendImmediately("QUIT\r\n");
        }
        TPowersock::Disconnect();
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
    } catch (const ENoAnswerError&) {
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
    // Before anything is reported or sent: a line that cannot go out whole as one line does not go at all.
    checkLine(command, "The command");
    const TCmdType kind = classifyCommand(command);
    clearCanceled();
    CheckConnected();
    // Lines that arrived unasked (or were left over) are not this command's reply.
    if (!ReceiveBuffer.empty())
        Read(0);
    // The command line is reported the moment it has left, before any of its reply: what the owner does with the
    // report (a text box's append) never holds the command up. A command that could not go is reported all the same.
    pendingReport_ = command;
    std::string first;
    try {
        first = Transaction(command);
    } catch (...) {
        reportPending();
        throw;
    }
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

std::optional<std::string> TNMFTP::quotedDirectory(const std::string& reply)
{
    std::size_t at = reply.find('"');
    if (at == std::string::npos)
        return std::nullopt;
    std::string directory;
    for (++at; at < reply.size(); ++at) {
        if (reply[at] != '"') {
            directory.push_back(reply[at]);
        } else if (at + 1 < reply.size() && reply[at + 1] == '"') {
            directory.push_back('"');
            ++at;
        } else {
            return directory;
        }
    }
    return std::nullopt;
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

std::uint16_t TNMFTP::extendedPassivePort(const std::string& reply)
{
    // "(|||port|)": a delimiter of the printable set, three times, the port, the delimiter again.
    const std::size_t open = reply.find('(');
    if (open == std::string::npos || open + 5 >= reply.size())
        return 0;
    const char d = reply[open + 1];
    if (d < 33 || d > 126 || isDigit(d) || reply[open + 2] != d || reply[open + 3] != d)
        return 0;
    std::size_t i = open + 4;
    std::uint32_t port = 0;
    while (i < reply.size() && isDigit(reply[i]) && i < open + 9)
        port = port * 10 + std::uint32_t(reply[i++] - '0');
    if (i == open + 4 || i >= reply.size() || reply[i] != d || port == 0 || port > 65535)
        return 0;
    return std::uint16_t(port);
}

bool TNMFTP::passiveAddress(const std::string& reply, std::uint32_t& address, std::uint16_t& port)
{
    // Six comma-separated numbers after the reply code, in brackets or not.
    for (std::size_t start = 3; start < reply.size(); ++start) {
        if (!isDigit(reply[start]) || isDigit(reply[start - 1]))
            continue;
        unsigned parts[6];
        std::size_t i = start;
        int n = 0;
        for (; n < 6; ++n) {
            unsigned value = 0;
            const std::size_t first = i;
            while (i < reply.size() && isDigit(reply[i]) && i - first < 3)
                value = value * 10 + unsigned(reply[i++] - '0');
            if (i == first || value > 255 || (i < reply.size() && isDigit(reply[i])))
                break;
            parts[n] = value;
            if (n < 5) {
                if (i >= reply.size() || reply[i] != ',')
                    break;
                ++i;
            }
        }
        if (n < 6)
            continue;
        address = parts[0] << 24 | parts[1] << 16 | parts[2] << 8 | parts[3];
        port = std::uint16_t(parts[4] << 8 | parts[5]);
        return port != 0;
    }
    return false;
}

std::string TNMFTP::unreadablePassiveReply(std::string_view command, std::string_view whole)
{
    const std::string reply = withoutLineEnd(std::string(whole));
    std::string quoted;
    std::size_t i = 0;
    for (; i < reply.size() && quoted.size() < MaxQuotedReply; ++i) {
        const auto c = static_cast<unsigned char>(reply[i]);
        if (c == '\r' || c == '\n') {
            // A reply of several lines reads as one, its lines apart by a blank.
            if (!quoted.empty() && quoted.back() != ' ')
                quoted += ' ';
        } else {
            quoted += c < 32 || c == 127 ? '?' : char(c);
        }
    }
    if (i < reply.size())
        quoted += "...";
    return "The daemon's answer to " + std::string(command) + " could not be read: " + quoted;
}

void TNMFTP::watchControlWhileWaiting()
{
    // The server's connection can no longer come once a 421/426 said so (its line is what the operator reads)...
    if (watchEndedWait())
        raiseReply(takeWatchedLine());
    // ...or once the operator cancelled...
    if (Canceled) {
        DataSocket->Cancel();
        return;
    }
    // ...or once the server refused the transfer on the control connection (425 can't open data connection)...
    const std::size_t lineEnd = ReceiveBuffer.find('\n');
    if (lineEnd != ByteQueue::npos) {
        const std::int16_t code = replyCode(ReceiveBuffer.view().substr(0, lineEnd));
        if (code >= 400 && code <= 599) {
            // A quick server may have sent the listing and, right after it, its word that the listing is not whole
            // (451) before this wait looked: the data connection's news goes first, so the lines that came are
            // read, and the refusal is raised after them as the completion reply.
            const std::uint64_t seen = DataSocket->notificationCount();
            DataSocket->serviceNow();
            if (DataSocket->notificationCount() != seen)
                return;
            raiseReply(ReadLn());
        }
    }
    // ...or once the control connection is gone.
    if (!Connected)
        throw ESockError(std::string(ConnectionClosedMessage));
}

bool TNMFTP::openPassive()
{
    // The data connection goes to the address the control connection reached, whatever a reply names: a
    // server's reply must not send the console's connection elsewhere. Through a proxy that address is the
    // proxy's, and the data connection goes the same way as the control connection: to the proxy, which is asked
    // for the site's host by its name and the port of the reply.
    const bool tunnelled = !Via.isDirect();
    const SocketAddress peer = peerAddress();
    std::uint16_t port = 0;
    // An answer that is no refusal, yet names no port to use, is said as such: a raw 227 line with its line end
    // tells the operator nothing.
    std::string unreadable;
    ReportStatus(StatusLevel::Protocol, "EPSV");
    std::string reply = Transaction("EPSV");
    if (ReplyNumber == 229) {
        port = extendedPassivePort(reply);
        if (port == 0)
            unreadable = unreadablePassiveReply("EPSV", reply);
    } else if (ReplyNumber >= 500 && ReplyNumber <= 599) {
        ReportStatus(StatusLevel::Protocol, "PASV");
        reply = Transaction("PASV");
        std::uint32_t named = 0;
        const bool found = ReplyNumber == 227 && passiveAddress(reply, named, port);
        if (found && !tunnelled && SocketAddress(named) != peer)
            ReportStatus(StatusLevel::Protocol,
                         "The PASV reply names " + dottedAddress(named) + ": connecting to " + peer.text());
        if (!found && ReplyNumber < 400)
            unreadable = unreadablePassiveReply("PASV", reply);
    } else if (ReplyNumber < 400) {
        unreadable = unreadablePassiveReply("EPSV", reply);
    }
    if (port == 0) {
        if (DataMode != TDataMode::PassiveElseActive || tunnelled)
            throw FTPException(unreadable.empty() ? reply : unreadable);
        ReportStatus(StatusLevel::Protocol, unreadable.empty() ? "Passive mode refused: trying active mode"
                                                               : unreadable + ": trying active mode");
        return false;
    }
    DataSocket->TimeOut = TimeOut;
    DataSocket->waitGuard = [this] { watchControlWhileWaiting(); };
    try {
        if (tunnelled) {
            DataSocket->Via = Via;
            DataSocket->connectThrough(peer, targetHost(), port);
        } else {
            DataSocket->connectTo(peer, port);
        }
    } catch (const ESockError& e) {
        if (DataMode != TDataMode::PassiveElseActive || tunnelled || Canceled || !Connected ||
            dynamic_cast<const EAbortError*>(&e))
            throw;
        ReportStatus(StatusLevel::Protocol, "Passive data connection failed (" + e.message() + "): trying active mode");
        makeDataSocket();
        return false;
    }
    DataSocket->waitGuard = nullptr;
    return true;
}

void TNMFTP::openActive()
{
    const SocketAddress local = localAddress();
    DataSocket->Port = 0;
    DataSocket->listenIpv6 = local.isIpv6();
    DataSocket->Listen(true);
    DataSocket->acceptFrom = peerAddress();

    std::string portCommand;
    if (local.isIpv6())
        portCommand = "EPRT |2|" + SocketAddress::ipv6(local.ipv6Bytes()).text() + "|" +
                      std::to_string(DataSocket->localPort()) + "|";
    else
        portCommand = "PORT " + LocalAddressText() + DataSocket->LocalPortText();
    ReportStatus(StatusLevel::Protocol, portCommand);
    const std::string portReply = Transaction(portCommand);
    if (ReplyNumber >= 301 && ReplyNumber <= 599)
        refuseListStep(portReply);
}

void TNMFTP::secureData()
{
    // The handshake starts once the server has answered the transfer command, in either mode: a server may take
    // a data connection on which the client speaks first for one that went away.
    TPowersock& data = *DataSocket;
    data.startTls(tlsContext_, tlsPeerName(), false);
    data.waitGuard = [this] { watchControlWhileWaiting(); };
    try {
        data.awaitTls();
    } catch (const ETlsError&) {
        // A server that refused the data connection usually says why on the control connection.
        watchControlWhileWaiting();
        throw;
    }
    data.waitGuard = nullptr;
    if (data.tlsCertificate().sha256Fingerprint != serverFingerprint_)
        throw ETlsError("The data connection's certificate (" + data.tlsCertificate().sha256Fingerprint +
                        ") is not the control connection's (" + serverFingerprint_ + ")");
    data.allowCloseNotify();
}

void TNMFTP::checkCompletion(const std::string& line)
{
    // The completion reply is the server's word that the listing is whole: a refusal (451 aborted, 426 closed) means
    // the lines that came are not all there is, and the operator must hear so. Over TLS it is also the only word a
    // client gets of a data connection the server would not serve (many refuse one that does not resume the control
    // connection's TLS session).
    const std::int16_t code = replyCode(line);
    if (code < 400 || code > 599)
        return;
    if (protectedData_ && !DataSocket->tlsSessionResumed())
        ReportStatus(StatusLevel::Protocol, "The data connection did not resume the control connection's TLS session");
    throw FTPException(line);
}

bool TNMFTP::readListing()
{
    TPowersock& data = *DataSocket;
    const auto start = std::chrono::steady_clock::now();
    std::string line;
    // Only what came since the last look is searched: a long line is not searched again for every chunk of it.
    std::size_t searched = 0;
    while (data.Connected || !data.ReceiveBuffer.empty()) {
        // Abort cancels the data connection; the operator's Cancel of the client ends the listing the same way.
        // (A 421/426 on the control connection does not: the listing is still read to its end.)
        if (data.Canceled || (Canceled && !canceledByReplyWatch)) {
            data.Cancel();
            throw EAbortError("Socket readln aborted");
        }
        const std::size_t lineEnd = data.ReceiveBuffer.find('\n', searched);
        if (lineEnd != ByteQueue::npos) {
            // Lines are handed out as they complete, through one reused buffer.
            line.assign(data.ReceiveBuffer.data(), lineEnd + 1);
            data.ReceiveBuffer.drop(lineEnd + 1);
            searched = 0;
            if (line.size() > 2)
                line.resize(line.size() - (line[line.size() - 2] == '\r' ? 2 : 1));
        } else if (!data.Connected) {
            // The server closed the connection after a last line without a line end: that line counts too.
            line.assign(data.ReceiveBuffer.view());
            data.ReceiveBuffer.clear();
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
        } else {
            searched = data.ReceiveBuffer.size();
            data.checkAnswerTime(start);
            data.waitTurn(data.answerDeadline(start));
            continue;
        }
        if (ParseList && DirectoryList)
            DirectoryList->ParseLine(line);
        if (OnListItem)
            OnListItem(line);
    }
    // A line longer than a connection may hold unread cut the connection: the rest of the listing is lost.
    return data.overflowed();
}

void TNMFTP::makeDataSocket()
{
    DataSocket = std::make_unique<TPowersock>();
    DataSocket->ReplyTimeout = ReplyTimeout;
    // The data connection's waits watch the control connection too: a refusal or a 421 there is read at once.
    DataSocket->waitAlso = this;
}

void TNMFTP::List()
{
    BusyScope busy(*this);
    clearCanceled();
    CheckConnected();
    // The server cannot reach an active-mode data port through the proxy: said before anything goes out.
    if (DataMode == TDataMode::Active && !Via.isDirect())
        throw ESockError(std::string(ActiveThroughProxyMessage));
    makeDataSocket();
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
        const bool passive = DataMode != TDataMode::Active && openPassive();
        if (!passive)
            openActive();

        ReportStatus(StatusLevel::Protocol, "LIST");
        const std::string listReply = Transaction("LIST");
        if (ReplyNumber >= 301 && ReplyNumber <= 599) {
            if (ReplyNumber >= 500 && ReplyNumber <= 502 && OnUnSupportedFunction)
                OnUnSupportedFunction(TCmdType::List);
            refuseListStep(listReply);
        }
        BytesTotal = announcedSize(listReply);
        if (ParseList && DirectoryList)
            DirectoryList->ReserveFor(BytesTotal);
        if (OnTransactionStart)
            OnTransactionStart(this);

        if (!passive) {
            DataSocket->waitGuard = [this] { watchControlWhileWaiting(); };
            const int handle = DataSocket->Accept();
            DataSocket->waitGuard = nullptr;
            DataSocket->installAcceptedSocket(handle);
        }
        if (protectedData_)
            secureData();

        const bool read = !Canceled && !TimedOut;
        const bool overflowed = read && readListing();
        // Over TLS only the close notification says that the server ended the listing: a plain close may be anybody
        // on the path cutting it short, and the completion reply cannot tell, for the server may have sent it all.
        const bool truncated = read && !overflowed && protectedData_ && DataSocket->endedWithoutCloseNotify();
        const bool cut = overflowed || truncated;
        if (!cut && OnTransactionStop)
            OnTransactionStop(this);
        DataSocket->RequestCloseSocket();
        BytesTotal = DataSocket->BytesRecvd;
        if (truncated)
            ReportStatus(StatusLevel::Protocol, "The TLS data connection ended without its close notification");
        if (!cut)
            ReportStatus(StatusLevel::Protocol, "Received " + std::to_string(BytesTotal) + " Bytes");

        // The completion reply is read even after a cut, so that the next command's reply is not taken for it. A
        // 421/426 that the reply watch saw during the transfer is that reply.
        if ((!Canceled || canceledByReplyWatch) && !TimedOut) {
            std::string line;
            try {
                line = readReplyLine();
            } catch (const ESockError& e) {
                // The connection ended before the server's word that the listing is whole (a proxy or a link that
                // went down under both connections at once): the lines that came may be all of it or not.
                if (Connected || e.message() != ConnectionClosedMessage)
                    throw;
                throw ESockError(std::string(overflowed  ? OverflowMessage
                                             : truncated ? TruncatedListingMessage
                                                         : CutListingMessage),
                                 FailureKind::Lost);
            }
            ReportStatus(StatusLevel::Protocol, line);
            readContinuation(line);
            if (overflowed)
                throw ESockError(std::string(OverflowMessage));
            checkCompletion(line);
            if (truncated)
                throw ESockError(std::string(TruncatedListingMessage));
        } else if (cut) {
            throw ESockError(std::string(overflowed ? OverflowMessage : TruncatedListingMessage));
        }
        completed = true;
    } catch (const ENoAnswerError&) {
        DataSocket.reset();
        abandonConnection();
        throw;
    } catch (const EAbortError&) {
        // A listing cancelled while its data or its completion reply was still to come: the daemon's late 226 or
        // 426 could be taken for the next command's reply.
        DataSocket.reset();
        if (CloseOnCancel)
            abandonConnection();
        throw;
    } catch (...) {
        DataSocket.reset();
        throw;
    }
    DataSocket.reset();
    if (completed && OnSuccess)
        OnSuccess(TCmdType::List);
}
