#pragma once
// Values the links and their owners share: the link state and the Ethernet
// protocol.
#include <cstdint>

// Link states shown by the main window and reported by the Ethernet link.
constexpr std::uint8_t LinkDisconnected = 0;
constexpr std::uint8_t LinkConnecting = 1;
constexpr std::uint8_t LinkConnected = 2;
constexpr std::uint8_t LinkDisconnecting = 255;

// Link kind and protocol values.
constexpr std::uint8_t KindSerial = 0;
constexpr std::uint8_t KindEthernet = 1;
constexpr std::uint8_t ProtocolTCP = 0;
constexpr std::uint8_t ProtocolUDP = 1;
