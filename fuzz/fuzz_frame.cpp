// Builds frames from arbitrary images, offsets and block numbers and checks every byte of them,
// with the checksum recomputed here from its definition.
#include "frame.h"

#include <QByteArray>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void require(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// Low byte of |S|, S the sum of the bytes each taken as a value from -128 to 127.
unsigned referenceChecksum(const unsigned char *data, size_t size)
{
    long long sum = 0;
    for (size_t i = 0; i < size; ++i)
        sum += data[i] < 0x80 ? data[i] : static_cast<int>(data[i]) - 256;
    if (sum < 0)
        sum = -sum;
    return static_cast<unsigned>(sum % 256);
}

constexpr size_t kHeader = 9; // offset selector (8 bytes), block number (1 byte)

} // namespace

// Input: 8 bytes choosing the offset, 1 byte block number, then the image.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    require(blockChecksum(QByteArray::fromRawData(reinterpret_cast<const char *>(data),
                                                  static_cast<int>(size))) ==
                referenceChecksum(data, size),
            "checksum of any byte string");
    if (size < kHeader)
        return 0;

    uint64_t selector;
    std::memcpy(&selector, data, sizeof selector);
    const uint8_t block = data[8];
    const unsigned char *imageBytes = data + kHeader;
    const size_t imageSize = size - kHeader;
    const QByteArray image = QByteArray::fromRawData(reinterpret_cast<const char *>(imageBytes),
                                                     static_cast<int>(imageSize));
    // Mostly offsets in and just past the image; with the top bit set, any 64-bit value.
    const qsizetype offset = (selector >> 63)
                                 ? static_cast<qsizetype>(selector)
                                 : static_cast<qsizetype>(selector % (imageSize + 2 * 128 + 1));

    const QByteArray frame = buildFrame(image, offset, block);
    require(frame.size() == 132, "frame size 132");
    const auto *f = reinterpret_cast<const unsigned char *>(frame.constData());
    require(f[0] == 0x01, "byte 0 is SOH");
    require(f[1] == block, "byte 1 is the block number");
    require(f[2] == 255 - f[1], "byte 2 is 255 - block number");
    // The transfer never builds a frame at a negative offset; there only memory safety counts.
    if (offset >= 0) {
        for (size_t i = 0; i < 128; ++i) {
            const uint64_t pos = static_cast<uint64_t>(offset) + i;
            const unsigned expected = pos < imageSize ? imageBytes[pos] : 0x1A;
            require(f[3 + i] == expected, "data byte is the image byte, or 0x1A past its end");
        }
    }
    require(f[131] == referenceChecksum(f + 3, 128), "byte 131 is the checksum of the data");
    return 0;
}
