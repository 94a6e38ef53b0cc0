// pg_proxy: a relay between PostgreSQL clients and their server that plays a failing network
// for the line's tests. It reads the client's side of the protocol to tell one statement from
// the next and, at the n-th statement of a name, cuts, holds or silences that one connection;
// SIGUSR1 freezes every connection and SIGUSR2 resets every one.
//
//   pg_proxy --to HOST:PORT [--listen PORT] [--at NAME] [--nth N]
//            [--action cut|cut-before|hold|silence]
//
// It prints the port it listens on (127.0.0.1) as its first line and serves until killed. A
// test program finds it through tests/support's CMake function:
//   kestro_uses_pg_proxy(my_test)   # PG_PROXY_PATH="/path/to/pg_proxy", built before my_test
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <getopt.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

enum class Action { Cut, CutBefore, Hold, Silence };

struct Options {
    std::string host; // a host name, an address, or the directory of a Unix socket
    std::string port;
    long listenPort = 0;
    std::string at; // empty: a plain relay
    long nth = 1;
    Action action = Action::Cut;
};

// Encryption requests, answered by the server with one byte before the startup message.
constexpr uint32_t kSslRequest = 80877103;
constexpr uint32_t kGssRequest = 80877104;
// Far above any real startup packet: a larger length means the client speaks something else.
constexpr uint32_t kStartupLimit = 10000;
constexpr size_t kChunk = 65536;
// Reading from one side stops while this much waits to be written to the other.
constexpr size_t kHighWater = 1 << 20;

const char *actionName(Action action)
{
    switch (action) {
    case Action::Cut: return "cut";
    case Action::CutBefore: return "cut-before";
    case Action::Hold: return "hold";
    case Action::Silence: return "silence";
    }
    return "?";
}

__attribute__((format(printf, 1, 2))) void note(const char *format, ...)
{
    std::va_list arguments;
    va_start(arguments, format);
    std::fputs("pg_proxy: ", stderr);
    std::vfprintf(stderr, format, arguments);
    std::fputc('\n', stderr);
    va_end(arguments);
}

[[noreturn]] void usage(const char *problem)
{
    if (problem)
        note("%s", problem);
    std::fputs("usage: pg_proxy --to HOST:PORT [--listen PORT] [--at NAME] [--nth N]\n"
               "                [--action cut|cut-before|hold|silence]   (default action: cut)\n"
               "HOST may be the directory of the server's Unix socket.\n"
               "SIGUSR1 holds every connection, SIGUSR2 resets every connection.\n",
               stderr);
    std::exit(2);
}

[[noreturn]] void fail(const char *what)
{
    note("%s: %s", what, std::strerror(errno));
    std::exit(1);
}

std::optional<long> number(const char *text, long low, long high)
{
    char *end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high)
        return std::nullopt;
    return value;
}

std::optional<Action> actionNamed(const std::string &name)
{
    for (Action action : {Action::Cut, Action::CutBefore, Action::Hold, Action::Silence}) {
        if (name == actionName(action))
            return action;
    }
    return std::nullopt;
}

void parseTarget(const std::string &target, Options &options)
{
    const size_t colon = target.rfind(':');
    if (colon == std::string::npos || colon == 0)
        usage("--to needs HOST:PORT");
    options.host = target.substr(0, colon);
    options.port = target.substr(colon + 1);
    const std::string &host = options.host;
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        options.host = host.substr(1, host.size() - 2); // [::1]:5432
    if (!number(options.port.c_str(), 1, 65535))
        usage("--to: the port must be a number from 1 to 65535");
}

long numberOrUsage(const char *text, long low, long high, const char *problem)
{
    const std::optional<long> value = number(text, low, high);
    if (!value)
        usage(problem);
    return *value;
}

void parseOption(int option, const char *value, Options &options)
{
    std::optional<Action> action;
    switch (option) {
    case 't': parseTarget(value, options); return;
    case 'l':
        options.listenPort = numberOrUsage(value, 0, 65535, "--listen: a port from 0 to 65535");
        return;
    case 'n': options.nth = numberOrUsage(value, 1, 1000000000, "--nth: a count from 1 on"); return;
    case 'a':
        options.at = value;
        if (options.at.empty())
            usage("--at needs a name");
        return;
    case 'x':
        action = actionNamed(value);
        if (!action)
            usage("--action: cut, cut-before, hold or silence");
        options.action = *action;
        return;
    default: usage(nullptr);
    }
}

