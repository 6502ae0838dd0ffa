// Shared checks for any core object with a state blob.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "vx_base.h"

namespace vxtest {

template <class Obj> std::vector<uint8_t> save(Obj *o, uint64_t (*bytes)(const Obj *),
                                               void (*get)(const Obj *, void *))
{
    std::vector<uint8_t> b(bytes(o));
    get(o, b.data());
    return b;
}

// Altering magic, version, format byte or size is rejected with the object unchanged;
// bytes 7 and 12..15 are not checked.
template <class Obj>
void expect_header_rules(Obj *o, uint64_t (*bytes)(const Obj *), void (*get)(const Obj *, void *),
                         int (*set)(Obj *, const void *))
{
    const std::vector<uint8_t> good = save(o, bytes, get);
    for (size_t at : {0u, 3u, 4u, 5u, 6u, 8u, 9u}) {
        std::vector<uint8_t> bad = good;
        bad[at] ^= 0x01;
        EXPECT_EQ(set(o, bad.data()), VX_ERR_INVALID) << "header byte " << at;
        EXPECT_EQ(save(o, bytes, get), good) << "object changed by rejected blob, byte " << at;
    }
    std::vector<uint8_t> loose = good;
    loose[7] = 0xAB;
    for (size_t at = 12; at < 16; ++at)
        loose[at] = 0xCD;
    EXPECT_EQ(set(o, loose.data()), VX_OK);
    EXPECT_EQ(save(o, bytes, get), good);
}

// Run `feed` over `n` items as one block and as blocks split at `cuts`; both must agree
// exactly. feed(obj, first, count) appends its outputs.
template <class Obj, class Out>
void expect_split_invariant(const std::function<Obj *()> &make, void (*destroy)(Obj *),
                            const std::function<void(Obj *, size_t, size_t, std::vector<Out> &)> &feed,
                            size_t n, const std::vector<size_t> &cuts)
{
    Obj *whole = make();
    Obj *parts = make();
    std::vector<Out> a, b;
    feed(whole, 0, n, a);
    size_t pos = 0;
    for (size_t c : cuts) {
        if (c > pos && c <= n) {
            feed(parts, pos, c - pos, b);
            pos = c;
        }
    }
    feed(parts, pos, n - pos, b);
    ASSERT_EQ(a.size(), b.size());
    EXPECT_EQ(0, std::memcmp(a.data(), b.data(), a.size() * sizeof(Out)));
    destroy(whole);
    destroy(parts);
}

}  // namespace vxtest
