#pragma once
// SHA-256 (FIPS 180-4) over a byte range: how the repair names the sectors it replaces and
// the privileged writer checks them. Free of Qt, so that the writer links nothing else.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

using sha256_t = std::array<std::uint8_t, 32>;

sha256_t sha256(const void* data, std::size_t len);

// Lower-case hexadecimal, and back; from_hex is false for anything but exactly 64 digits.
std::string to_hex(const sha256_t& digest);
bool from_hex(const std::string& text, sha256_t* digest);

}  // namespace platform