Options parseOptions(int argc, char **argv)
{
    static const option longOptions[] = {{"to", required_argument, nullptr, 't'},
                                         {"listen", required_argument, nullptr, 'l'},
                                         {"at", required_argument, nullptr, 'a'},
                                         {"nth", required_argument, nullptr, 'n'},
                                         {"action", required_argument, nullptr, 'x'},
                                         {"help", no_argument, nullptr, 'h'},
                                         {nullptr, 0, nullptr, 0}};
    Options options;
    int option = 0;
    while ((option = getopt_long(argc, argv, "", longOptions, nullptr)) != -1)
        parseOption(option, optarg, options);
    if (optind < argc)
        usage("unexpected argument");
    if (options.host.empty())
        usage("--to is required");
    return options;
}

void makeNonBlocking(int fd)
{
    if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) < 0 ||
        fcntl(fd, F_SETFD, FD_CLOEXEC) < 0)
        fail("fcntl");
}

// Small statements go out at once: the relay must not add the delay of Nagle's algorithm.
void noDelay(int fd)
{
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

int listenOn(long port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0)
        fail("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) < 0 || listen(fd, 64) < 0)
        fail("listen");
    makeNonBlocking(fd);
    return fd;
}

int boundPort(int fd)
{
    sockaddr_in address{};
    socklen_t size = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) < 0)
        fail("getsockname");
    return ntohs(address.sin_port);
}

int connectUnix(const std::string &path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) < 0) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

int connectTcp(const std::string &host, const std::string &port)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) {
        errno = EHOSTUNREACH;
        return -1;
    }
    int fd = -1;
    for (addrinfo *a = found; a && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (fd >= 0 && connect(fd, a->ai_addr, a->ai_addrlen) < 0) {
            const int saved = errno;
            close(fd);
            fd = -1;
            errno = saved;
        }
    }
    freeaddrinfo(found);
    if (fd >= 0)
        noDelay(fd);
    return fd;
}

// The server, over its Unix socket when HOST is a directory, as libpq reads a host.
int connectServer(const Options &options)
{
    if (options.host.front() == '/')
        return connectUnix(options.host + "/.s.PGSQL." + options.port);
    return connectTcp(options.host, options.port);
}

uint32_t be32(const char *p)
{
    const auto byte = [p](int i) {
        return static_cast<uint32_t>(static_cast<unsigned char>(p[i]));
    };
    return byte(0) << 24 | byte(1) << 16 | byte(2) << 8 | byte(3);
}

// A query's text without the blanks and semicolons around it: "commit" is "COMMIT;\n" too.
std::string trimmed(const std::string &text)
{
    const auto blank = [](char c) {
        return c == '\0' || c == ';' || std::isspace(static_cast<unsigned char>(c));
    };
    const auto first = std::find_if_not(text.begin(), text.end(), blank);
    const auto last = std::find_if_not(text.rbegin(), text.rend(), blank).base();
    return first < last ? std::string(first, last) : std::string();
}

bool sameWords(const std::string &a, const std::string &b)
{
    const auto same = [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), same);
}

// What a Bind ('B') or a Query ('Q') at the start of `inbox` runs, once enough of it is in: a
// Bind's prepared statement (after its portal's name), a Query's text. Nothing while more bytes
// are needed; an empty name for a message that is not well formed.
std::optional<std::string> statementOf(const std::string &inbox, size_t total)
{
    if (inbox[0] == 'Q') {
        if (inbox.size() < total)
            return std::nullopt;
        return trimmed(inbox.substr(5, total - 5));
    }
    const size_t portalEnd = inbox.find('\0', 5);
    const size_t nameEnd =
        portalEnd == std::string::npos ? std::string::npos : inbox.find('\0', portalEnd + 1);
    if (nameEnd == std::string::npos || nameEnd >= total) {
        if (inbox.size() < total)
            return std::nullopt;
        return std::string();
    }
    return inbox.substr(portalEnd + 1, nameEnd - portalEnd - 1);
}

// How the client's bytes are read: the startup packets, the one byte the server answers an
// encryption request with, typed messages, or bytes the relay cannot read (an encrypted
// session, another protocol) and passes on blind.
enum class Phase { Startup, AwaitAnswer, Typed, Opaque };

// What the connection does: relays; forwards the client up to the Sync that ends the matching
// statement's unit, dropping the server's answer; is frozen (nothing read either way); is
// silenced (the server's bytes dropped, the client's not read); or drains a cut connection
// (the client's end closes once the server, told the client is gone, has closed its end).
enum class Mode { Relay, UntilSync, Frozen, Silenced, Draining };

