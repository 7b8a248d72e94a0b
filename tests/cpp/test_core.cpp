// Internals of the genotype model and the worker pool that Python cannot reach directly.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <numeric>
#include <vector>

#include "gfcore/genotype.hpp"
#include "module/worker_pool.hpp"

using namespace korvex;

TEST(ParsePos, AcceptsSignedDecimalsAndRejectsTheRest) {
  EXPECT_EQ(parse_pos32("12345"), 12345);
  EXPECT_EQ(parse_pos32("+7"), 7);
  EXPECT_EQ(parse_pos32("-7"), -7);
  EXPECT_EQ(parse_pos32("2147483647"), 2147483647);
  EXPECT_EQ(parse_pos32("-2147483648"), -2147483647 - 1);
  for (const char* bad : {"", "+", "-", "12x", " 1", "1 ", "2147483648", "-2147483649",
                          "99999999999999999999", "1e3", "0x10"})
    EXPECT_EQ(parse_pos32(bad), 0) << bad;
}

TEST(SiteQc, FlipAndFillUseTheOrientedMean) {
  std::vector<float> v{2, 2, -9, 1};
  SiteInfo site{"1", 10, "A", "G"};
  ASSERT_TRUE(apply_site_qc(v, site, QcOptions{}));
  EXPECT_EQ(site.ref_allele, "G");
  EXPECT_EQ(site.alt_allele, "A");
  EXPECT_EQ(v, (std::vector<float>{0, 0, static_cast<float>(1.0 / 3.0), 1}));
}

TEST(SiteQc, NanThresholdsDisableTheirTests) {
  const float nan = std::nanf("");
  std::vector<float> all_missing{-9, -9};
  SiteInfo site;
  EXPECT_TRUE(apply_site_qc(all_missing, site, QcOptions{nan, nan, false}));
  std::vector<float> mono{0, 0, 0, -9};
  EXPECT_TRUE(apply_site_qc(mono, site, QcOptions{nan, 0.0f, true}) == false);  // 25% missing > 0
  std::vector<float> mono2{0, 0, 0, 0};
  EXPECT_TRUE(apply_site_qc(mono2, site, QcOptions{nan, nan, true}));
}

TEST(WorkerPool, RunsEveryTaskOnceAndPartitionsByGrain) {
  auto pool = WorkerPool::create(3);
  ASSERT_TRUE(pool.has_value());
  EXPECT_EQ((*pool)->size(), 3u);
  std::vector<std::atomic<int>> hits(1000);
  (*pool)->parallel_for(0, 1000, 7, [&](std::size_t lo, std::size_t hi, std::size_t worker) {
    EXPECT_LT(worker, 3u);
    EXPECT_TRUE(hi - lo == 7 || hi == 1000);
    for (std::size_t i = lo; i < hi; ++i) hits[i]++;
  });
  for (auto& h : hits) EXPECT_EQ(h.load(), 1);
  (*pool)->parallel_for(5, 5, 1, [&](std::size_t, std::size_t, std::size_t) { FAIL(); });
}

TEST(WorkerPool, ExceptionsReachTheCaller) {
  auto pool = WorkerPool::create(2);
  ASSERT_TRUE(pool.has_value());
  auto task = [](std::size_t t, std::size_t) {
    if (t == 3) throw std::bad_alloc();
  };
  EXPECT_THROW((*pool)->run(10, WorkerPool::TaskFn(task)), std::bad_alloc);
  std::atomic<int> count{0};
  auto ok = [&](std::size_t, std::size_t) { count++; };
  (*pool)->run(5, WorkerPool::TaskFn(ok));  // still usable afterwards
  EXPECT_EQ(count.load(), 5);
}

TEST(WorkerPool, ZeroThreadsIsAnError) {
  auto pool = WorkerPool::create(0);
  ASSERT_FALSE(pool.has_value());
  EXPECT_EQ(pool.error().kind, ErrorKind::OperationFailed);
}

