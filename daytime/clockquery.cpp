// clockquery: ask a host's UDP daytime service for the time of day.

#include <cstdint>
#include <cstdio>
#include <cstring>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "util.h"

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
	if (flushed(0) != 0)
		return 1;

	// Never a standard descriptor, or the reply line would go into it.
	const int sockfd = above_standard(socket(AF_INET, SOCK_DGRAM, 0));
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
	// No line end of its own: the reply carries one, if any.
	std::printf("read %d bytes: %.*s", result, result, buffer);
	close(sockfd);
	return flushed(0);
}
