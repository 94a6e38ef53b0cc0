// libFuzzer target for the window's receive path: arbitrary byte streams
// arrive on the real port, a pseudo-terminal, in pieces of arbitrary size,
// between arbitrary sends.
//
// The input is a script of commands, each one byte, most followed by data:
//   00-7F        a piece of (c + 1) bytes, delivered
//   80-EF        a piece of (c - 7F) * 32 bytes, delivered
//   F0           a piece of 16384 zero bytes, delivered (four fill the
//                record of received bytes; one code only, as they are slow)
//   F1-F7 n      a piece of (n + 1) bytes that arrives but is not read
//                before a Ping (F1-F3) or a Config Query (F4-F7) is sent
//   F8-FB        send a Ping
//   FC-FF        send a Config Query
// A piece takes what is left of the input if it is shorter. Every input
// starts with a Ping, so each run starts from the same exchange state.
//
// The pieces up to the next send are written to the terminal's master end in
// one go. Then, piece by piece, the port reads exactly that piece into its
// buffer (its read buffer limited to the piece's size, its signals held) and
// on_readyRead is called once, as the port's notification would: so each
// piece reaches the window as one notification, whatever the kernel's timing,
// without waiting for the terminal once per piece.
//
// A model built on a second decoder predicts, byte for byte, the log lines
// each piece must add; the record of received bytes and its count, the table
// after a Config Query response and the drained port are checked after every
// piece.
#include "tests/support/wait_until.h"
#include "tests/support/window_on_pty.h"
#include "tests/support/wire_bytes.h"

#include <QApplication>
#include <QPushButton>
#include <QSerialPort>
#include <QTableWidget>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

[[noreturn]] void failure(const char *what, const QString &detail = QString())
{
    std::fprintf(stderr, "fuzz_receive_path: %s\n", what);
    if (!detail.isEmpty())
        std::fprintf(stderr, "  %s\n", qPrintable(detail.left(400)));
    std::abort();
}