TEST(WorkerPool, DefaultPoolWorksInAForkedChild) {
  auto parent = WorkerPool::default_pool();
  ASSERT_TRUE(parent.has_value());
  std::atomic<int> count{0};
  auto task = [&](std::size_t, std::size_t) { count++; };
  (*parent)->run(4, WorkerPool::TaskFn(task));
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    auto child = WorkerPool::default_pool();
    std::atomic<int> n{0};
    auto t = [&](std::size_t, std::size_t) { n++; };
    if (child) (*child)->run(8, WorkerPool::TaskFn(t));
    _exit(child && n.load() == 8 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Worked cases of the site QC rule. Each row: calls (-9 missing), thresholds, fill flag, and the
// expected outcome (kept?, flipped?, values after QC).
struct QcCase {
  const char* name;
  std::vector<float> calls;
  float maf;
  float miss;
  bool fill;
  bool keep;
  bool flipped;
  std::vector<float> expected;
};

class SiteQcTable : public ::testing::TestWithParam<QcCase> {};

TEST_P(SiteQcTable, MatchesWorkedExample) {
  const QcCase& c = GetParam();
  std::vector<float> v = c.calls;
  SiteInfo site{"1", 1, "A", "G"};
  const bool keep = apply_site_qc(v, site, QcOptions{c.maf, c.miss, c.fill});
  ASSERT_EQ(keep, c.keep);
  if (!keep) return;
  EXPECT_EQ(site.ref_allele, c.flipped ? "G" : "A");
  EXPECT_EQ(site.alt_allele, c.flipped ? "A" : "G");
  EXPECT_EQ(v, c.expected);
}

const float kThird = static_cast<float>(1.0 / 3.0);
const std::vector<float> kTenMissing2{0, 0, 0, 0, 0, 0, 1, 1, -9, -9};
const std::vector<float> kTenMissing3{0, 0, 0, 0, 0, 0, 1, -9, -9, -9};
const std::vector<float> kOneAltInTen{0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

INSTANTIATE_TEST_SUITE_P(
    Worked, SiteQcTable,
    ::testing::Values(
        QcCase{"flip_p875", {2, 2, 2, 1}, 0, 1, true, true, true, {0, 0, 0, 1}},
        QcCase{"half_not_flipped", {0, 1, 1, 2}, 0, 1, true, true, false, {0, 1, 1, 2}},
        QcCase{"missing_rate_equal_keeps", kTenMissing2, 0, 0.2f, false, true, false, kTenMissing2},
        QcCase{"missing_rate_above_drops", kTenMissing3, 0, 0.2f, false, false, false, {}},
        // 0.05 narrowed to float is just above 0.05, so m = 0.05 is dropped.
        QcCase{"maf_f32_boundary_drops", kOneAltInTen, 0.05f, 1, true, false, false, {}},
        QcCase{"maf_below_keeps", kOneAltInTen, 0.04f, 1, true, true, false, kOneAltInTen},
        QcCase{"maf_exact_quarter_keeps", {0, 1, 0, 1}, 0.25f, 1, true, true, false, {0, 1, 0, 1}},
        QcCase{"all_missing_fill", {-9, -9, -9}, 0, 1, true, true, false, {0, 0, 0}},
        QcCase{"all_missing_dropped_by_rate", {-9, -9}, 0, 0.5f, true, false, false, {}},
        QcCase{"all_missing_nofill", {-9, -9, -9}, 0, 1, false, true, false, {-9, -9, -9}},
        QcCase{"all_missing_positive_maf", {-9, -9}, 1e-6f, 1, true, false, false, {}},
        QcCase{"fill_mean_one", {0, 1, -9, 2}, 0, 1, true, true, false, {0, 1, 1, 2}},
        QcCase{"fill_third", {0, 0, -9, 1}, 0, 1, true, true, false, {0, 0, kThird, 1}},
        QcCase{"flip_then_fill", {2, 2, -9, 1}, 0, 1, true, true, true, {0, 0, kThird, 1}},
        QcCase{"monomorphic_kept_at_zero", {0, 0, 0}, 0, 1, true, true, false, {0, 0, 0}},
        QcCase{"monomorphic_dropped", {0, 0, 0}, 0.01f, 1, true, false, false, {}},
        QcCase{"all_alt_flipped", {2, 2, 2}, 0, 1, true, true, true, {0, 0, 0}},
        QcCase{"negative_miss_drops", {0, 1, 2}, 0, -0.1f, true, false, false, {}},
        QcCase{"negative_maf_keeps", {0, 0, 0}, -1, 1, true, true, false, {0, 0, 0}}),
    [](const ::testing::TestParamInfo<QcCase>& info) { return std::string(info.param.name); });
