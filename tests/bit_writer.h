// Writes header fields most significant bit first, the way an encoder or a muxer does, so tests
// can build codec headers field by field.
#pragma once

#include <cstdint>
#include <vector>

namespace vmx::test {

// Writes syntax elements most significant bit first, the way an encoder does.
class BitWriter {
public:
    void U(int n, std::uint64_t value)
    {
        for (int i = n - 1; i >= 0; --i)
            bits_.push_back((value >> i) & 1);
    }
    void UE(std::uint64_t value)
    {
        int length = 0;
        while ((value + 1) >> length)
            ++length;
        U(length - 1, 0);
        U(length, value + 1);
    }
    void SE(std::int64_t value) { UE(value > 0 ? 2 * value - 1 : -2 * value); }
    // The bits as they stand, zero-padded to a whole byte.
    std::vector<std::uint8_t> Bytes() const
    {
        std::vector<std::uint8_t> bytes((bits_.size() + 7) / 8);
        for (std::size_t i = 0; i < bits_.size(); ++i)
            bytes[i / 8] = static_cast<std::uint8_t>(bytes[i / 8] | bits_[i] << (7 - i % 8));
        return bytes;
    }
    // The RBSP as a NAL unit would carry it: stop bit, zero padding, emulation prevention.
    std::vector<std::uint8_t> Nal()
    {
        U(1, 1);
        while (bits_.size() % 8)
            bits_.push_back(false);
        std::vector<std::uint8_t> nal;
        int zeros = 0;
        for (std::size_t i = 0; i < bits_.size(); i += 8) {
            std::uint8_t byte = 0;
            for (int j = 0; j < 8; ++j)
                byte = static_cast<std::uint8_t>(byte << 1 | bits_[i + j]);
            if (zeros >= 2 && byte <= 3) {
                nal.push_back(3);
                zeros = 0;
            }
            nal.push_back(byte);
            zeros = byte == 0 ? zeros + 1 : 0;
        }
        return nal;
    }

private:
    std::vector<bool> bits_;
};

}  // namespace vmx::test
