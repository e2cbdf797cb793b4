#include "PortForwarder.h"

#include "GatewayExchange.h"
#include "Log.h"
#include "TextConversion.h"
#include "ThreadedServices.h"

#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>
#include <miniupnpc/upnperrors.h>
#include <miniupnpc/upnpreplyparse.h>

#include <arpa/inet.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

PortForwarder* portForwarder = nullptr;

namespace
{
const char* const LOG_CATEGORY = "Port Forwarding";
// What the router shows as the owner of the mappings.
const char* const MAPPING_DESCRIPTION = "Tavrinel";
// UPnP error: the router only accepts mappings without a lease.
const int ONLY_PERMANENT_LEASES_SUPPORTED = 725;

using gateway::Answer;

// A device's description as miniupnpc reads it, with the URLs it makes of
// it. Worker thread only.
struct GatewayDevice
{
    UPNPUrls urls{};
    IGDdatas data{};
    std::string lanAddress;
    bool hasUrls = false;

    GatewayDevice() = default;
    GatewayDevice(const GatewayDevice&) = delete;
    GatewayDevice& operator=(const GatewayDevice&) = delete;
    ~GatewayDevice() { Clear(); }

    void Clear()
    {
        if (hasUrls)
            FreeUPNPUrls(&urls);
        urls = UPNPUrls{};
        data = IGDdatas{};
        lanAddress.clear();
        hasUrls = false;
    }

    void TakeFrom(GatewayDevice& io_other)
    {
        Clear();
        std::swap(urls, io_other.urls);
        std::swap(data, io_other.data);
        std::swap(lanAddress, io_other.lanAddress);
        std::swap(hasUrls, io_other.hasUrls);
    }

    // The URLs for the first connection service of the description.
    void MakeUrls(const std::string& i_location)
    {
        if (hasUrls)
            FreeUPNPUrls(&urls);
        urls = UPNPUrls{};
        GetUPNPUrls(&urls, &data, i_location.c_str(), 0);
        hasUrls = true;
    }
};
}

// What the worker knows about the gateway. The flags are read by the main
// thread; the rest is touched only by jobs on the worker thread.
struct UPnPGateway
{
    std::atomic<bool> found{false};
    std::atomic<bool> discoveryPending{false};
    GatewayDevice device;
    bool permanentOnly = false;

    void Forget()
    {
        device.Clear();
        permanentOnly = false;
        found = false;
    }
};

namespace
{
QString FromC(const char* ip_text)
{
    return ip_text ? QString::fromLatin1(ip_text) : QString();
}

// One SOAP call on a device's connection service; the reply is read with
// miniupnpc's parser.
class SoapCall
{
public:
    SoapCall(const GatewayDevice& i_device, const char* ip_action,
             const std::vector<std::pair<std::string, std::string>>& i_arguments = {})
        : m_answer(gateway::CallSoap(i_device.urls.controlURL ? i_device.urls.controlURL : "",
                                     i_device.data.first.servicetype, ip_action, i_arguments))
    {
        if (m_answer.outcome == Answer::Outcome::Complete)
        {
            ParseNameValue(m_answer.body.data(), int(m_answer.body.size()), &m_reply);
            m_parsed = true;
        }
    }
    ~SoapCall()
    {
        if (m_parsed)
            ClearNameValueList(&m_reply);
    }
    SoapCall(const SoapCall&) = delete;
    SoapCall& operator=(const SoapCall&) = delete;

    // As miniupnpc's commands answer: success, the UPnP error code of a
    // fault, or one of miniupnpc's own codes.
    int Result()
    {
        if (!m_parsed)
            return UPNPCOMMAND_HTTP_ERROR;
        if (const char* code = Value("errorCode"))
        {
            char* end = nullptr;
            const long number = std::strtol(code, &end, 10);
            return end != code && number > 0 && number < 10000 ? int(number) : UPNPCOMMAND_UNKNOWN_ERROR;
        }
        return m_answer.status == 200 ? UPNPCOMMAND_SUCCESS : UPNPCOMMAND_UNKNOWN_ERROR;
    }

    const char* Value(const char* ip_name) { return m_parsed ? GetValueFromNameValueList(&m_reply, ip_name) : nullptr; }

