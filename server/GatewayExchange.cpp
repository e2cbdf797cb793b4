#include "GatewayExchange.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>

namespace gateway
{
namespace
{
using Clock = std::chrono::steady_clock;

const char* const SSDP_GROUP = "239.255.255.250";
const unsigned short SSDP_PORT = 1900;
const char* const SEARCH_TARGETS[] = {
    "urn:schemas-upnp-org:device:InternetGatewayDevice:1",
    "urn:schemas-upnp-org:device:InternetGatewayDevice:2",
    "urn:schemas-upnp-org:service:WANIPConnection:1",
    "urn:schemas-upnp-org:service:WANPPPConnection:1",
};
// Longer locations are no honest device's (miniupnpc keeps URLs of 128).
const std::size_t MAX_URL_BYTES = 256;
// The size line of one chunk of a chunked answer.
const std::size_t MAX_CHUNK_LINE_BYTES = 1024;

const char* const TOO_LARGE = "its answer is larger than 1 MiB";
const char* const HEADER_TOO_LONG = "its answer's header is longer than 16 KiB";
const char* const TOO_SLOW = "it did not complete its answer within 10 s";
const char* const CLOSED_EARLY = "it closed the connection before its answer was complete";
const char* const MALFORMED = "its answer is not well-formed HTTP";

class Socket
{
public:
    explicit Socket(int i_fd)
        : m_fd(i_fd)
    {
    }
    ~Socket()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int Fd() const { return m_fd; }

private:
    int m_fd;
};

// Waits until the socket is ready for i_events; false once the deadline has passed.
bool WaitFor(int i_fd, short i_events, Clock::time_point i_deadline)
{
    for (;;)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(i_deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        pollfd ready{i_fd, i_events, 0};
        const int n = ::poll(&ready, 1, int(left));
        if (n > 0)
            return true;   // ready, or an error that the next call reports
        if (n < 0 && errno != EINTR)
            return false;
    }
}

std::string ErrorText(int i_errno)
{
    return std::strerror(i_errno);
}

bool StartsWithNoCase(const std::string& i_text, const char* ip_prefix)
{
    const std::size_t size = std::strlen(ip_prefix);
    return i_text.size() >= size && strncasecmp(i_text.c_str(), ip_prefix, size) == 0;
}

std::string Trimmed(const std::string& i_text)
{
    const std::size_t first = i_text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return std::string();
    return i_text.substr(first, i_text.find_last_not_of(" \t\r") - first + 1);
}

// Text that goes into a request line as it is.
bool IsPrintable(const std::string& i_text)
{
    return std::all_of(i_text.begin(), i_text.end(), [](unsigned char c) { return c > 0x20 && c < 0x7f; });
}

// Text that also goes into a quoted header and an XML attribute as it is.
bool IsPlainToken(const std::string& i_text)
{
    return IsPrintable(i_text) && i_text.find_first_of("\"<>&") == std::string::npos;
}

struct Url
{
    sockaddr_in address{};
    std::string hostPort;
    std::string path;
};

// Only http:// with an IPv4 address: a name would need a lookup that no
// bound holds, and the mappings are IPv4 anyway. Never this machine's own
// loopback (0.0.0.0 reaches it too): a device is another machine, and what
// it names must not reach the client's local services.
bool ParseUrl(const std::string& i_url, Url& o_url)
{
    const char* const scheme = "http://";
    const std::size_t hostStart = std::strlen(scheme);
    if (i_url.size() > MAX_URL_BYTES || !StartsWithNoCase(i_url, scheme) || !IsPrintable(i_url))
        return false;
    const std::size_t pathStart = std::min(i_url.find('/', hostStart), i_url.size());
    const std::string hostPort = i_url.substr(hostStart, pathStart - hostStart);
    const std::size_t colon = hostPort.find(':');
    unsigned long port = 80;
    if (colon != std::string::npos)
    {
        const std::string digits = hostPort.substr(colon + 1);
        if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
            return false;
        port = std::stoul(digits);
        if (port == 0 || port > 65535)
            return false;
    }
    const std::string host = hostPort.substr(0, colon);
    o_url.address = sockaddr_in{};
    o_url.address.sin_family = AF_INET;
    o_url.address.sin_port = htons(static_cast<unsigned short>(port));
    if (::inet_pton(AF_INET, host.c_str(), &o_url.address.sin_addr) != 1)
        return false;
    const std::uint32_t network = ntohl(o_url.address.sin_addr.s_addr) >> 24;
    if (network == 0 || network == 127)
        return false;
    o_url.hostPort = host + ':' + std::to_string(port);
    o_url.path = pathStart < i_url.size() ? i_url.substr(pathStart) : std::string("/");
    return true;
}

// Reads one HTTP answer as it arrives: its header, then a body framed by
// Content-Length, by chunks or by the end of the connection. Every byte
// received counts against the bounds, so the work done per byte is constant.
class AnswerReader
{
public:
    explicit AnswerReader(Answer& o_answer)
        : m_answer(o_answer)
    {
    }

