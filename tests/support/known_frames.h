#pragma once

#include <cstdint>
#include <vector>

// The frames many tests exchange, written once as bytes so that no test takes its expectation from the
// builder it checks: zone 1's alarm from communicator 0, device 1, with the panel disarmed and mains absent,
// and the acknowledgement it is due.
namespace known {

inline constexpr char STATUS_HEX[] = "0C 00 01 00 00 00 02 01 11 00 00 21";
inline const std::vector<std::uint8_t> STATUS{0x0C, 0x00, 0x01, 0x00, 0x00, 0x00,
                                              0x02, 0x01, 0x11, 0x00, 0x00, 0x21};
inline constexpr char STATUS_ACK_HEX[] = "08 00 01 00 00 00 82 8B";
inline const std::vector<std::uint8_t> STATUS_ACK{0x08, 0x00, 0x01, 0x00, 0x00, 0x00, 0x82, 0x8B};

} // namespace known
