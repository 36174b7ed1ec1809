#pragma once

#include "ftp/Psock.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A refused FTP command; the message is the reply's first line, line end included.
class FTPException : public Exception {
public:
    using Exception::Exception;
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
// connect to the server (EPSV, PASV when EPSV is refused), always to the control connection's peer address.
// PassiveElseActive: passive, and active when the passive connection cannot be had.
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

    // The entry that the last ParseLine stored, or none when that line stored nothing (a total line, a short line).
    std::optional<TFTPListEntry> LastStored() const;

    std::vector<std::string> AttributeList;
    std::vector<std::string> NameList;
    std::vector<std::string> DateList;
    std::vector<std::string> SizeList;

    // The field slots of the line parsed last: Field(1) .. Field(FieldCount).
    const std::string& Field(int k) const { return fields_[std::size_t(k - 1)]; }
    std::int32_t FieldCount() const { return fieldCount_; }

protected:
    // The line being parsed was stored as the lists' last entry.
    void noteStored() { lastStored_ = NameList.size() - 1; }

private:
    static constexpr std::size_t None = std::size_t(-1);

    std::array<std::string, MaxFields> fields_;
    std::int32_t fieldCount_ = 0;
    std::size_t lastStored_ = None;
};

// Unix "ls -l" lines: the name is the last field, the size the fifth from the end, the date the three before the
// name, the attributes the first. Lines of 7 fields or fewer (the "total" line, short lines) are not stored.
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

    // Events. OnConnect is the log-in event; it takes the place of the socket component's connect event.
    TNotifyEvent OnConnect;
    TNotifyEvent OnTransactionStart;
    TNotifyEvent OnTransactionStop;
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
    // The port of an EPSV reply ("229 Entering Extended Passive Mode (|||6446|)"), 0 when it names none.
    static std::uint16_t extendedPassivePort(const std::string& reply);
    // The address and port of a PASV reply ("227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)"); false without one.
    static bool passiveAddress(const std::string& reply, std::uint32_t& address, std::uint16_t& port);

private:
    class BusyScope;

    void readContinuation(std::string line);
    std::string readGreetingLine();
    void checkLogin();
    void endFailedLogin(bool sayQuit);
    void refuseListStep(const std::string& firstLine);
    void watchControlWhileWaiting();
    void readListing();
    void watchReplies();
    std::string tlsPeerName() const;
    void secureControl();
    void negotiateTls();
    void protectData();
    bool openPassive();
    void openActive();
    void secureData();
    void checkProtectedCompletion(const std::string& line);

    int busyDepth_ = 0;
    bool replyWatchOn_ = true;
    std::shared_ptr<TlsContext> tlsContext_; // the log-in's, while its control connection is TLS
    std::string serverFingerprint_;          // the certificate the control connection accepted
    bool protectedData_ = false;             // PROT P is in force
};
