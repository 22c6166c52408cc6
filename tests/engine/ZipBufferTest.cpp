#include "engine/ZipBuffer.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(ZipBuffer, SizingRules) {
    CZipBuffer buffer;
    EXPECT_TRUE(buffer.IsEmpty());
    EXPECT_EQ(buffer.GetBuffer(), nullptr);

    buffer.Allocate(4, true);
    std::memcpy(buffer.GetBuffer(), "abcd", 4);
    buffer.Allocate(4); // same size keeps the bytes
    EXPECT_EQ(buffer.View(), "abcd");
    buffer.Allocate(4, true); // ... unless zeroing is asked for
    EXPECT_EQ(buffer.GetBytes()[3], 0);

    buffer.Allocate(0);
    EXPECT_TRUE(buffer.IsEmpty());
    EXPECT_EQ(buffer.GetBuffer(), nullptr);
}

TEST(ZipBuffer, CopiesOwnTheirBytes) {
    CZipBuffer a(3);
    std::memcpy(a.GetBuffer(), "xyz", 3);
    CZipBuffer b(a);
    b.GetBuffer()[0] = 'q';
    EXPECT_EQ(a.View(), "xyz");
    EXPECT_EQ(b.View(), "qyz");
    CZipBuffer c;
    c = a;
    a.Release();
    EXPECT_EQ(a.GetSize(), 0u);
    EXPECT_EQ(c.View(), "xyz");
    CZipBuffer empty;
    c = empty;
    EXPECT_TRUE(c.IsEmpty());
}