    // Why the device was given up, or empty when it kept to the bounds.
    QString OverBound() const
    {
        return m_answer.outcome == Answer::Outcome::OverBound ? FromLatin1(m_answer.problem) : QString();
    }

private:
    Answer m_answer;
    NameValueParserData m_reply{};
    bool m_parsed = false;
};

// An address on the internet, not one of the ranges kept for private,
// shared, local, documentation or other special use.
bool IsPublicAddress(const char* ip_text)
{
    in_addr address{};
    if (!ip_text || ::inet_pton(AF_INET, ip_text, &address) != 1)
        return false;
    const quint32 ip = ntohl(address.s_addr);
    static const struct
    {
        quint32 network;
        int bits;
    } reserved[] = {{0x00000000, 8},  {0x0a000000, 8},  {0x64400000, 10}, {0x7f000000, 8},  {0xa9fe0000, 16},
                    {0xac100000, 12}, {0xc0000000, 24}, {0xc0000200, 24}, {0xc0586300, 24}, {0xc0a80000, 16},
                    {0xc6120000, 15}, {0xc6336400, 24}, {0xcb007100, 24}, {0xe0000000, 3}};
    for (const auto& range : reserved)
        if ((ip >> (32 - range.bits)) == (range.network >> (32 - range.bits)))
            return false;
    return true;
}

void GiveUp(ThreadedServices& io_services, const std::string& i_location, const QString& i_why)
{
    io_services.Report({QStringLiteral("Gave up on UPnP device %1: %2").arg(FromLatin1(i_location), i_why)});
}

enum class Verdict
{
    NoGateway,
    GivenUp,
    Connected,     // a connection service that is up, with a public address
    Unconnected,   // a gateway that reports no public connection
};

// Worker thread: whether the connection service the description names first
// is up with a public address.
Verdict CheckConnection(ThreadedServices& io_services, const std::string& i_location, const GatewayDevice& i_device)
{
    // The calls go to the device that was asked, whatever its description
    // names: never to another machine or to this one.
    if (!i_device.urls.controlURL || !gateway::SameHost(i_device.urls.controlURL, i_location))
    {
        GiveUp(io_services, i_location, QStringLiteral("its control URL is not at its own address"));
        return Verdict::GivenUp;
    }
    SoapCall status(i_device, "GetStatusInfo");
    if (!status.OverBound().isEmpty())
    {
        GiveUp(io_services, i_location, status.OverBound());
        return Verdict::GivenUp;
    }
    const char* state = status.Value("NewConnectionStatus");
    if (status.Result() != UPNPCOMMAND_SUCCESS || !state || std::strcmp(state, "Connected") != 0)
        return Verdict::Unconnected;
    SoapCall external(i_device, "GetExternalIPAddress");
    if (!external.OverBound().isEmpty())
    {
        GiveUp(io_services, i_location, external.OverBound());
        return Verdict::GivenUp;
    }
    return external.Result() == UPNPCOMMAND_SUCCESS && IsPublicAddress(external.Value("NewExternalIPAddress"))
               ? Verdict::Connected
               : Verdict::Unconnected;
}

// Worker thread: reads one device's description and, for a gateway, its
// connection. A device with both an IP and a PPP connection service is used
// with the one that is up.
Verdict Examine(ThreadedServices& io_services, const std::string& i_location, GatewayDevice& o_device)
{
    const Answer description = gateway::Get(i_location);
    if (description.outcome == Answer::Outcome::OverBound)
    {
        GiveUp(io_services, i_location, FromLatin1(description.problem));
        return Verdict::GivenUp;
    }
    if (description.outcome != Answer::Outcome::Complete || description.localAddress.empty())
        return Verdict::NoGateway;
    parserootdesc(description.body.data(), int(description.body.size()), &o_device.data);
    if (!o_device.data.first.servicetype[0] || !o_device.data.first.controlurl[0])
        return Verdict::NoGateway;
    o_device.lanAddress = description.localAddress;
    o_device.MakeUrls(i_location);

    Verdict verdict = CheckConnection(io_services, i_location, o_device);
    if (verdict != Verdict::Unconnected || !o_device.data.second.servicetype[0])
        return verdict;
    std::swap(o_device.data.first, o_device.data.second);
    o_device.MakeUrls(i_location);
    verdict = CheckConnection(io_services, i_location, o_device);
    if (verdict == Verdict::Unconnected)
    {
        std::swap(o_device.data.first, o_device.data.second);
        o_device.MakeUrls(i_location);
    }
    return verdict;
}

// Worker thread: the search for the gateway and the choice of the one to use.
void Discover(ThreadedServices& io_services, UPnPGateway& io_gateway, int i_delayMs)
{
    struct Done
    {
        UPnPGateway& gateway;
        ~Done() { gateway.discoveryPending = false; }
    } done{io_gateway};

    if (io_gateway.found)
        return;

    const gateway::SearchResult search = gateway::Search(i_delayMs);
    if (!search.error.empty())
    {
        io_services.Report({QStringLiteral("No UPnP gateway found: the search could not be sent (%1)")
                                .arg(FromLatin1(search.error))});
        return;
    }
    if (search.locations.empty())
    {
        io_services.Report({QStringLiteral("No UPnP gateway found: no device answered the search")});
        return;
    }
    if (search.full)
        io_services.Report({QStringLiteral("%1 UPnP devices answered the search; any others are ignored")
                                .arg(search.locations.size())});

    // The first gateway with a public connection; else the first gateway.
    GatewayDevice chosen;
    Verdict chosenVerdict = Verdict::NoGateway;
    for (const std::string& location : search.locations)
    {
        if (io_services.IsStopping())
            return;
        GatewayDevice device;
        const Verdict verdict = Examine(io_services, location, device);
        if (verdict == Verdict::Connected || (verdict == Verdict::Unconnected && chosenVerdict == Verdict::NoGateway))
        {
            chosen.TakeFrom(device);
            chosenVerdict = verdict;
        }
        if (verdict == Verdict::Connected)
            break;
    }
    if (chosenVerdict == Verdict::NoGateway)
    {
        io_services.Report({QStringLiteral("No UPnP gateway found: %1 device(s) answered, none of them "
                                           "is a usable Internet gateway").arg(search.locations.size())});
        return;
    }

    io_gateway.device.TakeFrom(chosen);
    io_gateway.permanentOnly = false;
    io_gateway.found = true;
    QString line = QStringLiteral("Found UPnP gateway %1 (local address %2)")
                       .arg(FromC(io_gateway.device.urls.rootdescURL), FromLatin1(io_gateway.device.lanAddress));
    // Mapping on a gateway that reports no public connection (not connected,
    // or a private address behind another NAT) is harmless and helps when
    // its report is wrong.
    if (chosenVerdict == Verdict::Unconnected)
        line += QStringLiteral("; it reports no public connection, so the mappings may not help");
    io_services.Report({line});
}

// Worker thread: adds (or renews) one TCP mapping.
void Map(ThreadedServices& io_services, UPnPGateway& io_gateway, quint16 i_port)
{
    // Without a gateway the search has already said so; nothing to add.
    if (!io_gateway.found)
        return;

    const std::string port = std::to_string(i_port);
    const std::string lease = std::to_string(PortForwarder::LEASE_SECONDS);
    const QString target = QStringLiteral("%1:%2").arg(FromLatin1(io_gateway.device.lanAddress)).arg(i_port);
    const auto arguments = [&](const std::string& i_lease) {
        return std::vector<std::pair<std::string, std::string>>{
            {"NewRemoteHost", ""},
            {"NewExternalPort", port},
            {"NewProtocol", "TCP"},
            {"NewInternalPort", port},
            {"NewInternalClient", io_gateway.device.lanAddress},
            {"NewEnabled", "1"},
            {"NewPortMappingDescription", MAPPING_DESCRIPTION},
            {"NewLeaseDuration", i_lease}};
    };

    bool permanent = io_gateway.permanentOnly;
    std::optional<SoapCall> call;
    call.emplace(io_gateway.device, "AddPortMapping", arguments(permanent ? "0" : lease));
    if (call->Result() == ONLY_PERMANENT_LEASES_SUPPORTED && !permanent)
    {
        io_gateway.permanentOnly = true;
        permanent = true;
        call.emplace(io_gateway.device, "AddPortMapping", arguments("0"));
    }

    const int result = call->Result();
    if (result == UPNPCOMMAND_SUCCESS)
    {
        if (permanent)
            io_services.Report({QStringLiteral("Mapped TCP port %1 to %2 (permanent: the gateway supports no lease)")
                                    .arg(i_port).arg(target)});
        else
            io_services.Report({QStringLiteral("Mapped TCP port %1 to %2 (lease %3 s)")
                                    .arg(i_port).arg(target).arg(PortForwarder::LEASE_SECONDS)});
        return;
    }

    QString line;
    if (!call->OverBound().isEmpty())
        line = QStringLiteral("Gave up on the UPnP gateway while mapping TCP port %1 to %2: %3")
                   .arg(i_port).arg(target, call->OverBound());
    else
    {
        const char* text = strupnperror(result);
        line = QStringLiteral("Could not map TCP port %1 to %2: error %3 (%4)")
                   .arg(i_port)
                   .arg(target)
                   .arg(result)
                   .arg(text ? QString::fromLatin1(text) : QStringLiteral("unknown error"));
    }
    if (result == UPNPCOMMAND_HTTP_ERROR)
    {
        // The gateway no longer answers, or answers beyond the bounds
        // (another network, a restarted or broken router): search again at
        // the next request.
        io_gateway.Forget();
        line += QStringLiteral("; the gateway will be searched for again");
    }
    io_services.Report({line});
}
}

