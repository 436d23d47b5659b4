// Intrusive lists: structure, ownership, removal while reading.
#include "Nox_Tsk/NOX_TSK_List.h"

#include "WaitFor.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace NOX::TSK;

namespace {

class ItemC : public NodeC
{
public:
    explicit ItemC(int nValue) : m_nValue(nValue) {}
    int m_nValue;
};

// The values front to back, then back to front, so that a broken back link
// shows; a broken ring shows as more values than the list can hold.
std::vector<int> values(const ListC& list)
{
    std::vector<int> vec;
    for (NodeC* p = list.first(); p != nullptr && vec.size() < 9; p = list.next(p)) {
        vec.push_back(static_cast<ItemC*>(p)->m_nValue);
    }
    for (NodeC* p = list.last(); p != nullptr && vec.size() < 18; p = list.prev(p)) {
        vec.push_back(static_cast<ItemC*>(p)->m_nValue);
    }
    return vec;
}

} // namespace

TEST(List, LinksAtTheTailBeforeAndAfterAPosition)
{
    ListC list;
    ItemC one(1), two(2), three(3), four(4);
    list.pushBack(&two);
    list.insertBefore(&two, &one);
    list.insertAfter(&two, &four);
    list.insertBefore(&four, &three);
    EXPECT_EQ((std::vector<int>{1, 2, 3, 4, 4, 3, 2, 1}), values(list));

    list.pushBack(&three);
    EXPECT_EQ(4, list.count()) << "a node already in the list stays where it is";
    EXPECT_EQ((std::vector<int>{1, 2, 3, 4, 4, 3, 2, 1}), values(list));
}

TEST(List, NodesAndListsLeaveEachOtherWhenRemovedOrDestroyed)
{
    ListC list;
    ItemC one(1), three(3), loose(9);
    list.pushBack(&one);
    {
        ItemC two(2);
        list.pushBack(&two);
        list.pushBack(&three);
    }
    list.remove(&loose);
    list.remove(nullptr);
    EXPECT_EQ((std::vector<int>{1, 3, 3, 1}), values(list)) << "a destroyed node leaves its list";

    {
        ListC shortLived;
        loose.insertInto(&shortLived);
    }
    EXPECT_EQ(nullptr, loose.getOwner()) << "a destroyed list lets its nodes go";
}

TEST(List, RemoveWhileReadingWaitsForOtherReadersOnly)
{
    ListC list;
    ItemC one(1), two(2);
    list.pushBack(&one);
    list.pushBack(&two);

    std::atomic<bool> bOtherReading{false}, bReleaseOther{false}, bRemoved{false};
    std::thread otherReader([&] {
        GuardC guard(list.getReadLock());
        bOtherReading = true;
        holdUntil(bReleaseOther);
    });
    EXPECT_TRUE(waitFor(bOtherReading));
    std::thread remover([&] {
        GuardC guard(list.getReadLock());
        list.removeWhileReading(&one);
        bRemoved = true;
    });
    EXPECT_TRUE(staysClear(bRemoved)) << "the removal waits while another reader iterates";
    bReleaseOther = true;
    otherReader.join();
    remover.join();
    {
        GuardC guard(list.getReadLock());
        list.removeWhileReading(&two);
    }
    list.pushBack(&one);
    EXPECT_EQ((std::vector<int>{1, 1}), values(list)) << "both read shares were handed back";
}
