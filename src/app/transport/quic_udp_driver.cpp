#include "app/transport/quic_udp_driver.h"

#include "app/transport/transport_log.h"

#include <QUdpSocket>

#include <algorithm>
#include <span>
#include <vector>

namespace velurio {

namespace {
// Largest UDP datagram read at once.
constexpr qint64 kReceiveBytes = 65'536;
// How often closing streams are checked for their peer's last acknowledgement.
constexpr int kLingerCheckMs = 20;
// Application error code of a connection whose peer stopped reading its stream.
constexpr std::uint64_t kStalledErrorCode = 1;

bool isAnyAddress(const QHostAddress& address) {
    return address == QHostAddress(QHostAddress::Any) ||
           address == QHostAddress(QHostAddress::AnyIPv4) ||
           address == QHostAddress(QHostAddress::AnyIPv6);
}
}  // namespace

// --- QuicStreamDevice -----------------------------------------------------------------------

QuicStreamDevice::QuicStreamDevice(QuicUdpDriver* driver, QuicConnectionHandle connection,
                                   std::int64_t streamId, RemoteEndpoint remote)
    : m_driver(driver),
      m_connection(connection),
      m_streamId(streamId),
      m_remote(std::move(remote)) {
    QIODevice::open(QIODevice::ReadWrite | QIODevice::Unbuffered);
}

QuicStreamDevice::~QuicStreamDevice() {
    if (isOpen() && m_driver != nullptr) {
        m_driver->closeStream(m_connection);
    }
}

qint64 QuicStreamDevice::bytesAvailable() const {
    return m_readBuffer.size() + QIODevice::bytesAvailable();
}

qint64 QuicStreamDevice::bytesToWrite() const {
    if (m_driver == nullptr) {
        return 0;
    }
    const auto it = m_driver->m_streams.find(m_connection);
    return it == m_driver->m_streams.end() ? 0 : it->second.pending.size();
}

qint64 QuicStreamDevice::readData(char* data, qint64 maxSize) {
    const qint64 n = std::min<qint64>(maxSize, m_readBuffer.size());
    if (n == 0 && m_ended) {
        return -1;
    }
    std::copy_n(m_readBuffer.constData(), n, data);
    m_readBuffer.remove(0, static_cast<qsizetype>(n));
    return n;
}

qint64 QuicStreamDevice::writeData(const char* data, qint64 size) {
    if (m_driver == nullptr || m_ended ||
        m_driver->m_streams.find(m_connection) == m_driver->m_streams.end()) {
        return -1;
    }
    m_driver->write(m_connection, data, size);
    return size;
}

void QuicStreamDevice::close() {
    if (!isOpen()) {
        return;
    }
    QIODevice::close();
    m_readBuffer.clear();
    if (m_driver != nullptr) {
        m_driver->closeStream(m_connection);
    }
}

void QuicStreamDevice::received(const std::vector<std::uint8_t>& bytes, bool fin) {
    if (!bytes.empty()) {
        m_readBuffer.append(reinterpret_cast<const char*>(bytes.data()),
                            static_cast<qsizetype>(bytes.size()));
        Q_EMIT readyRead();
    }
    if (fin) {
        ended();
    }
}

void QuicStreamDevice::ended() {
    if (m_ended) {
        return;
    }
    m_ended = true;
    Q_EMIT readChannelFinished();
}

// --- QuicUdpDriver --------------------------------------------------------------------------

QuicUdpDriver::QuicUdpDriver(std::unique_ptr<QuicEngine> engine, QObject* parent)
    : QObject(parent), m_engine(std::move(engine)), m_socket(new QUdpSocket(this)) {
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        m_engine->handleTimeout(now());
        flush();
    });
    m_lingerTimer.setInterval(kLingerCheckMs);
    connect(&m_lingerTimer, &QTimer::timeout, this, &QuicUdpDriver::checkLingering);
    connect(m_socket, &QUdpSocket::readyRead, this, &QuicUdpDriver::readDatagrams);
}

QuicUdpDriver::~QuicUdpDriver() {
    // The peers are told; no event reaches onEvent any more.
    m_engine->closeAll(0, "", now());
    for (const QuicOutgoingDatagram& datagram : m_engine->takeOutput().datagrams) {
        m_socket->writeDatagram(reinterpret_cast<const char*>(datagram.bytes.data()),
                                static_cast<qint64>(datagram.bytes.size()),
                                QHostAddress(datagram.destination.sockaddrData()),
                                datagram.destination.port());
    }
    // Their readers learn that the streams are over (they must not call back into the driver).
    std::vector<QPointer<QuicStreamDevice>> devices;
    for (auto& [handle, stream] : m_streams) {
        devices.push_back(stream.device);
    }
    m_streams.clear();
    for (const QPointer<QuicStreamDevice>& device : devices) {
        if (device != nullptr) {
            device->m_driver = nullptr;
            device->ended();
        }
    }
}

