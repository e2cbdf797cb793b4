#pragma once
// The port forwarder's traffic with devices on the local network: the
// multicast search for gateways and the HTTP exchanges with them (the device
// description and the SOAP calls). Any device on the network may answer, so
// everything a device sends is held to fixed bounds of size, header length
// and time, and a search considers a bounded number of devices: a broken or
// hostile device costs the client little memory and CPU. What the answers
// mean is left to miniupnpc's parsers. Blocking calls, for the UPnP worker
// thread only.

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace gateway
{
// An honest description or SOAP answer is a few KB.
constexpr std::size_t MAX_BODY_BYTES = 1024 * 1024;
// The status line and all header lines together.
constexpr std::size_t MAX_HEADER_BYTES = 16 * 1024;
// Connecting, sending the request and receiving the whole answer.
constexpr int EXCHANGE_MS = 10000;
// Devices one search considers, one per location.
constexpr std::size_t MAX_DEVICES = 16;

struct Answer
{
    enum class Outcome
    {
        Complete,
        Failed,      // no connection, a malformed answer, closed early
        OverBound,   // the device passed a bound: give it up
    };
    Outcome outcome = Outcome::Failed;
    int status = 0;
    std::string body;
    // Our own address on the connection (dotted): the one the device sees.
    std::string localAddress;
    // Why the exchange failed or passed a bound, for the log: a clause about
    // the device, such as "its answer is larger than 1 MiB".
    std::string problem;
};

// Whether two http:// URLs name the same IPv4 address (ports may differ);
// false when either is not one that the exchanges accept.
bool SameHost(const std::string& i_url, const std::string& i_other);

// GET of an http:// URL that names an IPv4 address.
Answer Get(const std::string& i_url);
// A SOAP action with its arguments (plain text, in order) on a control URL;
// the answer's status may be 200 or a fault's 500.
Answer CallSoap(const std::string& i_controlUrl, const std::string& i_serviceType, const std::string& i_action,
                const std::vector<std::pair<std::string, std::string>>& i_arguments);

struct SearchResult
{
    // Distinct locations in the order they answered, at most MAX_DEVICES.
    std::vector<std::string> locations;
    // The bound was reached; later answers were not read.
    bool full = false;
    // Why the search could not be sent; empty when it was.
    std::string error;
};

// Searches for Internet gateways for at most i_delayMs.
SearchResult Search(int i_delayMs);
}
