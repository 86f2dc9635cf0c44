#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "encoder/picture_list.h"

static void *ptr(uintptr_t v)
{
    return (void *)v;
}

TEST(PictureList, FifoAndStackOrdersKeepTheArrayNullTerminated)
{
    picture_list *l = picture_list_create(4);
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(picture_list_pop_first(l), nullptr);
    EXPECT_EQ(l->count, 0);
    EXPECT_EQ(picture_list_push_last(l, ptr(1)), 0);
    EXPECT_EQ(picture_list_push_last(l, ptr(2)), 0);
    EXPECT_EQ(picture_list_push_first(l, ptr(3)), 0);
    EXPECT_EQ(l->count, 3);
    EXPECT_EQ(l->entries[3], nullptr);
    EXPECT_EQ(picture_list_pop_first(l), ptr(3));
    EXPECT_EQ(picture_list_pop_last(l), ptr(2));
    EXPECT_EQ(l->entries[1], nullptr);
    EXPECT_EQ(picture_list_pop_first(l), ptr(1));
    EXPECT_EQ(l->entries[0], nullptr);
    EXPECT_EQ(picture_list_push_first(l, ptr(9)), 0);
    EXPECT_EQ(picture_list_pop_first(l), ptr(9));
    picture_list_destroy(l);
}

TEST(PictureList, FullAndEmptyListsFailWithoutOverflow)
{
    picture_list *l = picture_list_create(2);
    ASSERT_EQ(picture_list_push_last(l, ptr(1)), 0);
    ASSERT_EQ(picture_list_push_first(l, ptr(2)), 0);
    EXPECT_EQ(picture_list_push_last(l, ptr(3)), -1);
    EXPECT_EQ(picture_list_push_first(l, ptr(3)), -1);
    EXPECT_EQ(l->count, 2);
    EXPECT_EQ(l->entries[2], nullptr);
    EXPECT_EQ(picture_list_pop_last(l), ptr(1));
    EXPECT_EQ(picture_list_pop_last(l), ptr(2));
    EXPECT_EQ(picture_list_pop_last(l), nullptr);
    EXPECT_EQ(picture_list_remove_at(l, 0), nullptr);
    picture_list_destroy(l);
    picture_list_destroy(nullptr);
}

TEST(PictureList, BlockingPushOnAFullListWaitsForAPop)
{
    picture_list *l = picture_list_create(1);
    picture_list_push_last_wait(l, ptr(1));
    std::atomic<int> pushed{0};
    std::thread t([&] {
        picture_list_push_last_wait(l, ptr(2));
        pushed = 1;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(pushed.load(), 0);
    EXPECT_EQ(picture_list_pop_last_wait(l), ptr(1));
    t.join();
    EXPECT_EQ(pushed.load(), 1);
    EXPECT_EQ(picture_list_pop_last_wait(l), ptr(2));
    picture_list_destroy(l);
}

TEST(PictureList, ProducersAndConsumersExchangeEveryEntry)
{
    picture_list *l = picture_list_create(3);
    const int per_producer = 5000;
    std::atomic<uint64_t> sum{0};
    std::thread producers[2], consumers[2];
    for (int p = 0; p < 2; p++)
        producers[p] = std::thread([&, p] {
            for (int i = 1; i <= per_producer; i++) picture_list_push_last_wait(l, ptr((uintptr_t)(p * per_producer + i)));
        });
    for (auto &c : consumers)
        c = std::thread([&] {
            for (int i = 0; i < per_producer; i++) sum += (uintptr_t)picture_list_pop_last_wait(l);
        });
    for (auto &p : producers) p.join();
    for (auto &c : consumers) c.join();
    uint64_t n = 2 * per_producer;
    EXPECT_EQ(sum.load(), n * (n + 1) / 2);
    EXPECT_EQ(l->count, 0);
    picture_list_destroy(l);
}