    // True once the answer is complete or given up.
    bool Feed(const char* ip_data, std::size_t i_size)
    {
        m_received += i_size;
        if (m_received > MAX_HEADER_BYTES + MAX_BODY_BYTES)
            return Finish(Answer::Outcome::OverBound, TOO_LARGE);
        m_pending.append(ip_data, i_size);
        return m_inBody ? ReadBody() : ReadHeader();
    }

    // The other side closed the connection.
    bool End()
    {
        if (m_inBody && m_framing == Framing::UntilClosed)
            return Finish(Answer::Outcome::Complete, "");
        return Finish(Answer::Outcome::Failed, CLOSED_EARLY);
    }

private:
    enum class Framing
    {
        Length,
        Chunked,
        UntilClosed,
    };

    bool Finish(Answer::Outcome i_outcome, const char* ip_problem)
    {
        m_answer.outcome = i_outcome;
        m_answer.problem = ip_problem;
        return true;
    }

    bool ReadHeader()
    {
        for (;;)
        {
            const std::size_t end = m_pending.find('\n', std::max(m_lineStart, m_searched));
            if (end == std::string::npos || end >= MAX_HEADER_BYTES)
            {
                m_searched = m_pending.size();
                if (m_pending.size() > MAX_HEADER_BYTES)
                    return Finish(Answer::Outcome::OverBound, HEADER_TOO_LONG);
                return false;
            }
            const std::string line = Trimmed(m_pending.substr(m_lineStart, end - m_lineStart));
            m_lineStart = end + 1;
            if (m_answer.status == 0)
            {
                // "HTTP/1.1 200 OK"
                const std::size_t space = line.find(' ');
                if (!StartsWithNoCase(line, "HTTP/") || space == std::string::npos || line.size() < space + 4)
                    return Finish(Answer::Outcome::Failed, MALFORMED);
                const std::string code = line.substr(space + 1, 3);
                if (code.find_first_not_of("0123456789") != std::string::npos || code[0] == '0')
                    return Finish(Answer::Outcome::Failed, MALFORMED);
                m_answer.status = std::stoi(code);
            }
            else if (line.empty())
            {
                m_pending.erase(0, m_lineStart);
                m_inBody = true;
                return ReadBody();
            }
            else if (!ReadHeaderLine(line))
                return true;
        }
    }

    // False when the answer is finished by this line.
    bool ReadHeaderLine(const std::string& i_line)
    {
        const std::size_t colon = i_line.find(':');
        if (colon == std::string::npos)
            return true;
        const std::string name = i_line.substr(0, colon);
        const std::string value = Trimmed(i_line.substr(colon + 1));
        if (strcasecmp(name.c_str(), "Transfer-Encoding") == 0 && strcasestr(value.c_str(), "chunked"))
            m_framing = Framing::Chunked;
        else if (strcasecmp(name.c_str(), "Content-Length") == 0 && m_framing != Framing::Chunked)
        {
            if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos)
                return !Finish(Answer::Outcome::Failed, MALFORMED);
            if (value.size() > 9 || std::stoul(value) > MAX_BODY_BYTES)
                return !Finish(Answer::Outcome::OverBound, TOO_LARGE);
            m_framing = Framing::Length;
            m_length = std::stoul(value);
        }
        return true;
    }

    bool ReadBody()
    {
        std::string& body = m_answer.body;
        if (m_framing == Framing::Chunked)
            return ReadChunks();
        body.append(m_pending);
        m_pending.clear();
        if (body.size() > MAX_BODY_BYTES)
            return Finish(Answer::Outcome::OverBound, TOO_LARGE);
        if (m_framing == Framing::Length && body.size() >= m_length)
        {
            body.resize(m_length);
            return Finish(Answer::Outcome::Complete, "");
        }
        return false;
    }