PortForwarder::PortForwarder(QObject* ip_parent)
    : QObject(ip_parent)
    , mp_gateway(std::make_shared<UPnPGateway>())
{
    portForwarder = this;
}

PortForwarder::~PortForwarder()
{
    if (portForwarder == this)
        portForwarder = nullptr;
    if (!mp_services)
        return;
    disconnect(mp_services, nullptr, this, nullptr);
    mp_services->Stop();
    if (mp_services->wait(SHUTDOWN_WAIT_MS))
    {
        delete mp_services;
        return;
    }
    // The worker is inside a call to a router that does not finish its
    // answer. It ends by itself once the call returns; its jobs hold what
    // they use, and nothing of this object.
    Log(LOG_CATEGORY, 1, QStringLiteral("The UPnP gateway is still answering; shutting down without waiting for it"));
    mp_services = nullptr;
}

ThreadedServices* PortForwarder::Services()
{
    if (!mp_services)
    {
        mp_services = new ThreadedServices;
        connect(mp_services, &ThreadedServices::LinesReported, this, &PortForwarder::LogLines, Qt::QueuedConnection);
    }
    return mp_services;
}

void PortForwarder::Init()
{
    if (mp_gateway->found || mp_gateway->discoveryPending)
        return;
    mp_gateway->discoveryPending = true;
    ThreadedServices* services = Services();
    std::shared_ptr<UPnPGateway> gateway = mp_gateway;
    const int delay = m_discoveryDelayMs;
    services->Post([services, gateway, delay] { Discover(*services, *gateway, delay); });
}

void PortForwarder::AddPortMapping(quint16 i_port)
{
    if (i_port == 0)
        return;
    ThreadedServices* services = Services();
    std::shared_ptr<UPnPGateway> gateway = mp_gateway;
    services->Post([services, gateway, i_port] { Map(*services, *gateway, i_port); });
}

void PortForwarder::MapListeningPorts(quint32 i_plainPort, quint32 i_scrambledPort)
{
    for (const quint32 port : {i_plainPort, i_scrambledPort})
        if (port > 0 && port <= 65535)
            AddPortMapping(quint16(port));
}

bool PortForwarder::HasGateway() const
{
    return mp_gateway->found;
}

void PortForwarder::SetDiscoveryDelay(int i_ms)
{
    m_discoveryDelayMs = i_ms > 0 ? i_ms : DEFAULT_DISCOVERY_DELAY_MS;
}

void PortForwarder::LogLines(QStringList i_lines)
{
    for (const QString& line : i_lines)
        Log(LOG_CATEGORY, 1, line);
}
