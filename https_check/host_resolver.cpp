#include "https_check/host_resolver.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "platform/socket_address.h"
#include "platform/socket_error.h"

namespace hbt {
namespace {

int WinSockErrorFromLookup(int code) {
    switch (code) {
        case EAI_NONAME: return 11001;  // WSAHOST_NOT_FOUND
        case EAI_AGAIN: return 11002;   // WSATRY_AGAIN
        case EAI_FAIL: return 11003;    // WSANO_RECOVERY
#ifdef EAI_NODATA
        case EAI_NODATA: return 11004;  // WSANO_DATA
#endif
#ifdef EAI_ADDRFAMILY
        case EAI_ADDRFAMILY: return 11004;
#endif
        case EAI_FAMILY: return 10047;  // WSAEAFNOSUPPORT
        case EAI_MEMORY: return 8;      // WSA_NOT_ENOUGH_MEMORY
        case EAI_SYSTEM: return LastSocketError();
        default: return 11003;
    }
}

}  // namespace

bool ResolveHostName(const std::string& host, int family, SocketAddressSlot& address, int& error) {
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    const int code = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (code != 0 || found == nullptr) {
        error = WinSockErrorFromLookup(code != 0 ? code : EAI_NONAME);
        return false;
    }
    address = FromNative(found->ai_addr, found->ai_addrlen);
    freeaddrinfo(found);
    return true;
}

}  // namespace hbt
