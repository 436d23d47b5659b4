// Intrusive lists: structure, ownership, removal while iterating.
#include "Nox_Tsk/NOX_TSK_List.h"

#include "TestEnv.h"
#include "WaitFor.h"

#include <gtest/gtest.h>

#include <vector>

using namespace NOX::TSK;

namespace {

class ItemC : public NodeC
{
public:
    explicit ItemC(int nValue) : m_nValue(nValue) {}
    int m_nValue;
};

std::vector<int> values(const ListC& list, bool bBackwards = false)
{
    std::vector<int> vecValues;
    for (NodeC* pNode = bBackwards ? list.last() : list.first(); pNode != nullptr;
         pNode = bBackwards ? list.prev(pNode) : list.next(pNode)) {
        vecValues.push_back(static_cast<ItemC*>(pNode)->m_nValue);
    }
    return vecValues;
}

} // namespace

TEST(List, LinksAtTheTailBeforeAndAfterAPosition)
{
    ListC list;
    EXPECT_EQ(nullptr, list.first());
    EXPECT_EQ(nullptr, list.last());

    ItemC one(1), two(2), three(3), four(4);
    list.pushBack(&two);
    EXPECT_EQ(&two, list.first());
    EXPECT_EQ(&two, list.last());
    EXPECT_EQ(nullptr, list.next(&two));

    list.insertBefore(&two, &one);
    list.insertAfter(&two, &four);
    list.insertBefore(&four, &three);
    EXPECT_EQ((std::vector<int>{1, 2, 3, 4}), values(list));
    EXPECT_EQ((std::vector<int>{4, 3, 2, 1}), values(list, true));
    EXPECT_EQ(4, list.count());

    list.pushBack(&three);
    EXPECT_EQ(4, list.count()) << "a node already in the list stays where it is";
    EXPECT_EQ((std::vector<int>{1, 2, 3, 4}), values(list));
    EXPECT_EQ(&list, three.getOwner());
}

TEST(List, RemovingAndDestroyingNodes)
{
    ListC list;
    ItemC one(1), three(3), loose(9);
    list.pushBack(&one);
    {
        ItemC two(2);
        list.pushBack(&two);
        list.pushBack(&three);
        EXPECT_EQ(3, list.count());
    }
    EXPECT_EQ((std::vector<int>{1, 3}), values(list)) << "a destroyed node leaves its list";

    list.remove(&loose);
    list.remove(nullptr);
    EXPECT_EQ(2, list.count());

    one.removeFromList();
    EXPECT_EQ(nullptr, one.getOwner());
    EXPECT_EQ((std::vector<int>{3}), values(list));
    one.insertInto(&list);
    EXPECT_EQ((std::vector<int>{3, 1}), values(list));
}

TEST(List, NodesOutliveTheirList)
{
    ItemC one(1);
    {
        ListC list;
        list.pushBack(&one);
    }
    EXPECT_EQ(nullptr, one.getOwner());
    ListC other;
    other.pushBack(&one);
    EXPECT_EQ(1, other.count());
}

TEST(List, RemoveWhileReadingAsTheOnlyReader)
{
    ListC list;
    ItemC one(1), two(2), three(3);
    list.pushBack(&one);
    list.pushBack(&two);
    list.pushBack(&three);
    {
        GuardC guard(list.getReadLock());
        for (NodeC* pNode = list.first(); pNode != nullptr;) {
            NodeC* pNext = list.next(pNode);
            if (static_cast<ItemC*>(pNode)->m_nValue != 2) {
                list.removeWhileReading(pNode);
            }
            pNode = pNext;
        }
    }
    EXPECT_EQ((std::vector<int>{2}), values(list));
    ItemC four(4);
    list.pushBack(&four);
    EXPECT_EQ(2, list.count()) << "the read share was handed back intact";
}

TEST(List, RemoveWhileReadingWaitsForTheOtherReaders)
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
        EXPECT_EQ(&two, list.first());
    });
    EXPECT_TRUE(staysClear(bRemoved)) << "the removal waits while another reader iterates";
    bReleaseOther = true;
    otherReader.join();
    remover.join();
    EXPECT_TRUE(bRemoved.load());
    EXPECT_EQ((std::vector<int>{2}), values(list));
}

TEST(ListDeathTest, ANodeInTwoListsEndsTheProcess)
{
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    auto insertTwice = [] {
        ListC first;
        ListC second;
        ItemC item(1);
        first.pushBack(&item);
        second.pushBack(&item);
    };
    EXPECT_EXIT(insertTwice(), ::testing::ExitedWithCode(testenv::exitCodeSeen(-1)), "");
}
