#pragma once

#include "ftp/Psock.h"

#include <algorithm>
#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A refused FTP command; the message is the reply's first line, line end included.
class FTPException : public Exception {
public:
    explicit FTPException(std::string message) : Exception(std::move(message), FailureKind::DaemonReply) {}
};

// Which kind of transaction an event is about. The codes between 4 and 14 are not produced here.
enum class TCmdType : std::uint8_t {
    ChangeDir = 0,  // first word "CWD"
    MakeDir = 1,    // first word "MKD"
    DeleteFile = 2, // first word "DELE"
    RemoveDir = 3,  // first word "RMD"
    List = 4,       // a directory listing
    Other = 14,     // any other command
    CurrentDir = 15 // exactly "PWD"
};

// Server system kinds, as the SYST reply names them.
namespace FtpVendor {
inline constexpr std::int32_t Unix = 2400;
inline constexpr std::int32_t Dos = 2401;
inline constexpr std::int32_t Vm = 2402;
inline constexpr std::int32_t MacOs = 2404;
inline constexpr std::int32_t Vms = 2406;
inline constexpr std::int32_t Mvs = 2408;
inline constexpr std::int32_t Other = 2410;
inline constexpr std::int32_t Undetected = 2411;
inline constexpr std::int32_t Os400 = 2414;
inline constexpr std::int32_t NetWare = 2416;
} // namespace FtpVendor

// How a connection is protected. Plain is clear text throughout. The explicit kinds ask for TLS with AUTH TLS
// after the greeting; ExplicitIfOffered goes on in clear text when the server refuses it with a 5xx reply,
// ExplicitRequired never does. Implicit speaks TLS from the connect on (the port is the caller's choice, commonly
// 990). Once the control connection is TLS, every data connection is too (PBSZ 0, PROT P).
enum class TFtpSecurity : std::uint8_t { Plain, ExplicitIfOffered, ExplicitRequired, Implicit };

// How a listing gets its data connection. Active: the server connects to us (PORT, or EPRT on IPv6). Passive: we
// connect to the server (EPSV, PASV when EPSV is refused), always to the control connection's peer address, or
// through the control connection's proxy to the site's host. PassiveElseActive: passive, and active when the
// passive connection cannot be had. Through a proxy only passive mode works: active mode is refused before anything
// is sent, and passive mode has no active fall-back.
enum class TDataMode : std::uint8_t { Active, Passive, PassiveElseActive };

using TNMListItem = std::function<void(const std::string& Listing)>;
using TUntrustedCertificateEvent = std::function<void(const TCertificateInfo& info, bool& Trust)>;
using TSuccessEvent = std::function<void(TCmdType Trans_Type)>;
using TFailureEvent = std::function<void(bool& Handled, TCmdType Trans_Type)>;
using TUnsupportedEvent = std::function<void(TCmdType Trans_Type)>;

// One stored entry of a listing, as views into the lists that hold it: valid until the lists change.
struct TFTPListEntry {
    std::string_view Attributes;
    std::string_view Name;
    std::string_view Date;
    std::string_view Size;
};

// One list of a parsed listing: its texts end to end in one byte arena, with the offset where each ends. It reads
// like a list of strings (size, [], iteration, each entry a view of its text valid until the list changes), and
// takes entries at its end only. A listing of 100,000 entries costs its text and four bytes an entry, in a handful
// of allocations, rather than a string object and an allocation for each.
class TListColumn {
public:
    class const_iterator {
    public:
        using iterator_category = std::random_access_iterator_tag;
        using value_type = std::string_view;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = std::string_view;

        const_iterator() = default;
        const_iterator(const TListColumn* column, std::size_t index) : column_(column), index_(index) {}
        std::string_view operator*() const { return (*column_)[index_]; }
        std::string_view operator[](difference_type n) const
        {
            return (*column_)[std::size_t(difference_type(index_) + n)];
        }
        const_iterator& operator++()
        {
            ++index_;
            return *this;
        }
        const_iterator operator++(int)
        {
            const_iterator before = *this;
            ++index_;
            return before;
        }
        const_iterator& operator--()
        {
            --index_;
            return *this;
        }
        const_iterator operator--(int)
        {
            const_iterator before = *this;
            --index_;
            return before;
        }
        const_iterator& operator+=(difference_type n)
        {
            index_ = std::size_t(difference_type(index_) + n);
            return *this;
        }
        const_iterator& operator-=(difference_type n) { return *this += -n; }
        friend const_iterator operator+(const_iterator i, difference_type n) { return i += n; }
        friend const_iterator operator+(difference_type n, const_iterator i) { return i += n; }
        friend const_iterator operator-(const_iterator i, difference_type n) { return i -= n; }
        friend difference_type operator-(const const_iterator& a, const const_iterator& b)
        {
            return difference_type(a.index_) - difference_type(b.index_);
        }
        friend bool operator==(const const_iterator& a, const const_iterator& b) { return a.index_ == b.index_; }
        friend auto operator<=>(const const_iterator& a, const const_iterator& b) { return a.index_ <=> b.index_; }

