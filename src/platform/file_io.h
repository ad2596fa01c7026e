#pragma once
// Whole transfers on a file descriptor: short reads and writes are continued and EINTR
// is retried, so callers see either everything or an error.
#include <cstddef>
#include <cstdint>

// Reads up to `size` bytes at `offset` (or at the file position when `offset` is
// kyCurrentPosition), stopping early only at the end of the file. Returns the bytes read,
// or -1 on an error.
constexpr uint64_t kyCurrentPosition = ~uint64_t(0);
long long kyReadUpTo(int fd, uint64_t offset, void* data, size_t size);

// Exactly `size` bytes, or false.
bool kyReadExactlyAt(int fd, uint64_t offset, void* data, size_t size);
// All of `data` at `offset` (or at the file position), or false.
bool kyWriteAll(int fd, uint64_t offset, const void* data, size_t size);
