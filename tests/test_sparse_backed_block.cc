// Queueing, merging, splitting and moving runs of blocks.
#include <gtest/gtest.h>

#include "sparse/backed_block.h"
#include "tests/sparse_test_util.h"

namespace {

std::vector<uint32_t> starts(backed_block_list* l) {
    std::vector<uint32_t> v;
    for (backed_block* bb = backed_block_iter_new(l); bb; bb = backed_block_iter_next(bb))
        v.push_back(backed_block_block(bb));
    return v;
}

std::vector<uint32_t> lens(backed_block_list* l) {
    std::vector<uint32_t> v;
    for (backed_block* bb = backed_block_iter_new(l); bb; bb = backed_block_iter_next(bb))
        v.push_back(backed_block_len(bb));
    return v;
}

TEST(SparseBackedBlock, AscendingRunsMergeByType) {
    backed_block_list* l = backed_block_list_new(4096);
    ASSERT_NE(l, nullptr);
    for (uint32_t b = 0; b < 3; b++) EXPECT_EQ(backed_block_add_fill(l, 0xAB, 4096, b), 0);
    EXPECT_EQ(starts(l), (std::vector<uint32_t>{0}));
    EXPECT_EQ(lens(l), (std::vector<uint32_t>{12288}));
    EXPECT_EQ(backed_block_fill_val(backed_block_iter_new(l)), 0xABu);
    // A different value does not join.
    EXPECT_EQ(backed_block_add_fill(l, 0xAC, 4096, 3), 0);
    EXPECT_EQ(lens(l), (std::vector<uint32_t>{12288, 4096}));
    backed_block_list_destroy(l);

    static char mem[8192];
    l = backed_block_list_new(4096);
    backed_block_add_data(l, mem, 4096, 0);
    backed_block_add_data(l, mem + 4096, 4096, 1);
    EXPECT_EQ(starts(l), (std::vector<uint32_t>{0, 1}));
    EXPECT_EQ(backed_block_data(backed_block_iter_new(l)), mem);
    backed_block_list_destroy(l);

    l = backed_block_list_new(4096);
    backed_block_add_fd(l, 7, 0, 4096, 0);
    backed_block_add_fd(l, 7, 4096, 4096, 1);
    EXPECT_EQ(lens(l), (std::vector<uint32_t>{8192}));
    backed_block_add_fd(l, 8, 8192, 4096, 2);  // another descriptor
    backed_block_add_fd(l, 8, 20000, 4096, 3);  // offsets do not continue
    EXPECT_EQ(starts(l), (std::vector<uint32_t>{0, 2, 3}));
    backed_block_list_destroy(l);

    l = backed_block_list_new(4096);
    backed_block_add_fd(l, 7, 0, 4096, 0);
    backed_block_add_fd(l, 7, 8192, 4096, 1);
    EXPECT_EQ(starts(l), (std::vector<uint32_t>{0, 1}));
    backed_block_list_destroy(l);

    l = backed_block_list_new(4096);
    backed_block_add_file(l, "a.img", 0, 4096, 0);
    backed_block_add_file(l, "a.img", 4096, 4096, 1);
    backed_block_add_file(l, "b.img", 8192, 4096, 2);
    EXPECT_EQ(lens(l), (std::vector<uint32_t>{8192, 4096}));
    EXPECT_STREQ(backed_block_filename(backed_block_iter_new(l)), "a.img");
    EXPECT_EQ(backed_block_file_offset(backed_block_iter_new(l)->next), 8192);
    backed_block_list_destroy(l);
}

TEST(SparseBackedBlock, OrderAndFrontInsertion) {
    backed_block_list* l = backed_block_list_new(4096);
    backed_block_add_fill(l, 1, 4096, 5);
    backed_block_add_fill(l, 2, 4096, 1);
    backed_block_add_fill(l, 3, 4096, 3);
    EXPECT_EQ(starts(l), (std::vector<uint32_t>{1, 3, 5}));
    backed_block_list_destroy(l);

    // In front of the head: never merged, even adjacent with the same value.
    l = backed_block_list_new(4096);
    backed_block_add_fill(l, 9, 4096, 1);
    backed_block_add_fill(l, 9, 4096, 0);
    EXPECT_EQ(starts(l), (std::vector<uint32_t>{0, 1}));
    // Behind a block, a new run merges with its successor too.
    backed_block_list_destroy(l);
    l = backed_block_list_new(4096);
    backed_block_add_fill(l, 9, 4096, 0);
    backed_block_add_fill(l, 9, 4096, 2);
    backed_block_add_fill(l, 9, 4096, 1);
    EXPECT_EQ(starts(l), (std::vector<uint32_t>{0}));
    EXPECT_EQ(lens(l), (std::vector<uint32_t>{12288}));
    backed_block_list_destroy(l);

    // Two runs at one block: kept apart, in the list, and nothing aborts.
    l = backed_block_list_new(4096);
    backed_block_add_fill(l, 9, 4096, 4);
    backed_block_add_fill(l, 9, 4096, 4);
    EXPECT_EQ(starts(l), (std::vector<uint32_t>{4, 4}));
    backed_block_list_destroy(l);
}

// A run whose last block is partial cannot be continued: the next run's bytes would be placed
// behind the partial bytes instead of at their block.
TEST(SparseBackedBlock, PartialRunIsNotContinued) {
    backed_block_list* l = backed_block_list_new(4096);
    backed_block_add_fd(l, 3, 0, 4196, 0);
    backed_block_add_fd(l, 3, 4196, 4096, 1);
    EXPECT_EQ(starts(l), (std::vector<uint32_t>{0, 1}));
    backed_block_list_destroy(l);

    l = backed_block_list_new(4096);
    backed_block_add_fill(l, 5, 100, 0);
    backed_block_add_fill(l, 5, 4096, 1);
    EXPECT_EQ(lens(l), (std::vector<uint32_t>{100, 4096}));
    backed_block_list_destroy(l);
}

// Merging stops before the 32-bit length would wrap (the fault: a normal image over 4 GiB
// would get one run whose length is the sum modulo 2^32).
TEST(SparseBackedBlock, MergedLengthStaysWithin32Bits) {
    const uint32_t bs = 4096;
    const uint32_t big = 0xFFFFF000;  // largest fill run of whole blocks
    backed_block_list* l = backed_block_list_new(bs);
    backed_block_add_fill(l, 0, big - bs, 0);
    backed_block_add_fill(l, 0, bs, big / bs - 1);  // exactly up to the limit: merges
    EXPECT_EQ(lens(l), (std::vector<uint32_t>{big}));
    backed_block_add_fill(l, 0, bs, big / bs);  // one more block: a new run
    EXPECT_EQ(lens(l), (std::vector<uint32_t>{big, bs}));
    backed_block_list_destroy(l);

    // Raw runs keep room for their chunk header in the 32-bit chunk size.
    l = backed_block_list_new(4);
    backed_block_add_fd(l, 3, 0, 0xFFFFFFF0, 0);
    backed_block_add_fd(l, 3, 0xFFFFFFF0, 4, 0xFFFFFFF0 / 4);
    EXPECT_EQ(lens(l), (std::vector<uint32_t>{0xFFFFFFF0, 4}));
    EXPECT_EQ(bb_max_len(4, BACKED_BLOCK_FD), 0xFFFFFFF0u);
    backed_block_list_destroy(l);
}

TEST(SparseBackedBlock, SplitByType) {
    static char mem[10 * 4096];
    backed_block_list* l = backed_block_list_new(4096);
    backed_block_add_data(l, mem, 40960, 0);
    backed_block* bb = backed_block_iter_new(l);
    EXPECT_EQ(backed_block_split(l, bb, 3 * 4096 + 2048), 0);
    EXPECT_EQ(lens(l), (std::vector<uint32_t>{12288, 28672}));
    EXPECT_EQ(starts(l), (std::vector<uint32_t>{0, 3}));
    EXPECT_EQ(backed_block_data(bb->next), mem + 12288);
    // Not longer than the limit: unchanged.
    EXPECT_EQ(backed_block_split(l, bb, 12288), 0);
    EXPECT_EQ(lens(l).size(), 2u);
    backed_block_list_destroy(l);

    l = backed_block_list_new(4096);
    backed_block_add_fd(l, 4, 1000, 40960, 2);
    bb = backed_block_iter_new(l);
    EXPECT_EQ(backed_block_split(l, bb, 3 * 4096 + 2048), 0);
    EXPECT_EQ(backed_block_file_offset(bb->next), 1000 + 12288);
    EXPECT_EQ(backed_block_block(bb->next), 5u);
    EXPECT_EQ(backed_block_fd(bb->next), 4);
    backed_block_list_destroy(l);

    l = backed_block_list_new(4096);
    backed_block_add_file(l, "x", 0, 8192, 0);
    bb = backed_block_iter_new(l);
    EXPECT_EQ(backed_block_split(l, bb, 4096), 0);
    EXPECT_STREQ(backed_block_filename(bb->next), "x");
    EXPECT_NE(backed_block_filename(bb->next), backed_block_filename(bb));
    backed_block_list_destroy(l);  // each half frees its own name

    // Below one block: the first half keeps nothing.
    l = backed_block_list_new(4096);
    backed_block_add_fill(l, 1, 8192, 0);
    bb = backed_block_iter_new(l);
    EXPECT_EQ(backed_block_split(l, bb, 100), 0);
    EXPECT_EQ(lens(l), (std::vector<uint32_t>{0, 8192}));
    EXPECT_EQ(backed_block_fill_val(bb->next), 1u);
    backed_block_list_destroy(l);
}

TEST(SparseBackedBlock, MoveRuns) {
    backed_block_list* from = backed_block_list_new(4096);
    backed_block_list* to = backed_block_list_new(4096);
    for (uint32_t b = 0; b < 6; b += 2) backed_block_add_fill(from, b, 4096, b);
    backed_block_list_move(from, to, nullptr, nullptr);
    EXPECT_EQ(starts(to), (std::vector<uint32_t>{0, 2, 4}));
    EXPECT_EQ(starts(from), (std::vector<uint32_t>{}));
    EXPECT_EQ(to->head->next->next->next, nullptr);

    // A middle stretch into a list that has runs on both sides of it.
    backed_block* two = to->head->next;
    backed_block_add_fill(from, 1, 4096, 1);
    backed_block_add_fill(from, 7, 4096, 7);
    backed_block_list_move(to, from, two, two);
    EXPECT_EQ(starts(to), (std::vector<uint32_t>{0, 4}));
    EXPECT_EQ(starts(from), (std::vector<uint32_t>{1, 2, 7}));
    backed_block_list_destroy(from);
    backed_block_list_destroy(to);

    from = backed_block_list_new(4096);
    to = backed_block_list_new(4096);
    backed_block_add_fill(from, 1, 4096, 0);
    backed_block_add_fill(to, 2, 4096, 5);
    // A run that belongs in front of the destination's head goes there.
    backed_block_list_move(from, to, nullptr, nullptr);
    EXPECT_EQ(starts(to), (std::vector<uint32_t>{0, 5}));
    EXPECT_EQ(to->last_queued, nullptr);
    backed_block_list_destroy(from);
    backed_block_list_destroy(to);
}

}  // namespace
