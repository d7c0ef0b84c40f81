#pragma once
// Socket failures carry the WinSock error numbers in every text the program
// writes, so that messages read the same on every platform.

namespace hbt {

inline constexpr int kWsaWouldBlock = 10035;
inline constexpr int kWsaConnReset = 10054;
inline constexpr int kWsaTimedOut = 10060;
inline constexpr int kWsaConnRefused = 10061;

// The WinSock number of the calling thread's last socket failure (errno).
int LastSocketError();
// The WinSock number for one errno value; an errno without a WinSock
// counterpart is returned unchanged.
int WinSockErrorFromErrno(int errnoValue);

}  // namespace hbt
