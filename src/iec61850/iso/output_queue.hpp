// Bytes waiting for the socket: appended at the back, taken from the front.
#pragma once

#include "iec61850/ber/ber.hpp"

#include <cstdint>

namespace iec61850::iso {

// Taking bytes only moves a mark; the taken part is dropped once it is at
// least as long as what is left, so each byte is moved at most once on
// average and sending costs time linear in what is sent.
class OutputQueue {
public:
    void append(ByteView bytes) { bytes_.insert(bytes_.end(), bytes.begin(), bytes.end()); }
    ByteView pending() const { return ByteView(bytes_).subspan(head_); }
    std::size_t size() const { return bytes_.size() - head_; }
    bool empty() const { return size() == 0; }

    // Drops the first n pending bytes (n <= size()), e.g. once a socket took them.
    void consume(std::size_t n);
    void clear() { consume(size()); }
    // The pending bytes; the queue is empty afterwards.
    Bytes take();

    // Positions in the stream of everything ever appended: bytes taken so far,
    // and where the last byte appended ends.
    std::uint64_t consumedTotal() const { return consumed_; }
    std::uint64_t appendedTotal() const { return consumed_ + size(); }

private:
    static constexpr std::size_t kKeptCapacity = 64 * 1024;  // an idle queue holds no more

    Bytes bytes_;
    std::size_t head_ = 0;
    std::uint64_t consumed_ = 0;
};

inline void OutputQueue::consume(std::size_t n)
{
    head_ += n;
    consumed_ += n;
    if (head_ == bytes_.size()) {
        if (bytes_.capacity() > kKeptCapacity)
            Bytes().swap(bytes_);
        bytes_.clear();
        head_ = 0;
    } else if (head_ >= bytes_.size() - head_) {
        bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
}

inline Bytes OutputQueue::take()
{
    Bytes pending(bytes_.begin() + static_cast<std::ptrdiff_t>(head_), bytes_.end());
    clear();
    return pending;
}

}  // namespace iec61850::iso
