#include "HbtEngineDrv/netfilter/process_attribution.h"

#include <string>
#include <vector>

#include "text/text_conversion.h"

namespace hbt {
namespace {

SocketAddressSlot Slot(bool ipv6, const std::array<uint8_t, 16>& address, uint16_t port) {
    if (ipv6) return SocketAddressSlot::Ipv6(address, port);
    return SocketAddressSlot::Ipv4({address[0], address[1], address[2], address[3]}, port);
}

// The user as a binary security identifier of the Unix-user kind, S-1-22-1-<uid>.
std::vector<uint8_t> UnixUserSid(uint32_t uid) {
    std::vector<uint8_t> sid = {1, 2, 0, 0, 0, 0, 0, 22, 1, 0, 0, 0, 0, 0, 0, 0};
    for (int i = 0; i < 4; ++i) sid[12 + i] = static_cast<uint8_t>(uid >> (8 * i));  // the uid, little-endian
    return sid;
}

}  // namespace

ClassifyInfo ProcessAttribution::DescribeConnect(const TcpFourTuple& tuple) {
    ClassifyInfo info;
    info.layerId = tuple.ipv6 ? kLayerConnectRedirectV6 : kLayerConnectRedirectV4;
    info.protocol = kProtocolTcp;
    info.local = Slot(tuple.ipv6, tuple.local, tuple.localPort);
    info.remote = Slot(tuple.ipv6, tuple.remote, tuple.remotePort);
    uint32_t pid = 0;
    if (auto owner = sockDiag_.Lookup(tuple)) {
        pid = processes_.ProcessOfSocket(owner->inode);
        info.userSid = UnixUserSid(owner->uid);
    }
    info.processId = pid;
    thread_local std::string executable;  // its room serves every connect of the thread
    processes_.ExecutablePath(pid, executable);
    info.applicationId = Utf8ToUtf16(executable);
    return info;
}

}  // namespace hbt
