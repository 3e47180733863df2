#include <gtest/gtest.h>

#include <array>

#include "common/bytes.h"

namespace dovan {
namespace {

// Distinct bytes, so a swapped or shifted position shows in the value.
constexpr std::array<std::uint8_t, 8> kSample = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};

struct WidthCase {
    const char* name;
    std::size_t width;
    std::uint64_t (*load)(const std::uint8_t*);
    void (*store)(std::uint8_t*, std::uint64_t);
    std::uint64_t value;  // kSample's first `width` bytes read in that order
};

const WidthCase kWidths[] = {
    {"be16", 2, [](const std::uint8_t* p) -> std::uint64_t { return load_be16(p); }, store_be16, 0x0123},
    {"be24", 3, [](const std::uint8_t* p) -> std::uint64_t { return load_be24(p); }, store_be24, 0x012345},
    {"be32", 4, [](const std::uint8_t* p) -> std::uint64_t { return load_be32(p); }, store_be32, 0x01234567},
    {"be64", 8, [](const std::uint8_t* p) -> std::uint64_t { return load_be64(p); }, store_be64,
     0x0123456789ABCDEF},
    {"le16", 2, [](const std::uint8_t* p) -> std::uint64_t { return load_le16(p); }, store_le16, 0x2301},
    {"le32", 4, [](const std::uint8_t* p) -> std::uint64_t { return load_le32(p); }, store_le32, 0x67452301},
    {"le64", 8, [](const std::uint8_t* p) -> std::uint64_t { return load_le64(p); }, store_le64,
     0xEFCDAB8967452301},
};

TEST(ByteCoding, EachWidthAndOrderLoadsAndStoresExactBytes) {
    for (const auto& c : kWidths) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.load(kSample.data()), c.value);
        // A store writes exactly `width` bytes and leaves its neighbours alone; bits above the
        // width are dropped.
        std::array<std::uint8_t, 10> out;
        out.fill(0x5A);
        const std::uint64_t high = c.width == 8 ? 0 : ~std::uint64_t{0} << (8 * c.width);
        c.store(out.data() + 1, c.value | high);
        EXPECT_EQ(out[0], 0x5A);
        EXPECT_EQ(Bytes(out.begin() + 1, out.begin() + 1 + static_cast<std::ptrdiff_t>(c.width)),
                  Bytes(kSample.begin(), kSample.begin() + static_cast<std::ptrdiff_t>(c.width)));
        EXPECT_EQ(out[1 + c.width], 0x5A);
    }
}

TEST(ByteCoding, PutAndReadVariableWidthBigEndian) {
    Bytes out = {0xEE};
    put_be(out, 0xFF0123456789, 3);
    EXPECT_EQ(out, (Bytes{0xEE, 0x45, 0x67, 0x89}));
    EXPECT_EQ(read_be(ByteView(kSample).first(5)), 0x0123456789u);
    EXPECT_EQ(read_be({}), 0u);
}

TEST(ByteReader, ReadsInOrderAndRefusesToCrossTheEnd) {
    ByteReader r{ByteView(kSample)};
    EXPECT_EQ(r.read_u8(), 0x01);
    EXPECT_EQ(r.read_u16(), 0x2345);
    EXPECT_EQ(r.read_u16(Endian::Little), 0x8967);
    EXPECT_EQ(r.position(), 5u);
    EXPECT_EQ(r.remaining(), 3u);
    // Too wide for what is left: nothing is read and the cursor stays put.
    EXPECT_EQ(r.read_u32(), std::nullopt);
    EXPECT_EQ(r.read_bytes(4), std::nullopt);
    EXPECT_EQ(r.position(), 5u);
    const auto rest = r.read_bytes(3);
    ASSERT_TRUE(rest.has_value());
    EXPECT_EQ(Bytes(rest->begin(), rest->end()), (Bytes{0xAB, 0xCD, 0xEF}));
    EXPECT_TRUE(r.at_end());
    EXPECT_EQ(r.read_u8(), std::nullopt);
    EXPECT_EQ(r.read_bytes(1), std::nullopt);
    EXPECT_EQ(r.read_bytes(0).value_or(ByteView(kSample)).size(), 0u);
}

TEST(ByteReader, EveryWidthInBothOrders) {
    ByteReader be{ByteView(kSample)};
    EXPECT_EQ(be.read_u32(), 0x01234567u);
    EXPECT_EQ(be.read_u32(), 0x89ABCDEFu);
    ByteReader le{ByteView(kSample)};
    EXPECT_EQ(le.read_u32(Endian::Little), 0x67452301u);
    EXPECT_EQ(le.read_u32(Endian::Little), 0xEFCDAB89u);
    ByteReader be64{ByteView(kSample)};
    EXPECT_EQ(be64.read_u64(), 0x0123456789ABCDEFu);
    ByteReader le64{ByteView(kSample)};
    EXPECT_EQ(le64.read_u64(Endian::Little), 0xEFCDAB8967452301u);
    // One byte short of a u64.
    ByteReader short64{ByteView(kSample).first(7)};
    EXPECT_EQ(short64.read_u64(), std::nullopt);
    EXPECT_EQ(short64.read_u64(Endian::Little), std::nullopt);
    EXPECT_EQ(short64.remaining(), 7u);
}

}  // namespace
}  // namespace dovan
