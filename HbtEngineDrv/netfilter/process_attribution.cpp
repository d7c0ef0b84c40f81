#include "HbtEngineDrv/netfilter/process_attribution.h"

#include <string>
#include <vector>

namespace hbt {
namespace {

SocketAddressSlot Slot(bool ipv6, const std::array<uint8_t, 16>& address, uint16_t port) {
    if (ipv6) return SocketAddressSlot::Ipv6(address, port);
    return SocketAddressSlot::Ipv4({address[0], address[1], address[2], address[3]}, port);
}

// The user as a binary security identifier of the Unix-user kind, S-1-22-1-<uid>.
std::vector<uint8_t> UnixUserSid(uint32_t uid) {
    std::vector<uint8_t> sid = {1, 2, 0, 0, 0, 0, 0, 22, 1, 0, 0, 0};
    for (int i = 0; i < 4; ++i) sid.push_back(static_cast<uint8_t>(uid >> (8 * i)));
    return sid;
}

// UTF-8 to UTF-16; a malformed sequence ends the text.
std::u16string Utf16(const std::string& text) {
    std::u16string out;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
        if (i + extra >= text.size() && extra != 0) break;
        uint32_t cp = extra == 0 ? lead : lead & (0x3F >> extra);
        for (std::size_t k = 1; k <= extra; ++k) cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        i += extra + 1;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
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
    info.applicationId = Utf16(processes_.ExecutablePath(pid));
    return info;
}

}  // namespace hbt