struct Side {
    int fd = -1;
    std::string out; // bytes waiting to be written to this side
    size_t sent = 0;
    size_t backlog() const { return out.size() - sent; }
};

struct Connection {
    int id = 0;
    Side client;
    Side server;
    Mode mode = Mode::Relay;
    Action after = Action::Cut; // what UntilSync turns into at the Sync
    Phase phase = Phase::Startup;
    std::string inbox;      // the client's bytes not yet forwarded
    size_t passthrough = 0; // bytes of the current message still to forward as they come
    bool serverShut = false;
};

volatile std::sig_atomic_t holdRequested = 0;
volatile std::sig_atomic_t resetRequested = 0;
int wakeWrite = -1;

extern "C" void onSignal(int number)
{
    const int saved = errno;
    if (number == SIGUSR1)
        holdRequested = 1;
    else
        resetRequested = 1;
    const char byte = 0;
    if (write(wakeWrite, &byte, 1) < 0) {
        // the pipe is full: poll is woken already
    }
    errno = saved;
}

class Proxy
{
public:
    Proxy(Options options, int listener, int wake)
        : options_(std::move(options)), listener_(listener), wake_(wake)
    {
    }
    [[noreturn]] void run();

private:
    std::vector<pollfd> pollSet() const;
    bool takeSignals();
    void accept();
    void serve(Connection &c, short clientEvents, short serverEvents);
    void readClient(Connection &c);
    void readServer(Connection &c);
    void judgeClient(Connection &c);
    bool takeStartup(Connection &c);
    bool takeTyped(Connection &c);
    bool isMatch(char type, const std::string &statement);
    void act(Connection &c, char type, size_t total, const std::string &statement);
    void endUnit(Connection &c);
    void forward(Connection &c, size_t count);
    void passMessage(Connection &c, size_t total);
    void flush(Connection &c, Side &side);
    void lose(Connection &c, Side &side);
    static void closeSide(Side &side);
    static void closeBoth(Connection &c);

    const Options options_;
    const int listener_;
    const int wake_;
    long matches_ = 0;
    bool acted_ = false;
    int lastId_ = 0;
    std::list<Connection> connections_;
};

std::vector<pollfd> Proxy::pollSet() const
{
    std::vector<pollfd> fds{{listener_, POLLIN, 0}, {wake_, POLLIN, 0}};
    for (const Connection &c : connections_) {
        const bool relaying = c.mode == Mode::Relay || c.mode == Mode::UntilSync;
        short client = c.client.backlog() > 0 ? POLLOUT : 0;
        if (relaying && c.server.backlog() < kHighWater)
            client |= POLLIN;
        short server = c.server.backlog() > 0 ? POLLOUT : 0;
        if (c.mode != Mode::Frozen && (c.mode != Mode::Relay || c.client.backlog() < kHighWater))
            server |= POLLIN;
        fds.push_back({c.client.fd, client, 0});
        fds.push_back({c.server.fd, server, 0});
    }
    return fds;
}

[[noreturn]] void Proxy::run()
{
    for (;;) {
        std::vector<pollfd> fds = pollSet();
        if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR)
            fail("poll");
        // Before any event: a test that signals and then sends must find the signal taken.
        if (takeSignals())
            continue;
        size_t i = 2;
        for (Connection &c : connections_) {
            if (i >= fds.size())
                break;
            serve(c, fds[i].revents, fds[i + 1].revents);
            i += 2;
        }
        connections_.remove_if(
            [](const Connection &c) { return c.client.fd < 0 && c.server.fd < 0; });
        if (fds[0].revents & POLLIN)
            accept();
    }
}

