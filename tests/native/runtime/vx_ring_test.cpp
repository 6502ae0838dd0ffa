#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "vx_ring.h"

// Failure injection: this binary's mmap and ftruncate stand in for the C library's (the
// shared library resolves them here), failing the k-th call when armed.
namespace {
int fail_mmap_at = 0, mmap_calls = 0;
bool fail_ftruncate = false;
int ftruncate_cloexec = -1;  // FD_CLOEXEC of the descriptor last seen by ftruncate
}  // namespace

extern "C" VX_API void *mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off) noexcept
{
    using fn = void *(*)(void *, size_t, int, int, int, off_t);
    static const fn real = reinterpret_cast<fn>(dlsym(RTLD_NEXT, "mmap"));
    if (fail_mmap_at && ++mmap_calls == fail_mmap_at) {
        errno = ENOMEM;
        return MAP_FAILED;
    }
    return real(addr, len, prot, flags, fd, off);
}

extern "C" VX_API int ftruncate(int fd, off_t len) noexcept
{
    using fn = int (*)(int, off_t);
    static const fn real = reinterpret_cast<fn>(dlsym(RTLD_NEXT, "ftruncate"));
    ftruncate_cloexec = fcntl(fd, F_GETFD) & FD_CLOEXEC;
    if (fail_ftruncate) {
        errno = EFBIG;
        return -1;
    }
    return real(fd, len);
}

namespace {

// Mappings of the ring's memory file in this process.
int shm_mappings()
{
    std::ifstream maps("/proc/self/maps");
    int n = 0;
    for (std::string line; std::getline(maps, line);)
        n += line.find("/memfd:vx_shm") != std::string::npos;
    return n;
}

int open_fds()
{
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (readdir(d))
            ++n;
        closedir(d);
    }
    return n;
}

const uint64_t PAGE = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));

}  // namespace

TEST(Ring, SmallRequestMapsOnePageTwice)
{
    const int before = shm_mappings();
    vx_ring *r = vx_ring_create(1, 16);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->capacity, 1u);
    EXPECT_EQ(vx_ring_slots(r), PAGE / 16);  // 256 slots on a 4 KiB page
    EXPECT_EQ(r->head | r->tail | r->dropped | r->closed, 0u);
    EXPECT_EQ(shm_mappings(), before + 2);
    EXPECT_EQ(ftruncate_cloexec, FD_CLOEXEC);
    // The second mapping is the same memory as the first.
    auto *p = static_cast<uint8_t *>(r->base);
    p[5] = 0xA5;
    EXPECT_EQ(p[PAGE + 5], 0xA5);
    p[2 * PAGE - 1] = 0x3C;
    EXPECT_EQ(p[PAGE - 1], 0x3C);
    vx_ring_destroy(r);
    EXPECT_EQ(shm_mappings(), before);
    vx_ring_destroy(nullptr);
}

TEST(Ring, SlotCountIsAPowerOfTwoCoveringTheRequest)
{
    struct Case { uint64_t n, size, slots; } cases[] = {
        {1000, 8, 1024}, {1024, 8, 1024}, {1025, 4, 2048}, {3, 16, PAGE / 16},
        {PAGE, 1, PAGE}, {PAGE + 1, 1, 2 * PAGE},
        {5, 3000, 512}};  // sizes that are not powers of two still map whole pages
    for (const Case &c : cases) {
        vx_ring *r = vx_ring_create(c.n, c.size);
        ASSERT_NE(r, nullptr) << c.n;
        EXPECT_EQ(vx_ring_slots(r), c.slots) << c.n << " x " << c.size;
        EXPECT_EQ(r->capacity, c.n);
        vx_ring_destroy(r);
    }
}

TEST(Ring, RefusesImpossibleRequests)
{
    const int before = shm_mappings(), fds = open_fds();
    EXPECT_EQ(vx_ring_create(0, 16), nullptr);
    EXPECT_EQ(vx_ring_create(16, 0), nullptr);
    EXPECT_EQ(vx_ring_create((uint64_t(1) << 63) + 1, 1), nullptr);  // no power of two
    EXPECT_EQ(vx_ring_create(uint64_t(1) << 63, 16), nullptr);       // bytes overflow
    EXPECT_EQ(vx_ring_create(UINT64_MAX, 16), nullptr);
    EXPECT_EQ(vx_ring_create((VX_SIZE_LIMIT >> 4) + 1, 16), nullptr); // beyond the size limit
    const uint64_t ram = static_cast<uint64_t>(sysconf(_SC_PHYS_PAGES)) * PAGE;
    EXPECT_EQ(vx_ring_create(ram / 8, 16), nullptr);  // twice the physical memory
    EXPECT_EQ(shm_mappings(), before);
    EXPECT_EQ(open_fds(), fds);
}

