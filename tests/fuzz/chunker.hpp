// How a fuzz input is cut before it is fed: the first input byte seeds the
// chunk sizes, 0 feeds everything at once.
#pragma once

#include <cstddef>
#include <cstdint>

class Chunker {
public:
    explicit Chunker(std::uint8_t seed) : state_(seed * 2654435761u + 1), maxChunk_(seed * 8u) {}

    std::size_t next(std::size_t remaining)
    {
        if (maxChunk_ == 0)
            return remaining;
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        const std::size_t n = 1 + state_ % maxChunk_;
        return n < remaining ? n : remaining;
    }

private:
    std::uint32_t state_;
    std::uint32_t maxChunk_;
};
