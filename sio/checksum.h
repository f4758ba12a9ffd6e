// The SIO checksum: an 8-bit sum with end-around carry, closing every frame on the bus.
#pragma once

#include <cstddef>
#include <cstdint>

std::uint8_t sioChecksum(const std::uint8_t* data, std::size_t length);