#define FUZZ_CHECK(cond, detail)                                                                   \
    do {                                                                                           \
        if (!(cond))                                                                               \
            failure("check failed: " #cond, detail);                                               \
    } while (0)

constexpr size_t kWireCapacity = 65535;
constexpr size_t kBurst = 16384;

// What the receive path must do with each byte: the same decoder, a record
// of received bytes and the message record, and the lines that follow.
struct Model {
    uint8_t frameBuffer[FRAME_BUFFER_SIZE];
    FrameCodec codec;
    DeviceMessage message;
    std::vector<uint8_t> wire;
    // The configuration of the last Config Query response shown in this
    // piece; later frames may overwrite the record's first bytes.
    bool configShown = false;
    DeviceConfig shownConfig;

    void send(uint32_t requestId)
    {
        frame_init(&codec, frameBuffer, sizeof frameBuffer);
        std::memset(&message, 0, sizeof message);
        message.msgId = requestId;
        wire.clear();
        configShown = false;
    }

    void feed(uint8_t byte, QStringList &lines)
    {
        if (wire.size() < kWireCapacity)
            wire.push_back(byte);
        const int result = frame_decode_byte(&codec, byte);
        if (result == FRAME_ERROR) {
            lines << QStringLiteral("Parser error.");
        } else if (result == FRAME_RX_DONE) {
            const int length = codec.payloadLength;
            std::memcpy(&message, frameBuffer, std::min(size_t(length), sizeof message));
            frame_reset(&codec);
            lines << readLine(wire);
            dispatch(length, lines);
        } else if (result != FRAME_OK && result != FRAME_RX_BUSY) {
            failure("the decoder gave an encoder's result");
        }
    }

    void dispatch(int length, QStringList &lines)
    {
        uint32_t id = 0;
        int32_t status = 0;
        std::memcpy(&id, &message, 4);
        std::memcpy(&status, reinterpret_cast<const uint8_t *>(&message) + 4, 4);
        const char *name = nullptr;
        int accepted = 8;
        switch (id) {
        case 1: name = "Ping"; break;
        case 3:
            name = "Config Query";
            accepted = 2323;
            break;
        case 5: name = "Config Update"; break;
        case 9: name = "Certificate Upload"; break;
        default: lines << QStringLiteral("Unexpected message id %1").arg(id); return;
        }
        if (length != accepted) {
            lines << QStringLiteral("Invalid message length %1").arg(length);
            return;
        }
        lines << QStringLiteral("%1 returned %2").arg(QLatin1String(name)).arg(status);
        if (id == 3) {
            configShown = true;
            shownConfig = message.payload.configQueryResponse.config;
        }
    }
};

struct Harness {
    // Not shown: painting is not the receive path, and the dumps of large
    // inputs would be laid out again for every paint.
    WindowOnPty link{
        [](const QString &why) { failure(qPrintable(why)); }, {}, {}, WindowOnPty::Hidden};
    QSerialPort *port = nullptr;
    Model model;
    bool tableTouched = false;

    Harness()
    {
        link.pickPty();
        port = Probe::serialPort(*link.window);
        // The harness moves bytes into the port itself and then runs the
        // window's slot, so the port's own signals stay held.
        port->blockSignals(true);
    }

    // Bytes queued for the master end, written as far as the terminal takes
    // them.
    std::vector<uint8_t> pending;
    size_t pendingAt = 0;

    void queue(const uint8_t *bytes, size_t count)
    {
        pending.insert(pending.end(), bytes, bytes + count);
        pump();
    }

    void pump()
    {
        pendingAt += writeAvailable(link.pty.master(), pending.data() + pendingAt,
                                    pending.size() - pendingAt);
        if (pendingAt < pending.size())
            return;
        pending.clear();
        pendingAt = 0;
    }

    // Lets the port read exactly the next `count` queued bytes into its
    // buffer.
    void arrive(size_t count)
    {
        FUZZ_CHECK(port->bytesAvailable() == 0, QStringLiteral("bytes left in the port"));
        port->setReadBufferSize(qint64(count));
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kPatienceMs);
        while (port->bytesAvailable() < qint64(count)) {
            pump();
            port->waitForReadyRead(pendingAt < pending.size() ? 0 : 50);
            if (std::chrono::steady_clock::now() > deadline)
                failure("the piece did not arrive at the port");
        }
        FUZZ_CHECK(port->bytesAvailable() == qint64(count), QString());
    }

    // Reads what the window wrote at the master end; it must be `request`.
    void expectRequest(const QByteArray &request)
    {
        const QByteArray got = link.pty.read(request.size());
        FUZZ_CHECK(got == request, hexOf(got));
    }

    void expectLines(int from, const QStringList &expected)
    {
        const QStringList lines = link.logFrom(from);
        FUZZ_CHECK(lines.size() == expected.size(),
                   QStringLiteral("%1 lines, expected %2").arg(lines.size()).arg(expected.size()));
        for (int i = 0; i < expected.size(); ++i)
            FUZZ_CHECK(lines[i] == expected[i],
                       lines[i] + QStringLiteral(" / expected ") + expected[i]);
    }

    void send(bool query)
    {
        const int from = link.logRows();
        (query ? link.ui().queryButton : link.ui().pingButton)->click();
        model.send(query ? MSG_CONFIG_QUERY_REQUEST : MSG_PING_REQUEST);
        const QByteArray request = query ? kQueryRequestFrame : kPingRequestFrame;
        expectRequest(request);
        // Only the Query's header has a colon.
        const QString name = query ? QStringLiteral("Config Query") : QStringLiteral("Ping");
        expectLines(from, {QStringLiteral("Sending %1...").arg(name),
                           sentLine(query ? "Sent %1 bytes:" : "Sent %1 bytes", request, name)});
        FUZZ_CHECK(port->bytesAvailable() == 0, QStringLiteral("unread bytes survived a send"));
        checkState();
    }

    // The next piece, already queued, reaches the window.
    void deliver(const uint8_t *bytes, size_t count)
    {
        if (count == 0)
            return;
        arrive(count);
        const int from = link.logRows();
        QStringList expected;
        for (size_t i = 0; i < count; ++i)
            model.feed(bytes[i], expected);
        Probe::readyRead(*link.window);
        expectLines(from, expected);
        FUZZ_CHECK(port->bytesAvailable() == 0, QStringLiteral("bytes left in the port"));
        checkState();
        if (model.configShown) {
            checkTable();
            model.configShown = false;
        }
    }

    void checkState()
    {
        const size_t count = Probe::rxWireLen(*link.window);
        FUZZ_CHECK(count == model.wire.size(),
                   QStringLiteral("rxWireLen %1, expected %2").arg(count).arg(model.wire.size()));
        FUZZ_CHECK(count == 0 ||
                       std::memcmp(Probe::rxWire(*link.window), model.wire.data(), count) == 0,
                   QStringLiteral("rxWire differs"));
        const FrameCodec &rx = Probe::rxCodec(*link.window);
        FUZZ_CHECK(
            rx.state == model.codec.state && rx.payloadIndex == model.codec.payloadIndex &&
                rx.payloadIndex <= rx.capacity,
            QStringLiteral("decoder state %1, expected %2").arg(rx.state).arg(model.codec.state));
    }

    // The hostname row (text up to its NUL) and the port row, as received.
    void checkTable()
    {
        const DeviceConfig &config = model.shownConfig;
        const void *nul = std::memchr(config.hostname, 0, sizeof config.hostname);
        const int length = nul ? int(static_cast<const char *>(nul) - config.hostname)
                               : int(sizeof config.hostname);
        QTableWidget *table = link.ui().tableWidget;
        FUZZ_CHECK(table->item(0, 0)->text() == QString::fromUtf8(config.hostname, length),
                   table->item(0, 0)->text());
        FUZZ_CHECK(table->item(5, 0)->text() == QString::number(config.smtpPort),
                   table->item(5, 0)->text());
        tableTouched = true;
    }

    // The state every input starts from: the port line alone in the log, an
    // empty table and a fresh exchange.
    void reset()
    {
        // What the previous input left for the event loop (deferred layout,
        // deleted objects) is done with first.
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        link.ui().logTableWidget->setRowCount(1);
        if (tableTouched) {
            for (int row = 0; row < link.ui().tableWidget->rowCount(); ++row)
                link.ui().tableWidget->item(row, 0)->setText(QString());
            tableTouched = false;
        }
        send(false);
    }
};