    bool ReadChunks()
    {
        std::size_t at = 0;
        bool done = false;
        while (!done)
        {
            if (m_chunkLeft > 0)
            {
                const std::size_t take = std::min(m_chunkLeft, m_pending.size() - at);
                m_answer.body.append(m_pending, at, take);
                at += take;
                m_chunkLeft -= take;
                if (m_chunkLeft > 0)
                    break;
                m_chunkEnded = true;
            }
            const std::size_t end = m_pending.find('\n', at);
            if (end == std::string::npos)
            {
                if (m_pending.size() - at > MAX_CHUNK_LINE_BYTES)
                    return Finish(Answer::Outcome::Failed, MALFORMED);
                break;
            }
            const std::string line = Trimmed(m_pending.substr(at, end - at));
            at = end + 1;
            if (m_chunkEnded)
            {
                // The line break that closes a chunk's data.
                if (!line.empty())
                    return Finish(Answer::Outcome::Failed, MALFORMED);
                m_chunkEnded = false;
                continue;
            }
            const std::string size = line.substr(0, line.find(';'));
            if (size.empty() || size.size() > 8 || size.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                return Finish(Answer::Outcome::Failed, MALFORMED);
            m_chunkLeft = std::stoul(size, nullptr, 16);
            // The last chunk; trailers are not read.
            done = m_chunkLeft == 0;
        }
        m_pending.erase(0, at);
        if (m_answer.body.size() + m_chunkLeft > MAX_BODY_BYTES)
            return Finish(Answer::Outcome::OverBound, TOO_LARGE);
        return done ? Finish(Answer::Outcome::Complete, "") : false;
    }

    Answer& m_answer;
    std::size_t m_received = 0;
    // Bytes received and not yet taken into the header or the body.
    std::string m_pending;
    std::size_t m_lineStart = 0;
    std::size_t m_searched = 0;
    bool m_inBody = false;
    Framing m_framing = Framing::UntilClosed;
    std::size_t m_length = 0;
    std::size_t m_chunkLeft = 0;
    bool m_chunkEnded = false;
};

Answer Exchange(const std::string& i_url, const std::string& i_method, const std::string& i_headers,
                const std::string& i_body)
{
    Answer answer;
    Url url;
    if (!ParseUrl(i_url, url))
    {
        answer.problem = "its URL is not http:// with the IPv4 address of another machine";
        return answer;
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(EXCHANGE_MS);
    Socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const int fd = socket.Fd();
    if (fd < 0)
    {
        answer.problem = "no socket could be made (" + ErrorText(errno) + ")";
        return answer;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&url.address), sizeof url.address) != 0)
    {
        int error = errno;
        if (error == EINPROGRESS)
        {
            if (!WaitFor(fd, POLLOUT, deadline))
            {
                answer.outcome = Answer::Outcome::OverBound;
                answer.problem = TOO_SLOW;
                return answer;
            }
            socklen_t size = sizeof error;
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
                error = errno;
        }
        if (error != 0)
        {
            answer.problem = "it could not be reached (" + ErrorText(error) + ")";
            return answer;
        }
    }
    sockaddr_in local{};
    socklen_t localSize = sizeof local;
    char localText[INET_ADDRSTRLEN] = {};
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize) == 0 &&
        ::inet_ntop(AF_INET, &local.sin_addr, localText, sizeof localText))
        answer.localAddress = localText;

    const std::string request = i_method + ' ' + url.path + " HTTP/1.1\r\nHost: " + url.hostPort +
                                "\r\n" + i_headers + "Connection: close\r\n\r\n" + i_body;
    std::size_t sent = 0;
    while (sent < request.size())
    {
        if (!WaitFor(fd, POLLOUT, deadline))
        {
            answer.outcome = Answer::Outcome::OverBound;
            answer.problem = TOO_SLOW;
            return answer;
        }
        const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EINTR)
        {
            answer.problem = "it closed the connection (" + ErrorText(errno) + ")";
            return answer;
        }
        sent += n > 0 ? std::size_t(n) : 0;
    }

    AnswerReader reader(answer);
    char buffer[16384];
    for (;;)
    {
        if (!WaitFor(fd, POLLIN, deadline))
        {
            answer.outcome = Answer::Outcome::OverBound;
            answer.problem = TOO_SLOW;
            return answer;
        }
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (n < 0)
        {
            answer.problem = "the connection broke (" + ErrorText(errno) + ")";
            return answer;
        }
        if (n == 0 ? reader.End() : reader.Feed(buffer, std::size_t(n)))
            return answer;
    }
}

