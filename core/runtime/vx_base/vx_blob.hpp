// C++ helpers for core units: zero-filled object allocation and state-blob field I/O.
// Restoring reads every field into locals first, validates, and only then assigns, so a
// rejected blob leaves the object unchanged.
#pragma once

#include "vx_base.h"

#include <cstdint>
#include <cstring>
#include <type_traits>

namespace vx {

// One zero-filled heap object (the core's object model); free with vx_free.
template <class T> T *alloc_object()
{
    static_assert(std::is_trivially_copyable_v<T>);
    return static_cast<T *>(vx_calloc(1, sizeof(T)));
}

// Sequential writer of a blob: header first, then fields at their natural width.
class BlobWriter {
  public:
    BlobWriter(void *blob, uint32_t magic, uint16_t version, uint64_t size)
        : p_(static_cast<uint8_t *>(blob) + VX_STATE_HEADER_BYTES)
    {
        vx_state_write_header(blob, magic, version, size);
    }
    template <class T> BlobWriter &put(const T &v)
    {
        static_assert(std::is_trivially_copyable_v<T>);
        std::memcpy(p_, &v, sizeof(T));
        p_ += sizeof(T);
        return *this;
    }
    BlobWriter &put_bytes(const void *src, size_t n)
    {
        if (n)
            std::memcpy(p_, src, n);
        p_ += n;
        return *this;
    }
    BlobWriter &zeros(size_t n)
    {
        std::memset(p_, 0, n);
        p_ += n;
        return *this;
    }
    uint8_t *cursor() const { return p_; }

  private:
    uint8_t *p_;
};

// Sequential reader of a blob's payload; construct only after the header was checked.
class BlobReader {
  public:
    explicit BlobReader(const void *blob)
        : p_(static_cast<const uint8_t *>(blob) + VX_STATE_HEADER_BYTES)
    {
    }
    template <class T> T get()
    {
        static_assert(std::is_trivially_copyable_v<T>);
        T v;
        std::memcpy(&v, p_, sizeof(T));
        p_ += sizeof(T);
        return v;
    }
    template <class T> BlobReader &get(T &v)
    {
        v = get<T>();
        return *this;
    }
    BlobReader &get_bytes(void *dst, size_t n)
    {
        if (n)
            std::memcpy(dst, p_, n);
        p_ += n;
        return *this;
    }
    BlobReader &skip(size_t n)
    {
        p_ += n;
        return *this;
    }
    const uint8_t *cursor() const { return p_; }

  private:
    const uint8_t *p_;
};

// Checks for restored fields that later index, count or divide.
inline bool is_flag(uint32_t v) { return v <= 1; }
template <class T> bool below(T v, T limit) { return v < limit; }

}  // namespace vx