    private:
        const TListColumn* column_ = nullptr;
        std::size_t index_ = 0;
    };
    using iterator = const_iterator;
    using value_type = std::string_view;
    using size_type = std::size_t;

    std::size_t size() const { return ends_.size(); }
    bool empty() const { return ends_.empty(); }
    std::string_view operator[](std::size_t i) const
    {
        const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
        return std::string_view(bytes_.data() + begin, ends_[i] - begin);
    }
    std::string_view front() const { return (*this)[0]; }
    std::string_view back() const { return (*this)[size() - 1]; }
    const_iterator begin() const { return const_iterator(this, 0); }
    const_iterator end() const { return const_iterator(this, size()); }

    // Appends one entry; several parts make one entry, joined as they stand.
    void push_back(std::string_view text) { append({text}); }
    void append(std::initializer_list<std::string_view> parts);
    // Empties the list and keeps its storage for the next listing.
    void clear();
    // Room for this many entries and bytes of text, so that a listing of that size fills the list without moving it.
    void reserve(std::size_t entries, std::size_t bytes);
    // The heap the list holds, used or reserved.
    std::size_t heldBytes() const { return bytes_.capacity() + ends_.capacity() * sizeof(std::uint32_t); }

    friend bool operator==(const TListColumn& a, const std::vector<std::string>& b)
    {
        return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
    }

private:
    std::string bytes_;
    std::vector<std::uint32_t> ends_;
};

// Holds the parsed lines of a listing in four parallel lists: entry k of each describes the same stored line.
// The tokenizer splits a line at runs of spaces into at most 25 field slots of at most 255 characters each.
class TFTPDirectoryList {
public:
    static constexpr int MaxFields = 25;
    static constexpr std::size_t MaxFieldLength = 255;

    virtual ~TFTPDirectoryList() = default;

    // Splits one line (without its line end) into the field slots. A line of more than 25 fields keeps its first
    // field in slot 1 and its last 24 fields in slots 2..25, so that counting from the end of the line (where the
    // name, date and size of a listing line stand) gives the same fields as for a shorter line.
    virtual void ParseLine(const std::string& line);
    void ClearLists();
    // Makes room in the lists for a listing of about this many bytes (the size a LIST reply announces), so that
    // they fill without being moved. The room is held to a sane size whatever a server announces.
    void ReserveFor(std::int64_t listingBytes);
    // The heap the four lists hold, used or reserved.
    std::size_t HeldBytes() const;

    // The entry that the last ParseLine stored, or none when that line stored nothing (a total line, a short line).
    std::optional<TFTPListEntry> LastStored() const;

    TListColumn AttributeList;
    TListColumn NameList;
    TListColumn DateList;
    TListColumn SizeList;

    // The field slots of the line parsed last: Field(1) .. Field(FieldCount()), valid until the next ParseLine.
    std::string_view Field(int k) const
    {
        const Span& s = spans_[std::size_t(k - 1)];
        return std::string_view(line_.data() + s.start, s.length);
    }
    std::int32_t FieldCount() const { return fieldCount_; }

protected:
    // The line being parsed was stored as the lists' last entry.
    void noteStored() { lastStored_ = NameList.size() - 1; }

private:
    static constexpr std::size_t None = std::size_t(-1);

    struct Span {
        std::size_t start = 0;
        std::size_t length = 0;
    };

    std::string line_; // the line parsed last; the slots are spans of it
    std::array<Span, MaxFields> spans_{};
    std::int32_t fieldCount_ = 0;
    std::size_t lastStored_ = None;
};

// Unix "ls -l" lines. In the standard layout the date is the month, day and time or year, found from the left (its
// month is the fifth to the eighth field), the size the field before it, the attributes the first field, and the name
// everything after the date to the end of the line, its blanks kept; a link's " -> target" is not part of its name. A
// line without such a date counts from the end: the name is the last field, the size the fifth from the end, the date
// the three before the name. Lines of 7 fields or fewer (the "total" line, short lines) and lines that leave the
// name empty are not stored.
class TFTPUnixList : public TFTPDirectoryList {
public:
    void ParseLine(const std::string& line) override;
};

// The FTP client: logs in, sends one command at a time, reads each whole reply and classifies it by its code,
// and lists directories over a data connection. Every command sent and every reply line read is a level-1 status
// text, which is how its owner sees the server's replies. With the defaults (Plain, Active) it speaks exactly as it
// always has: clear text, PORT, IPv4 commands on an IPv4 connection.
class TNMFTP : public TPowersock {
    Q_OBJECT

public:
    explicit TNMFTP(QObject* Owner = nullptr);
    ~TNMFTP() override;