bool Proxy::takeSignals()
{
    char bytes[64];
    while (read(wake_, bytes, sizeof bytes) > 0) {
    }
    const bool hold = holdRequested != 0;
    const bool reset = resetRequested != 0;
    holdRequested = resetRequested = 0;
    if (hold) {
        note("SIGUSR1: holding every connection (%zu)", connections_.size());
        for (Connection &c : connections_) {
            c.mode = Mode::Frozen;
            c.inbox.clear();
        }
    }
    if (reset) {
        note("SIGUSR2: resetting every connection (%zu)", connections_.size());
        const linger abort{1, 0}; // a reset, not an orderly end
        for (Connection &c : connections_) {
            for (Side *side : {&c.client, &c.server})
                setsockopt(side->fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
            closeBoth(c);
        }
        connections_.clear();
    }
    return hold || reset;
}

void Proxy::accept()
{
    const int client = ::accept(listener_, nullptr, nullptr);
    if (client < 0)
        return;
    Connection c;
    c.id = ++lastId_;
    c.client.fd = client;
    c.server.fd = connectServer(options_);
    if (c.server.fd < 0) {
        note("connection %d: cannot reach the server: %s", c.id, std::strerror(errno));
        close(client);
        return;
    }
    makeNonBlocking(c.client.fd);
    makeNonBlocking(c.server.fd);
    noDelay(c.client.fd);
    connections_.push_back(std::move(c));
}

void Proxy::serve(Connection &c, short clientEvents, short serverEvents)
{
    if (serverEvents & POLLOUT)
        flush(c, c.server);
    if (clientEvents & POLLOUT)
        flush(c, c.client);
    if (serverEvents & (POLLIN | POLLHUP | POLLERR))
        readServer(c);
    if (clientEvents & (POLLIN | POLLHUP | POLLERR))
        readClient(c);
    // A cut connection tells the server the client is gone once the unit is written.
    if (c.mode == Mode::Draining && c.server.fd >= 0 && c.server.backlog() == 0 && !c.serverShut) {
        shutdown(c.server.fd, SHUT_WR);
        c.serverShut = true;
    }
}

// What came from `fd`: bytes, 0 at its end or on an error, -1 when nothing is there yet.
ssize_t receive(int fd, char *buffer)
{
    const ssize_t n = recv(fd, buffer, kChunk, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return -1;
    return n < 0 ? 0 : n;
}

void Proxy::readClient(Connection &c)
{
    if (c.client.fd < 0)
        return;
    if (c.mode != Mode::Relay && c.mode != Mode::UntilSync) {
        closeSide(c.client); // not read: only its reset or hang-up shows
        return;
    }
    char buffer[kChunk];
    const ssize_t n = receive(c.client.fd, buffer);
    if (n == 0)
        lose(c, c.client);
    if (n <= 0)
        return;
    c.inbox.append(buffer, static_cast<size_t>(n));
    judgeClient(c);
}

void Proxy::readServer(Connection &c)
{
    if (c.server.fd < 0)
        return;
    if (c.mode == Mode::Frozen) {
        closeSide(c.server);
        return;
    }
    char buffer[kChunk];
    const ssize_t n = receive(c.server.fd, buffer);
    if (n == 0)
        lose(c, c.server);
    if (n <= 0)
        return;
    if (c.mode == Mode::Relay) {
        c.client.out.append(buffer, static_cast<size_t>(n));
        flush(c, c.client);
    }
    if (c.phase == Phase::AwaitAnswer) {
        // 'S' or 'G': the session is encrypted from here on and cannot be read.
        c.phase = buffer[0] == 'S' || buffer[0] == 'G' ? Phase::Opaque : Phase::Startup;
        judgeClient(c);
    }
}

// Forwards the client's bytes message by message, judging each Bind and Query once enough of it
// is in to know what it runs, until the bytes run out or an action stops the relay.
void Proxy::judgeClient(Connection &c)
{
    bool progressed = true;
    while (progressed && !c.inbox.empty() && (c.mode == Mode::Relay || c.mode == Mode::UntilSync)) {
        if (c.passthrough > 0) {
            const size_t count = std::min(c.passthrough, c.inbox.size());
            forward(c, count);
            c.passthrough -= count;
            continue;
        }
        switch (c.phase) {
        case Phase::Opaque: forward(c, c.inbox.size()); break;
        case Phase::AwaitAnswer: progressed = false; break;
        case Phase::Startup: progressed = takeStartup(c); break;
        case Phase::Typed: progressed = takeTyped(c); break;
        }
    }
    if (c.server.fd >= 0)
        flush(c, c.server);
}

// A startup packet: a length and a code, no type byte. An encryption request waits for the
// server's one-byte answer; any other packet is the startup message, and typed messages follow.
bool Proxy::takeStartup(Connection &c)
{
    if (c.inbox.size() < 8)
        return false;
    const uint32_t length = be32(c.inbox.data());
    const uint32_t code = be32(c.inbox.data() + 4);
    if (length < 8 || length > kStartupLimit) {
        c.phase = Phase::Opaque; // a TLS hello straight away, say
        return true;
    }
    const bool encryption = length == 8 && (code == kSslRequest || code == kGssRequest);
    c.phase = encryption ? Phase::AwaitAnswer : Phase::Typed;
    forward(c, 8);
    c.passthrough = length - 8;
    return true;
}

// A typed message: its type, its length counting itself, its body. Only a Bind or a Query is
// held until its statement is known; any other message goes on as its bytes come.
bool Proxy::takeTyped(Connection &c)
{
    if (c.inbox.size() < 5)
        return false;
    const char type = c.inbox[0];
    const uint32_t length = be32(c.inbox.data() + 1);
    if (length < 4) {
        c.phase = Phase::Opaque;
        return true;
    }
    const size_t total = size_t{length} + 1;
    if (type == 'B' || type == 'Q') {
        const std::optional<std::string> statement = statementOf(c.inbox, total);
        if (!statement)
            return false;
        if (c.mode == Mode::Relay && isMatch(type, *statement)) {
            act(c, type, total, *statement);
            return true;
        }
    }
    passMessage(c, total);
    if (type == 'S' && c.mode == Mode::UntilSync)
        endUnit(c);
    return true;
}

// Counts the matches of every connection; true at the one the action is for.
bool Proxy::isMatch(char type, const std::string &statement)
{
    if (options_.at.empty() || acted_)
        return false;
    const bool same = type == 'B' ? statement == options_.at : sameWords(statement, options_.at);
    if (same && ++matches_ == options_.nth)
        acted_ = true;
    return same && acted_;
}

void Proxy::act(Connection &c, char type, size_t total, const std::string &statement)
{
    note("connection %d: %s at %s (match %ld)", c.id, actionName(options_.action),
         statement.c_str(), matches_);
    switch (options_.action) {
    case Action::CutBefore: closeBoth(c); return;
    case Action::Hold:
        c.mode = Mode::Frozen;
        c.inbox.clear();
        return;
    case Action::Cut:
    case Action::Silence:
        c.after = options_.action;
        c.mode = Mode::UntilSync;
        passMessage(c, total);
        if (type == 'Q') // a simple query is a unit of its own, without a Sync
            endUnit(c);
        return;
    }
}

// The matching statement's unit is with the server whole; nothing more of the client goes.
void Proxy::endUnit(Connection &c)
{
    c.inbox.clear();
    c.passthrough = 0;
    c.mode = c.after == Action::Cut ? Mode::Draining : Mode::Silenced;
}

void Proxy::forward(Connection &c, size_t count)
{
    c.server.out.append(c.inbox, 0, count);
    c.inbox.erase(0, count);
}

// Forwards as much of a `total` bytes long message as is in; the rest follows as it comes.
void Proxy::passMessage(Connection &c, size_t total)
{
    const size_t count = std::min(total, c.inbox.size());
    forward(c, count);
    c.passthrough = total - count;
}

void Proxy::flush(Connection &c, Side &side)
{
    while (side.fd >= 0 && side.backlog() > 0) {
        const ssize_t n = send(side.fd, side.out.data() + side.sent, side.backlog(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (n < 0) {
            lose(c, side);
            return;
        }
        side.sent += static_cast<size_t>(n);
    }
    if (side.sent == side.out.size()) {
        side.out.clear();
        side.sent = 0;
    } else if (side.sent > kHighWater) {
        side.out.erase(0, side.sent);
        side.sent = 0;
    }
}

// One side ended: its end of file, a reset, a failed write. A working relay passes that on at
// once (after what the other side still had coming); a frozen or silenced connection leaves the
// other side as it is, as a broken network would.
void Proxy::lose(Connection &c, Side &side)
{
    if (c.mode == Mode::Frozen || c.mode == Mode::Silenced) {
        closeSide(side);
        return;
    }
    closeSide(side);
    Side &other = &side == &c.client ? c.server : c.client;
    if (c.mode == Mode::Relay)
        flush(c, other);
    closeBoth(c);
}

void Proxy::closeSide(Side &side)
{
    if (side.fd >= 0)
        close(side.fd);
    side.fd = -1;
    side.out.clear();
    side.sent = 0;
}

void Proxy::closeBoth(Connection &c)
{
    closeSide(c.client);
    closeSide(c.server);
    c.inbox.clear();
}

int wakePipe()
{
    int ends[2];
    if (pipe(ends) < 0)
        fail("pipe");
    makeNonBlocking(ends[0]);
    makeNonBlocking(ends[1]);
    wakeWrite = ends[1];
    struct sigaction action {
    };
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR1, &action, nullptr);
    sigaction(SIGUSR2, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return ends[0];
}

} // namespace

int main(int argc, char **argv)
{
    Options options = parseOptions(argc, argv);
    const int listener = listenOn(options.listenPort);
    const int wake = wakePipe();
    std::printf("%d\n", boundPort(listener));
    std::fflush(stdout);
    Proxy(std::move(options), listener, wake).run();
}
