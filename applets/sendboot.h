// The boot announcement of sendboot: what goes on the wire and how the
// command line is read.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace applets::sendboot {

inline constexpr int kCount = 20;
inline constexpr std::size_t kDatagramLen = 64;

// "Device booting !", a NUL, zero bytes up to 64.
std::array<std::uint8_t, kDatagramLen> Datagram();

// A port given on the command line: decimal digits only, 1 to 65535.
std::optional<std::uint16_t> ParsePort(std::string_view text);

}  // namespace applets::sendboot
