// clockquery: ask a host's UDP daytime service for the time of day.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
	const char *host = argc > 1 ? argv[1] : "localhost";

	// The host is looked up first, so a host that does not resolve is
	// reported even when the service is missing too.
	const hostent *hostinfo = gethostbyname(host);
	if (hostinfo == nullptr) {
		std::fprintf(stderr, "no host: %s\n", host);
		return 1;
	}
	const servent *servinfo = getservbyname("daytime", "udp");
	if (servinfo == nullptr) {
		std::fputs("no daytime service\n", stderr);
		return 1;
	}
	// s_port holds the port in network byte order in an int.
	const auto port = static_cast<std::uint16_t>(servinfo->s_port);
	std::printf("daytime port is %d\n", ntohs(port));
	// The wait for the reply may be ended by a signal, as timeout(1) ends
	// it: the line must be out before then.
	if (std::fflush(stdout) == EOF || std::ferror(stdout)) {
		std::perror("write");
		return 1;
	}

	int sockfd = socket(AF_INET, SOCK_DGRAM, 0);
	// With a standard descriptor closed the socket would take its number,
	// and the reply line would be written into it. At the descriptor limit
	// there is no number above 2 to move to: the kernel says EINVAL, but the
	// cause is the limit.
	if (sockfd != -1 && sockfd <= 2) {
		const int moved = fcntl(sockfd, F_DUPFD, 3);
		const int reason = errno == EINVAL ? EMFILE : errno;
		close(sockfd);
		sockfd = moved;
		errno = reason;
	}
	if (sockfd == -1) {
		std::perror("socket");
		return 1;
	}
	sockaddr_in address{};
	address.sin_family = AF_INET;
	address.sin_port = port;
	std::memcpy(&address.sin_addr, hostinfo->h_addr_list[0], sizeof address.sin_addr);
	socklen_t len = sizeof address;

	// The server answers whatever byte it gets; it gets a zero.
	char buffer[128] = {};
	int result = static_cast<int>(
	        sendto(sockfd, buffer, 1, 0, reinterpret_cast<const sockaddr *>(&address), len));
	if (result == -1) {
		std::perror("sendto");
		return 1;
	}
	// The socket is not connected: the first datagram to reach it is the
	// reply, whoever sent it, and it is waited for without limit.
	result = static_cast<int>(
	        recvfrom(sockfd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&address), &len));
	if (result == -1) {
		std::perror("recvfrom");
		return 1;
	}
	// The reply carries its own line end, if any.
	std::printf("read %d bytes: %.*s", result, result, buffer);
	close(sockfd);
	if (std::fflush(stdout) == EOF || std::ferror(stdout)) {
		std::perror("write");
		return 1;
	}
	return 0;
}
