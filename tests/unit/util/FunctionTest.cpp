#include "util/Function.h"
#include "util/RefVector.h"
#include "util/SimpleVector.h"
#include "util/View.h"

#include <gtest/gtest.h>

namespace {

struct Base {
    virtual ~Base() = default;
    virtual int who(int x) { return 100 + x; }
    int plain(int x) { return x * 2 + tag; }
    int tag = 0;
};
struct Derived : Base {
    int who(int x) override { return 200 + x; }
};
// Multiple inheritance makes the member pointer carry a this-adjustment.
struct Other {
    virtual ~Other() = default;
    int pad = 7;
};
struct Mixed : Other, Base {
    int who(int x) override { return 300 + x + pad; }
};

TEST(Function, EmptyUntilBound) {
    Function<int(int)> f;
    EXPECT_FALSE(f);
    Base b;
    Function<int(int)> g(&b, &Base::plain);
    EXPECT_TRUE(g);
}

TEST(Function, CallsTheBoundMemberOnTheBoundObject) {
    Base a, b;
    a.tag = 1;
    b.tag = 2;
    Function<int(int)> fa(&a, &Base::plain), fb(&b, &Base::plain);
    EXPECT_EQ(fa(10), 21);
    EXPECT_EQ(fb(10), 22);
    Function<int(int)> copy = fb;
    b.tag = 5;
    EXPECT_EQ(copy(1), 7); // same object, not a snapshot of it
}

TEST(Function, VirtualMemberResolvesThroughDynamicType) {
    Derived d;
    Mixed m;
    Function<int(int)> fd(static_cast<Base*>(&d), &Base::who);
    Function<int(int)> fm(static_cast<Base*>(&m), &Base::who);
    EXPECT_EQ(fd(1), 201);
    EXPECT_EQ(fm(1), 308);
    static_assert(sizeof(Function<void(int)>) == 4 * sizeof(void*));
}

// Counts live instances, so a container that constructs or destroys the wrong
// number of elements shows up.
struct Counted {
    static inline int live = 0;
    Counted() { ++live; }
    Counted(const Counted&) { ++live; }
    Counted& operator=(const Counted&) = default;
    ~Counted() { --live; }
    int value = 0;
};

TEST(SimpleVector, SlotsExistInlineAndCountTracksUse) {
    {
        SimpleVector<Counted, 4> v;
        EXPECT_EQ(Counted::live, 4);
        Counted c;
        c.value = 9;
        v.push_back(c);
        v.push_back(c);
        EXPECT_EQ(Counted::live, 5);
        EXPECT_EQ(v.size(), 2u);
        EXPECT_EQ(v[1].value, 9);
        v.pop_back();
        int visited = 0;
        for (Counted& x : v) visited += x.value;
        EXPECT_EQ(visited, 9);
    }
    EXPECT_EQ(Counted::live, 0);
}

TEST(RefVector, VisitsReferencesInTheGivenOrder) {
    int a = 1, b = 2, c = 3;
    RefVector<int, 4> v(b, a);
    v.push_back(c);
    int order = 0;
    for (int& x : v) order = order * 10 + x;
    EXPECT_EQ(order, 213);
    v[0] = 20; // a reference, not a copy
    EXPECT_EQ(b, 20);
}

TEST(View, SizeFromBoundsAndFromCount) {
    const char text[] = "abcdef";
    View<const char> empty(text, text);
    View<const char> three(text + 1, size_t{3});
    EXPECT_EQ(empty.size(), 0u);
    EXPECT_TRUE(empty.empty());
    EXPECT_EQ(three.size(), 3u);
    EXPECT_EQ(three[0], 'b');
}

} // namespace