bool QuicUdpDriver::bind(const QHostAddress& address, quint16 port, QString* error) {
    if (m_socket->state() != QAbstractSocket::UnconnectedState) {
        m_socket->close();
    }
    if (!m_socket->bind(address, port)) {
        if (error != nullptr) {
            *error = m_socket->errorString();
        }
        return false;
    }
    m_boundAddress = address;
    return true;
}

quint16 QuicUdpDriver::localPort() const {
    return m_socket->localPort();
}

QuicEndpoint QuicUdpDriver::toEndpoint(const QHostAddress& host, quint16 port) {
    bool isV4 = false;
    const quint32 v4 = host.toIPv4Address(&isV4);
    if (isV4) {
        return QuicEndpoint::ipv4(
            {static_cast<std::uint8_t>(v4 >> 24), static_cast<std::uint8_t>(v4 >> 16),
             static_cast<std::uint8_t>(v4 >> 8), static_cast<std::uint8_t>(v4)},
            port);
    }
    const Q_IPV6ADDR v6 = host.toIPv6Address();
    std::array<std::uint8_t, 16> bytes{};
    std::copy_n(v6.c, 16, bytes.begin());
    return QuicEndpoint::ipv6(bytes, port, host.scopeId().toUInt());
}

RemoteEndpoint QuicUdpDriver::toRemote(const QuicEndpoint& endpoint) {
    QHostAddress host(endpoint.sockaddrData());
    bool isV4 = false;
    const quint32 v4 = host.toIPv4Address(&isV4);
    if (isV4) {
        host = QHostAddress(v4);
    }
    return RemoteEndpoint{host, endpoint.port()};
}

QuicEndpoint QuicUdpDriver::localEndpointFor(const QHostAddress& remote) const {
    const quint16 port = localPort();
    if (!isAnyAddress(m_boundAddress)) {
        return toEndpoint(m_boundAddress, port);
    }
    bool isV4 = false;
    remote.toIPv4Address(&isV4);
    return isV4 ? toEndpoint(QHostAddress(QHostAddress::AnyIPv4), port)
                : QuicEndpoint::ipv6({}, port);
}

void QuicUdpDriver::readDatagrams() {
    QPointer<QuicUdpDriver> self(this);
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(kReceiveBytes));
    bool received = false;
    while (m_socket->hasPendingDatagrams()) {
        QHostAddress from;
        quint16 fromPort = 0;
        const qint64 size = m_socket->readDatagram(reinterpret_cast<char*>(buffer.data()),
                                                   kReceiveBytes, &from, &fromPort);
        if (size < 0) {
            break;
        }
        m_engine->receive(
            std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(size)),
            localEndpointFor(from), toEndpoint(from, fromPort), now());
        received = true;
        // Events of each datagram go out at once, so that a burst is handled in order.
        flush();
        if (self == nullptr) {
            return;
        }
    }
    if (received) {
        flush();
    }
}

void QuicUdpDriver::flush() {
    if (m_flushing) {
        m_flushAgain = true;
        return;
    }
    m_flushing = true;
    QPointer<QuicUdpDriver> self(this);
    for (;;) {
        m_flushAgain = false;
        QuicOutput output = m_engine->takeOutput();
        if (output.empty()) {
            break;
        }
        for (const QuicOutgoingDatagram& datagram : output.datagrams) {
            m_socket->writeDatagram(reinterpret_cast<const char*>(datagram.bytes.data()),
                                    static_cast<qint64>(datagram.bytes.size()),
                                    QHostAddress(datagram.destination.sockaddrData()),
                                    datagram.destination.port());
        }
        for (const QuicEvent& event : output.events) {
            dispatch(event);
            if (self == nullptr) {
                return;
            }
        }
    }
    m_flushing = false;
    armTimer();
}

void QuicUdpDriver::armTimer() {
    const std::optional<QuicTime> deadline = m_engine->nextDeadline();
    if (!deadline) {
        m_timer.stop();
        return;
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*deadline - now());
    m_timer.start(static_cast<int>(std::clamp<std::int64_t>(wait.count(), 0, 0x7FFFFFFF)));
}