Harness *harness = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "fuzz_receive_path";
    static char *argv[] = {name, nullptr};
    new QApplication(argc, argv);
    // Lives as long as the process: libFuzzer never returns from its loop.
    harness = new Harness;
    return 0;
}

namespace {

// One step of an input's script.
struct Step {
    enum Kind { Piece, Stranded, Send } kind;
    const uint8_t *bytes;
    size_t count;
    bool query;
};

std::vector<Step> parse(const uint8_t *data, size_t size)
{
    static const std::vector<uint8_t> zeros(kBurst, 0);
    std::vector<Step> steps;
    size_t at = 0;
    while (at < size) {
        const uint8_t command = data[at++];
        const size_t rest = size - at;
        if (command >= 0xF8) {
            steps.push_back({Step::Send, nullptr, 0, command >= 0xFC});
        } else if (command >= 0xF1) {
            if (rest == 0)
                break;
            const size_t count = std::min<size_t>(size_t(data[at++]) + 1, rest - 1);
            steps.push_back({Step::Stranded, data + at, count, command >= 0xF4});
            at += count;
        } else if (command == 0xF0) {
            steps.push_back({Step::Piece, zeros.data(), zeros.size(), false});
        } else {
            const size_t wanted =
                command < 0x80 ? size_t(command) + 1 : size_t(command - 0x7F) * 32;
            const size_t count = std::min(wanted, rest);
            if (count > 0)
                steps.push_back({Step::Piece, data + at, count, false});
            at += count;
        }
    }
    return steps;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Harness &h = *harness;
    h.reset();
    const std::vector<Step> steps = parse(data, size);
    for (size_t i = 0; i < steps.size(); ++i) {
        const Step &step = steps[i];
        if (step.kind == Step::Piece) {
            // A send clears the terminal, so only the pieces before the next
            // send go out ahead.
            if (i == 0 || steps[i - 1].kind != Step::Piece) {
                for (size_t j = i; j < steps.size() && steps[j].kind == Step::Piece; ++j)
                    h.queue(steps[j].bytes, steps[j].count);
            }
            h.deliver(step.bytes, step.count);
        } else {
            if (step.kind == Step::Stranded) {
                h.queue(step.bytes, step.count);
                h.arrive(step.count);
            }
            h.send(step.query);
        }
    }
    return 0;
}
