// The benchmark's limits: the commands of one check (USER, PASS, STAT, UIDL, TOP n 0 for every
// message, QUIT) and nothing else: no parsing beyond finding where each reply ends, no results
// kept. USER, PASS and STAT wait for their replies; then either the TOP commands go ahead in a
// window of 64, or (--all-at-once) UIDL, every TOP and QUIT leave at once from a second
// thread while the first reads the replies, so that neither side waits on a full buffer.
//
//     POSTBELL_PASSWORD=PW pipelined_check [--all-at-once] PORT USER [HOST]
//                                                          prints the message count
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr unsigned Window = 64;

struct Connection {
    int fd = -1;
    std::string in, out;
    std::size_t at = 0;

    void Flush()
    {
        SendAll(fd, out);
        out.clear();
    }

    static void SendAll(int fd, const std::string& bytes)
    {
        for (std::size_t sent = 0; sent < bytes.size();) {
            const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                std::exit(3);
            sent += static_cast<std::size_t>(n);
        }
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
    const bool allAtOnce = argc > 1 && std::string_view(argv[1]) == "--all-at-once";
    argv += allAtOnce;
    argc -= allAtOnce;
    if (argc != 3 && argc != 4)
        return 4;
    Connection c;
    c.fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[1])));
    if (inet_pton(AF_INET, argc == 4 ? argv[3] : "127.0.0.1", &server.sin_addr) != 1)
        return 4;
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
    if (allAtOnce) {
        std::string commands = "UIDL\r\n";
        for (unsigned n = 1; n <= count; ++n)
            commands += "TOP " + std::to_string(n) + " 0\r\n";
        commands += "QUIT\r\n";
        std::thread writer([&c, &commands] { Connection::SendAll(c.fd, commands); });
        for (unsigned reply = 0; reply <= count; ++reply) {
            c.ExpectOk();
            c.SkipBody();
        }
        c.ExpectOk();
        writer.join();
        std::printf("%u\n", count);
        return 0;
    }
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
