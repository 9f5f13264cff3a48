// The benchmark's limit: the commands of one check (USER, PASS, STAT, UIDL, TOP n 0 for every
// message, QUIT) with the TOP commands sent ahead in a window of 64, and nothing else: no
// parsing beyond finding where each reply ends, no results kept.
//
//     POSTBELL_PASSWORD=PW pipelined_check PORT USER      prints the message count
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr unsigned Window = 64;

struct Connection {
    int fd = -1;
    std::string in, out;
    std::size_t at = 0;

    void Flush()
    {
        for (std::size_t sent = 0; sent < out.size();) {
            const ssize_t n = send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                std::exit(3);
            sent += static_cast<std::size_t>(n);
        }
        out.clear();
    }

    // The next line; queued commands go out before the wait for more bytes.
    std::string_view Line()
    {
        for (;;) {
            const std::size_t end = in.find("\r\n", at);
            if (end != std::string::npos) {
                const std::string_view line = std::string_view(in).substr(at, end - at);
                at = end + 2;
                return line;
            }
            in.erase(0, at);
            at = 0;
            Flush();
            char area[65536];
            const ssize_t n = recv(fd, area, sizeof area, 0);
            if (n <= 0)
                std::exit(3);
            const int on = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
            in.append(area, static_cast<std::size_t>(n));
        }
    }

    void ExpectOk()
    {
        if (!Line().starts_with("+OK"))
            std::exit(2);
    }
    void SkipBody()
    {
        while (Line() != ".") {
        }
    }
};

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3)
        return 4;
    Connection c;
    c.fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[1])));
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int on = 1;
    setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (connect(c.fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0)
        return 1;
    const char* password = std::getenv("POSTBELL_PASSWORD");
    c.ExpectOk();
    c.out = std::string("USER ") + argv[2] + "\r\n";
    c.ExpectOk();
    c.out = std::string("PASS ") + (password ? password : "") + "\r\n";
    c.ExpectOk();
    c.out = "STAT\r\n";
    const std::string_view stat = c.Line();
    const unsigned count = stat.starts_with("+OK ") ? static_cast<unsigned>(std::atol(stat.data() + 4)) : 0;
    c.out = "UIDL\r\n";
    c.ExpectOk();
    c.SkipBody();
    unsigned sent = 0;
    for (unsigned done = 0; done < count; ++done) {
        while (sent < count && sent < done + Window)
            c.out += "TOP " + std::to_string(++sent) + " 0\r\n";
        c.ExpectOk();
        c.SkipBody();
    }
    c.out += "QUIT\r\n";
    c.ExpectOk();
    std::printf("%u\n", count);
    return 0;
}