TEST(Ring, NothingStaysMappedOrOpenWhenASystemCallFails)
{
    const int before = shm_mappings(), fds = open_fds();
    fail_ftruncate = true;
    EXPECT_EQ(vx_ring_create(64, 16), nullptr);
    fail_ftruncate = false;
    // The reservation, then the first, then the second fixed mapping fails.
    for (int k = 1; k <= 3; ++k) {
        mmap_calls = 0;
        fail_mmap_at = k;
        EXPECT_EQ(vx_ring_create(64, 16), nullptr) << "mmap call " << k;
        EXPECT_EQ(mmap_calls, k);
        fail_mmap_at = 0;
        EXPECT_EQ(shm_mappings(), before) << "mmap call " << k;
        EXPECT_EQ(open_fds(), fds) << "mmap call " << k;
    }
    vx_ring *r = vx_ring_create(64, 16);  // and the next attempt works
    ASSERT_NE(r, nullptr);
    // A failed resize keeps the old ring and its contents.
    static_cast<uint8_t *>(r->base)[0] = 7;
    vx_ring *old = r;
    mmap_calls = 0;
    fail_mmap_at = 2;
    EXPECT_EQ(vx_ring_resize(&r, 10000), VX_ERR_INVALID);
    fail_mmap_at = 0;
    EXPECT_EQ(r, old);
    EXPECT_EQ(static_cast<uint8_t *>(r->base)[0], 7);
    EXPECT_EQ(shm_mappings(), before + 2);
    vx_ring_destroy(r);
}

TEST(Ring, RunAcrossThePhysicalEndIsOneContiguousSpan)
{
    vx_ring *r = vx_ring_create(100, 8);  // 512 slots
    ASSERT_NE(r, nullptr);
    const uint64_t slots = vx_ring_slots(r);
    const uint64_t start = 5 * slots - 3;  // three slots before the physical end
    r->head = r->tail = start;
    auto *w = static_cast<uint64_t *>(vx_ring_at(r, r->head));
    for (uint64_t i = 0; i < r->capacity; ++i)
        w[i] = 1000 + i;  // one contiguous write running into the second mapping
    vx_ring_publish(r, start + r->capacity);
    EXPECT_EQ(vx_ring_avail(r), r->capacity);
    EXPECT_EQ(vx_ring_space(r), 0u);
    const auto *rd = static_cast<const uint64_t *>(vx_ring_at(r, r->tail));
    for (uint64_t i = 0; i < r->capacity; ++i)
        ASSERT_EQ(rd[i], 1000 + i);
    // The wrapped part lives at the physical start too.
    EXPECT_EQ(*static_cast<uint64_t *>(vx_ring_at(r, start + 3)), 1003u);
    EXPECT_EQ(static_cast<uint64_t *>(r->base)[0], 1003u);
    vx_ring_consume(r, r->tail + 40);
    EXPECT_EQ(vx_ring_space(r), 40u);
    vx_ring_destroy(r);
}

TEST(Ring, ResizeGrowsOnlyAndStartsEmpty)
{
    vx_ring *r = vx_ring_create(10, 16);
    ASSERT_NE(r, nullptr);
    vx_ring *same = r;
    static_cast<uint8_t *>(r->base)[3] = 9;
    r->head = 4;
    vx_ring_drop(r, 2);
    EXPECT_EQ(vx_ring_resize(&r, 10), VX_OK);
    EXPECT_EQ(vx_ring_resize(&r, 1), VX_OK);
    EXPECT_EQ(r, same);
    EXPECT_EQ(r->head, 4u);
    EXPECT_EQ(static_cast<uint8_t *>(r->base)[3], 9);
    const int before = shm_mappings();
    EXPECT_EQ(vx_ring_resize(&r, 5000), VX_OK);
    EXPECT_EQ(r->capacity, 5000u);
    EXPECT_EQ(vx_ring_slots(r), 8192u);
    EXPECT_EQ(r->head | r->tail | vx_ring_dropped(r), 0u);
    EXPECT_EQ(r->elem_size, 16u);
    EXPECT_EQ(shm_mappings(), before);  // the old ring is gone
    EXPECT_EQ(vx_ring_resize(nullptr, 5), VX_ERR_INVALID);
    vx_ring *none = nullptr;
    EXPECT_EQ(vx_ring_resize(&none, 5), VX_ERR_INVALID);
    vx_ring_destroy(r);
}

TEST(Ring, CloseFlag)
{
    vx_ring *r = vx_ring_create(4, 4);
    ASSERT_NE(r, nullptr);
    EXPECT_FALSE(vx_ring_closed(r));
    vx_ring_close(r);
    EXPECT_TRUE(vx_ring_closed(r));
    vx_ring_destroy(r);
}