// The LOCATION of an answer to the search, or nothing.
std::string LocationOf(const std::string& i_packet)
{
    if (!StartsWithNoCase(i_packet, "HTTP/"))
        return std::string();
    std::size_t start = i_packet.find('\n');
    while (start != std::string::npos)
    {
        const std::size_t end = i_packet.find('\n', start + 1);
        const std::string line = i_packet.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
        if (StartsWithNoCase(line, "LOCATION:"))
            return Trimmed(line.substr(std::strlen("LOCATION:")));
        start = end;
    }
    return std::string();
}
}

bool SameHost(const std::string& i_url, const std::string& i_other)
{
    Url url;
    Url other;
    return ParseUrl(i_url, url) && ParseUrl(i_other, other) &&
           url.address.sin_addr.s_addr == other.address.sin_addr.s_addr;
}

Answer Get(const std::string& i_url)
{
    Answer answer = Exchange(i_url, "GET", "User-Agent: Tavrinel\r\n", std::string());
    if (answer.outcome == Answer::Outcome::Complete && answer.status != 200)
    {
        answer.outcome = Answer::Outcome::Failed;
        answer.problem = "it answered with HTTP status " + std::to_string(answer.status);
    }
    return answer;
}

Answer CallSoap(const std::string& i_controlUrl, const std::string& i_serviceType, const std::string& i_action,
                const std::vector<std::pair<std::string, std::string>>& i_arguments)
{
    if (!IsPlainToken(i_serviceType) || !IsPlainToken(i_action))
    {
        Answer answer;
        answer.problem = "its service type is not plain text";
        return answer;
    }
    std::string envelope = "<?xml version=\"1.0\"?>\r\n"
                           "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                           "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body><u:" +
                           i_action + " xmlns:u=\"" + i_serviceType + "\">";
    for (const auto& argument : i_arguments)
        envelope += '<' + argument.first + '>' + argument.second + "</" + argument.first + '>';
    envelope += "</u:" + i_action + "></s:Body></s:Envelope>\r\n";
    const std::string headers = "User-Agent: Tavrinel\r\nContent-Type: text/xml; charset=\"utf-8\"\r\n"
                                "Content-Length: " + std::to_string(envelope.size()) + "\r\n"
                                "SOAPAction: \"" + i_serviceType + '#' + i_action + "\"\r\n"
                                "Cache-Control: no-cache\r\nPragma: no-cache\r\n";
    return Exchange(i_controlUrl, "POST", headers, envelope);
}

SearchResult Search(int i_delayMs)
{
    SearchResult result;
    Socket socket(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const int fd = socket.Fd();
    if (fd < 0)
    {
        result.error = ErrorText(errno);
        return result;
    }
    // As far as the routers of the local network, no further.
    const unsigned char ttl = 2;
    ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(SSDP_PORT);
    ::inet_pton(AF_INET, SSDP_GROUP, &group.sin_addr);

    const int waitSeconds = std::clamp(i_delayMs / 1000, 1, 5);
    int sent = 0;
    for (const char* target : SEARCH_TARGETS)
    {
        const std::string request = std::string("M-SEARCH * HTTP/1.1\r\nHOST: ") + SSDP_GROUP + ':' +
                                    std::to_string(SSDP_PORT) + "\r\nST: " + target +
                                    "\r\nMAN: \"ssdp:discover\"\r\nMX: " + std::to_string(waitSeconds) + "\r\n\r\n";
        if (::sendto(fd, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&group), sizeof group) ==
            ssize_t(request.size()))
            ++sent;
        else
            result.error = ErrorText(errno);
    }
    if (sent == 0)
        return result;
    result.error.clear();

    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(i_delayMs);
    char packet[2048];
    while (result.locations.size() < MAX_DEVICES && WaitFor(fd, POLLIN, deadline))
    {
        const ssize_t n = ::recv(fd, packet, sizeof packet, 0);
        if (n <= 0)
            continue;
        const std::string location = LocationOf(std::string(packet, std::size_t(n)));
        Url url;
        if (ParseUrl(location, url) &&
            std::find(result.locations.begin(), result.locations.end(), location) == result.locations.end())
            result.locations.push_back(location);
    }
    result.full = result.locations.size() >= MAX_DEVICES;
    return result;
}
}
