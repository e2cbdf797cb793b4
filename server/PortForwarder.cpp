#include "PortForwarder.h"

#include "Data.h"
#include "Log.h"
#include "TextConversion.h"
#include "ThreadedServices.h"

#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>
#include <miniupnpc/upnperrors.h>

#include <atomic>
#include <cstring>
#include <string>

PortForwarder* portForwarder = nullptr;

namespace
{
const char* const LOG_CATEGORY = "Port Forwarding";
// What the router shows as the owner of the mappings.
const char* const MAPPING_DESCRIPTION = "Tavrinel";
// UPnP error: the router only accepts mappings without a lease.
const int ONLY_PERMANENT_LEASES_SUPPORTED = 725;
}

// What the worker knows about the gateway. The flags are read by the main
// thread; the rest is touched only by jobs on the worker thread.
struct UPnPGateway
{
    std::atomic<bool> found{false};
    std::atomic<bool> discoveryPending{false};
    UPNPUrls urls{};
    IGDdatas data{};
    std::string lanAddress;
    bool permanentOnly = false;

    ~UPnPGateway()
    {
        if (found)
            FreeUPNPUrls(&urls);
    }

    void Forget()
    {
        if (found)
            FreeUPNPUrls(&urls);
        urls = UPNPUrls{};
        data = IGDdatas{};
        lanAddress.clear();
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

    int error = UPNPDISCOVER_SUCCESS;
    UPNPDev* devices = upnpDiscover(i_delayMs, nullptr, nullptr, UPNP_LOCAL_PORT_ANY, 0, 2, &error);
    if (!devices)
    {
        if (error == UPNPDISCOVER_SUCCESS)
            io_services.Report({QStringLiteral("No UPnP gateway found: no device answered the search")});
        else
            io_services.Report({QStringLiteral("No UPnP gateway found: the search could not be sent (error %1)").arg(error)});
        return;
    }
    if (io_services.IsStopping())
    {
        freeUPNPDevlist(devices);
        return;
    }

    int answered = 0;
    for (UPNPDev* device = devices; device; device = device->pNext)
        ++answered;

    UPNPUrls urls{};
    IGDdatas data{};
    char lan[64] = {};
    // The local address comes back from the connection miniupnpc made to the
    // gateway: the address the gateway sees, on the right interface.
    const int state = UPNP_GetValidIGD(devices, &urls, &data, lan, sizeof lan);
    freeUPNPDevlist(devices);
    lan[sizeof lan - 1] = '\0';

    // 1: a connected gateway; 2: a gateway that reports no public connection
    // (not connected, or a private external address behind another NAT).
    // Mapping on the second kind is harmless and helps when its report is wrong.
    const bool usable = (state == 1 || state == 2) && urls.controlURL && urls.controlURL[0] &&
                        data.first.servicetype[0] && lan[0];
    if (!usable)
    {
        FreeUPNPUrls(&urls);
        io_services.Report({QStringLiteral("No UPnP gateway found: %1 device(s) answered, none of them "
                                           "is a usable Internet gateway").arg(answered)});
        return;
    }

    io_gateway.urls = urls;
    io_gateway.data = data;
    io_gateway.lanAddress = lan;
    io_gateway.permanentOnly = false;
    io_gateway.found = true;
    QString line = QStringLiteral("Found UPnP gateway %1 (local address %2)")
                       .arg(FromC(urls.rootdescURL), QString::fromLatin1(lan));
    if (state == 2)
        line += QStringLiteral("; it reports no public connection, so the mappings may not help");
    io_services.Report({line});
}

int AddMapping(UPnPGateway& i_gateway, const std::string& i_port, const char* ip_lease)
{
    return UPNP_AddPortMapping(i_gateway.urls.controlURL, i_gateway.data.first.servicetype,
                               i_port.c_str(), i_port.c_str(), i_gateway.lanAddress.c_str(),
                               MAPPING_DESCRIPTION, "TCP", nullptr, ip_lease);
}

// Worker thread: adds (or renews) one TCP mapping.
void Map(ThreadedServices& io_services, UPnPGateway& io_gateway, quint16 i_port)
{
    // Without a gateway the search has already said so; nothing to add.
    if (!io_gateway.found)
        return;

    const std::string port = std::to_string(i_port);
    const std::string lease = std::to_string(PortForwarder::LEASE_SECONDS);
    const QString target = QStringLiteral("%1:%2").arg(FromLatin1(io_gateway.lanAddress)).arg(i_port);

    bool permanent = io_gateway.permanentOnly;
    int result = AddMapping(io_gateway, port, permanent ? "0" : lease.c_str());
    if (result == ONLY_PERMANENT_LEASES_SUPPORTED && !permanent)
    {
        io_gateway.permanentOnly = true;
        permanent = true;
        result = AddMapping(io_gateway, port, "0");
    }

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

    const char* text = strupnperror(result);
    QString line = QStringLiteral("Could not map TCP port %1 to %2: error %3 (%4)")
                       .arg(i_port)
                       .arg(target)
                       .arg(result)
                       .arg(text ? QString::fromLatin1(text) : QStringLiteral("unknown error"));
    if (result == UPNPCOMMAND_HTTP_ERROR)
    {
        // The gateway no longer answers (another network, a restarted
        // router): search again at the next request.
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

void PortForwarder::MapListeningPorts()
{
    const struct
    {
        const char* key;
        quint16 fallback;
    } settings[] = {{"listening_port", DEFAULT_LISTENING_PORT},
                    {"obfuscated_listening_port", DEFAULT_OBFUSCATED_LISTENING_PORT}};
    for (const auto& setting : settings)
    {
        const std::string text = GetSetting(setting.key);
        if (text.empty())
        {
            AddPortMapping(setting.fallback);
            continue;
        }
        // Only plain decimal digits, bounded before they are read.
        const bool digits = text.size() <= 5 && text.find_first_not_of("0123456789") == std::string::npos;
        const unsigned long port = digits ? std::stoul(text) : 0;
        if (port < 1 || port > 65535)
        {
            Log(LOG_CATEGORY, 1, QStringLiteral("Not mapping %1: \"%2\" is not a port number")
                                     .arg(QString::fromLatin1(setting.key), FromLatin1(text.substr(0, 64))));
            continue;
        }
        AddPortMapping(quint16(port));
    }
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