void QuicUdpDriver::dispatch(const QuicEvent& event) {
    QPointer<QuicUdpDriver> self(this);
    if (const auto* data = std::get_if<QuicStreamData>(&event)) {
        const auto it = m_streams.find(data->connection);
        if (it != m_streams.end() && it->second.device != nullptr &&
            it->second.streamId == data->streamId) {
            QPointer<QuicStreamDevice> device = it->second.device;
            device->received(data->bytes, data->fin);
            if (device != nullptr && device->m_readBuffer.size() > kMaxUnreadStreamBytes) {
                qCWarning(lcTransportServer) << "QUIC peer sent more than" << kMaxUnreadStreamBytes
                                             << "bytes nobody read; closing it";
                device->m_readBuffer.clear();
                m_engine->close(data->connection, kStalledErrorCode, "unread", now());
                flush();
            }
        }
    } else if (const auto* writable = std::get_if<QuicStreamWritable>(&event)) {
        pump(writable->connection);
    } else if (const auto* closed = std::get_if<QuicConnectionClosed>(&event)) {
        const auto it = m_streams.find(closed->connection);
        if (it != m_streams.end()) {
            QPointer<QuicStreamDevice> device = it->second.device;
            m_streams.erase(it);
            if (device != nullptr) {
                device->ended();
            }
        }
    }
    if (self != nullptr && onEvent) {
        onEvent(event);
    }
}

QuicStreamDevice* QuicUdpDriver::openDevice(QuicConnectionHandle connection, std::int64_t streamId,
                                            const RemoteEndpoint& remote) {
    auto* device = new QuicStreamDevice(this, connection, streamId, remote);
    Stream& stream = m_streams[connection];
    stream = Stream{};
    stream.streamId = streamId;
    stream.device = device;
    return device;
}

void QuicUdpDriver::write(QuicConnectionHandle connection, const char* data, qint64 size) {
    const auto it = m_streams.find(connection);
    if (it == m_streams.end()) {
        return;
    }
    it->second.pending.append(data, static_cast<qsizetype>(size));
    if (it->second.pending.size() > kMaxPendingStreamBytes) {
        qCWarning(lcTransportServer) << "QUIC peer stopped reading its stream; closing it";
        it->second.pending.clear();
        m_engine->close(connection, kStalledErrorCode, "stalled", now());
        flush();
        return;
    }
    pump(connection);
}

void QuicUdpDriver::pump(QuicConnectionHandle connection) {
    auto it = m_streams.find(connection);
    if (it == m_streams.end()) {
        return;
    }
    Stream& stream = it->second;
    const QuicTime time = now();
    qsizetype taken = 0;
    if (!stream.pending.isEmpty()) {
        const QuicStreamWrite result = m_engine->writeStream(
            connection, stream.streamId,
            std::span(reinterpret_cast<const std::uint8_t*>(stream.pending.constData()),
                      static_cast<std::size_t>(stream.pending.size())),
            false, time);
        switch (result.status) {
            case QuicStreamWriteStatus::accepted:
                taken = stream.pending.size();
                break;
            case QuicStreamWriteStatus::partial:
                taken = static_cast<qsizetype>(result.acceptedBytes);
                break;
            default:
                stream.pending.clear();  // the stream is gone: nothing will be sent
                break;
        }
        stream.pending.remove(0, taken);
    }
    if (stream.closing && stream.pending.isEmpty() && !stream.finSent) {
        const QuicStreamWrite fin =
            m_engine->writeStream(connection, stream.streamId, {}, true, time);
        stream.finSent = fin.status != QuicStreamWriteStatus::partial;
    }
    QPointer<QuicStreamDevice> device = stream.device;
    flush();
    if (taken > 0 && device != nullptr) {
        Q_EMIT device->bytesWritten(taken);
    }
}

void QuicUdpDriver::closeStream(QuicConnectionHandle connection) {
    const auto it = m_streams.find(connection);
    if (it == m_streams.end() || it->second.closing) {
        return;
    }
    it->second.device = nullptr;
    it->second.closing = true;
    it->second.closingSince = now();
    pump(connection);
    if (!m_lingerTimer.isActive()) {
        m_lingerTimer.start();
    }
}

void QuicUdpDriver::checkLingering() {
    const QuicTime time = now();
    std::vector<QuicConnectionHandle> done;
    bool lingering = false;
    for (const auto& [handle, stream] : m_streams) {
        if (!stream.closing) {
            continue;
        }
        const bool acknowledged = stream.pending.isEmpty() && stream.finSent &&
                                  m_engine->streamBufferedBytes(handle, stream.streamId) == 0;
        if (acknowledged || time - stream.closingSince >= kCloseLinger) {
            done.push_back(handle);
        } else {
            lingering = true;
        }
    }
    for (QuicConnectionHandle handle : done) {
        m_streams.erase(handle);
        m_engine->close(handle, 0, "", time);
    }
    if (!lingering) {
        m_lingerTimer.stop();
    }
    if (!done.empty()) {
        flush();
    }
}

}  // namespace velurio
