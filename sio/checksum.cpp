// The SIO checksum.
#include "sio/checksum.h"

std::uint8_t sioChecksum(const std::uint8_t* data, std::size_t length) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < length; ++i) {
        sum += data[i];
        sum = (sum & 0xFF) + (sum >> 8);
    }
    return static_cast<std::uint8_t>(sum);
}