    // Published properties (besides those of the socket component).
    std::string UserID;
    std::string Password; // never reported
    std::int32_t Vendor = FtpVendor::Undetected;
    bool ParseList = false;
    TFtpSecurity Security = TFtpSecurity::Plain;
    TDataMode DataMode = TDataMode::Active;
    // The SHA-256 fingerprint of the one certificate this site may present (uppercase hex pairs joined by ':'; case
    // and separators do not count); empty: the certificate must verify against the system's authorities, or the
    // operator must accept it. A pinned certificate is taken whatever the authorities say of it.
    std::string PinnedFingerprint;
    // A wait that Cancel ended closes the control connection, so that the reply it leaves owed can never be taken
    // for the next command's, however late it comes. Off, a cancelled wait leaves the connection open, and a late
    // reply that has come in by the next command is thrown away.
    bool CloseOnCancel = false;

    // Events. OnConnect is the log-in event; it takes the place of the socket component's connect event.
    TNotifyEvent OnConnect;
    TNotifyEvent OnTransactionStart;
    TNotifyEvent OnTransactionStop;
    // The client now waits for the server's answer to this command (a password shows as "PASS"); the empty text when
    // its operation has ended and it waits for nothing. For an owner that shows what is awaited.
    std::function<void(const std::string& command)> OnAwait;
    TNMListItem OnListItem;
    TSuccessEvent OnSuccess;
    TFailureEvent OnFailure;
    TUnsupportedEvent OnUnSupportedFunction;
    THandlerEvent OnAuthenticationNeeded;
    // A certificate that did not verify and is not pinned: Trust (false on entry) says whether to go on. Fires
    // during Connect, before anything is sent over the new TLS connection.
    TUntrustedCertificateEvent OnUntrustedCertificate;

    // Public state.
    std::unique_ptr<TPowersock> DataSocket;           // the running listing's data connection
    std::unique_ptr<TFTPDirectoryList> DirectoryList; // the parsed listing, from the first parsed listing of a log-in
    std::int64_t BytesTotal = 0;

    void Connect() override;
    void Disconnect() override;
    std::string Transaction(const std::string& command) override;
    void commandSent(const std::string& command) override;
    void Abort() override;

    void SendCommand(const std::string& command);
    void ChangeDirectory(const std::string& path);
    void RemoveDirectory(const std::string& path);
    std::string CurrentDirectory();
    void List();

    // True while one of the blocking operations runs (Connect, Disconnect, SendCommand, Transaction, List,
    // ChangeDirectory, RemoveDirectory, CurrentDirectory). The client does not refuse a second operation itself;
    // its owner uses this to hold one off.
    bool isBusy() const { return busyDepth_ > 0; }

    static TCmdType classifyCommand(const std::string& command);
    static std::int32_t vendorFromSystemReply(const std::string& reply);
    // The byte count announced in a LIST reply: the run of digits nearest before the first "BYTE"; 0 without one.
    static std::int64_t announcedSize(const std::string& reply);
    // The directory that a PWD reply ("257 \"/home/op\" is current directory.") names: the text between its first
    // double quote and the one that closes it, where a doubled quote stands for one. None when the reply quotes
    // nothing whole.
    static std::optional<std::string> quotedDirectory(const std::string& reply);
    // The port of an EPSV reply ("229 Entering Extended Passive Mode (|||6446|)"), 0 when it names none.
    static std::uint16_t extendedPassivePort(const std::string& reply);
    // The address and port of a PASV reply ("227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)"); false without one.
    static bool passiveAddress(const std::string& reply, std::uint32_t& address, std::uint16_t& port);
    // What a listing fails with when the daemon's answer to PASV or EPSV (command) names no address to use: "The
    // daemon's answer to PASV could not be read: 227 ...", the answer on one line (its line ends as blanks, any
    // other control character as "?"), cut after MaxQuotedReply characters.
    static std::string unreadablePassiveReply(std::string_view command, std::string_view reply);
    static constexpr std::size_t MaxQuotedReply = 200;

private:
    class BusyScope;

    void readContinuation(std::string line);
    bool watchEndedWait() const;
    std::string takeWatchedLine();
    [[noreturn]] void raiseReply(const std::string& line);
    void abandonConnection();
    void checkLoginLines() const;
    void makeDataSocket();
    std::string readReplyLine();
    void checkLogin();
    void endFailedLogin(bool sayQuit);
    void refuseListStep(const std::string& firstLine);
    void watchControlWhileWaiting();
    bool readListing();
    void watchReplies();
    std::string tlsPeerName() const;
    void secureControl();
    void negotiateTls();
    void protectData();
    bool openPassive();
    void openActive();
    void secureData();
    void checkCompletion(const std::string& line);

    // A SendCommand's own line, reported once it has left.
    void reportPending();
    std::optional<std::string> pendingReport_;
    int busyDepth_ = 0;
    bool replyWatchOn_ = true;
    std::shared_ptr<TlsContext> tlsContext_; // the log-in's, while its control connection is TLS
    std::string serverFingerprint_;          // the certificate the control connection accepted
    bool protectedData_ = false;             // PROT P is in force
};
