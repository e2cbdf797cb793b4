#pragma once
// Asks the home router over UPnP to forward the client's listening ports to
// this machine. All UPnP traffic runs on one worker thread (ThreadedServices);
// this object lives on the main thread, queues the work and logs what the
// worker reports, in the category "Port Forwarding". Global `portForwarder`,
// made and deleted by the server connection.
//
// Gateways are found and spoken to through GatewayExchange, which holds
// every device to bounds of size and time; miniupnpc reads what they say.
//
// Mappings carry a lease, so that the router forgets them once this client is
// gone; the server connection renews them every hour. A router that only
// knows permanent mappings gets one without a lease.

#include <QObject>
#include <QStringList>

#include <memory>

class ThreadedServices;
struct UPnPGateway;

class PortForwarder : public QObject
{
    Q_OBJECT

public:
    // Lease of a mapping in seconds: two renewal periods.
    static constexpr int LEASE_SECONDS = 7200;
    // How long the search waits for answers, per kind of device searched.
    static constexpr int DEFAULT_DISCOVERY_DELAY_MS = 2000;
    // How long the destructor waits for a worker busy with the router.
    static constexpr unsigned long SHUTDOWN_WAIT_MS = 3000;
    explicit PortForwarder(QObject* ip_parent = nullptr);
    // Stops the worker and waits for it at most SHUTDOWN_WAIT_MS; a worker
    // still stuck in a call to the router is left to end on its own.
    ~PortForwarder() override;

    // Queues the search for the gateway and returns at once. Does nothing
    // once a search of this process has found one; after a failed search,
    // the next call searches again.
    void Init();

    // Queues a mapping of TCP port i_port on the gateway to the same port of
    // this machine; adding it again renews it. Skipped without a word when
    // no gateway was found (the search has said so already).
    void AddPortMapping(quint16 i_port);

    // Maps the ports the client listens on, as it reported them to the
    // server: a port it could not open (0) is not mapped.
    void MapListeningPorts(quint32 i_plainPort, quint32 i_scrambledPort);

    // Whether a gateway has been found; any thread.
    bool HasGateway() const;

    // For tests: a shorter search. Takes effect for searches queued later.
    void SetDiscoveryDelay(int i_ms);

public slots:
    // Lines reported by the worker, logged in "Port Forwarding".
    void LogLines(QStringList i_lines);

private:
    ThreadedServices* Services();

    ThreadedServices* mp_services = nullptr;
    std::shared_ptr<UPnPGateway> mp_gateway;
    int m_discoveryDelayMs = DEFAULT_DISCOVERY_DELAY_MS;
};

extern PortForwarder* portForwarder;
