// Mirrored ring: one memory file mapped twice over a reserved region.
#include "vx_ring.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include <linux/memfd.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

static_assert(sizeof(vx_ring) == 256);
static_assert(offsetof(vx_ring, head) == 64 && offsetof(vx_ring, closed) == 72);
static_assert(offsetof(vx_ring, tail) == 128 && offsetof(vx_ring, dropped) == 192);

namespace {

constexpr uint64_t TOP_POW2 = uint64_t(1) << 63;

// Mapped element count for n requested elements: the smallest power of two >= n, doubled
// further until the storage fills whole pages (at least one); 0 when no such count exists.
// Whole pages matter only for element sizes that are not powers of two: the second
// mapping must start on a page boundary.
uint64_t mapped_count(uint64_t n, uint64_t elem_size, uint64_t page)
{
    if (n > TOP_POW2)
        return 0;
    uint64_t m = 1;
    while (m < n)
        m <<= 1;
    uint64_t len;
    while (__builtin_mul_overflow(m, elem_size, &len) || len < page || len % page != 0) {
        m <<= 1;
        if (m == 0)
            return 0;
    }
    return m;
}

// Two shared mappings of one memory file of len bytes, back to back over a reserved
// region of 2·len bytes. nullptr on any failure, with nothing left mapped or open.
void *map_twice(uint64_t len)
{
    // Close-on-exec: a child process must not inherit the ring's memory.
    const int fd = static_cast<int>(syscall(SYS_memfd_create, "vx_shm", MFD_CLOEXEC));
    if (fd < 0)
        return nullptr;
    void *region = MAP_FAILED;
    if (ftruncate(fd, static_cast<off_t>(len)) == 0)
        region = mmap(nullptr, 2 * len, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (region != MAP_FAILED) {
        auto *lo = static_cast<char *>(region);
        for (char *half : {lo, lo + len}) {
            if (mmap(half, len, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd, 0) !=
                half) {
                munmap(region, 2 * len);  // also removes a first half already mapped
                region = MAP_FAILED;
                break;
            }
        }
    }
    close(fd);  // the mappings keep the memory alive
    return region == MAP_FAILED ? nullptr : region;
}

// Storage beyond physical memory is refused: the file's pages are only allocated as
// elements are written, so such a ring would map fine and then kill the process when
// memory runs out.
bool fits_in_memory(uint64_t len, uint64_t page)
{
    const long pages = sysconf(_SC_PHYS_PAGES);
    return pages <= 0 || len / page <= static_cast<uint64_t>(pages);
}

}  // namespace

extern "C" {

VX_API vx_ring *vx_ring_create(uint64_t n, uint64_t elem_size)
{
    const long page = sysconf(_SC_PAGESIZE);
    if (n == 0 || elem_size == 0 || page <= 0)
        return nullptr;
    const uint64_t m = mapped_count(n, elem_size, static_cast<uint64_t>(page));
    uint64_t len;
    if (m == 0 || !vx_size_mul(m, elem_size, &len) ||
        !fits_in_memory(len, static_cast<uint64_t>(page)))
        return nullptr;
    void *base = map_twice(len);
    if (!base)
        return nullptr;
    auto *r = static_cast<vx_ring *>(std::aligned_alloc(64, sizeof(vx_ring)));
    if (!r) {
        munmap(base, 2 * len);
        return nullptr;
    }
    std::memset(r, 0, sizeof *r);
    r->base = base;
    r->mask = m - 1;
    r->capacity = n;
    r->elem_size = elem_size;
    return r;
}

VX_API void vx_ring_destroy(vx_ring *r)
{
    if (!r)
        return;
    munmap(r->base, 2 * vx_ring_slots(r) * r->elem_size);
    std::free(r);
}

VX_API int vx_ring_resize(vx_ring **ring, uint64_t n)
{
    if (!ring || !*ring)
        return VX_ERR_INVALID;
    if (n <= (*ring)->capacity)
        return VX_OK;
    vx_ring *fresh = vx_ring_create(n, (*ring)->elem_size);
    if (!fresh)
        return VX_ERR_INVALID;
    vx_ring_destroy(*ring);
    *ring = fresh;
    return VX_OK;
}

}  // extern "C"
