// PLINK reading internals that Python cannot reach: the decode and count tables against a scalar
// reference, window arithmetic, the allocation-free read paths, site_at from several threads, and
// the windowed mode's failure kinds.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "gfcore/genotype.hpp"
#include "gfcore/plink.hpp"
#include "gfreader/selection.hpp"

using namespace korvex;

namespace {

// Scalar reference: decode codes one by one, then the genotype model's own QC routine.
bool reference_site(const std::vector<std::uint8_t>& row, std::size_t n, const QcOptions& qc,
                    std::vector<float>& values, SiteInfo& site) {
  static constexpr float kValue[4] = {0.0f, -9.0f, 1.0f, 2.0f};
  values.assign(n, 0.0f);
  for (std::size_t j = 0; j < n; ++j) values[j] = kValue[(row[j / 4] >> (2 * (j % 4))) & 3];
  return apply_site_qc(values, site, qc);
}

std::vector<std::uint8_t> random_row(std::mt19937_64& rng, std::size_t n, double p_missing,
                                     double p_alt) {
  std::vector<std::uint8_t> row((n + 3) / 4, 0);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  for (std::size_t j = 0; j < n; ++j) {
    unsigned code;
    if (u(rng) < p_missing) {
      code = 1;
    } else {
      const int copies = (u(rng) < p_alt) + (u(rng) < p_alt);
      code = copies == 0 ? 0 : copies == 1 ? 2 : 3;
    }
    row[j / 4] |= static_cast<std::uint8_t>(code << (2 * (j % 4)));
  }
  // Garbage in the unused slots of the last byte must be ignored.
  if (n % 4 != 0) row.back() |= static_cast<std::uint8_t>(0xFFu << (2 * (n % 4)));
  return row;
}

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/korvex_plink_XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Writes prefix.fam / .bim / .bed for random genotypes; returns the packed rows.
std::vector<std::vector<std::uint8_t>> write_fileset(const std::string& prefix, std::size_t n,
                                                     std::size_t m, std::uint64_t seed,
                                                     std::size_t extra_bytes = 0) {
  std::mt19937_64 rng(seed);
  std::string fam, bim, bed = "\x6c\x1b\x01";
  for (std::size_t j = 0; j < n; ++j) fam += "f i" + std::to_string(j) + " 0 0 0 -9\n";
  std::vector<std::vector<std::uint8_t>> rows;
  for (std::size_t i = 0; i < m; ++i) {
    bim += "1\trs" + std::to_string(i) + "\t0\t" + std::to_string(100 + i) + "\tA\tG\n";
    // Every fourth site all-missing or nearly fixed; others spread across frequencies.
    const double p_alt = (i % 4 == 3) ? 0.97 : 0.05 + 0.9 * static_cast<double>(i % 17) / 16.0;
    const double p_miss = (i % 11 == 5) ? 1.0 : 0.05;
    if (n > 100000) {
      // Wide rows: uniform random codes, generated a word at a time.
      std::vector<std::uint8_t> row((n + 3) / 4);
      for (std::size_t b = 0; b < row.size(); b += 8) {
        const std::uint64_t word = rng();
        std::memcpy(row.data() + b, &word, std::min<std::size_t>(8, row.size() - b));
      }
      rows.push_back(std::move(row));
    } else {
      rows.push_back(random_row(rng, n, p_miss, p_alt));
    }
    bed.append(reinterpret_cast<const char*>(rows.back().data()), rows.back().size());
  }
  bed.append(extra_bytes, '\x55');
  write_file(prefix + ".fam", fam);
  write_file(prefix + ".bim", bim);
  write_file(prefix + ".bed", bed);
  return rows;
}

struct Read {
  std::vector<std::vector<float>> values;
  std::vector<SiteInfo> sites;
};

Read read_all(PlinkFileset& fs) {
  Read r;
  while (true) {
    auto s = fs.next_site();
    EXPECT_TRUE(s.has_value());
    if (!s || !*s) break;
    r.values.push_back((*s)->values);
    r.sites.push_back((*s)->site);
  }
  return r;
}

bool same_site(const SiteInfo& a, const SiteInfo& b) {
  return a.chrom == b.chrom && a.pos == b.pos && a.ref_allele == b.ref_allele &&
         a.alt_allele == b.alt_allele;
}

}  // namespace

TEST(PlinkDecode, MatchesScalarDecodeAndSiteQc) {
  std::mt19937_64 rng(42);
  const std::vector<QcOptions> options = {
      QcOptions{},
      QcOptions{0.0f, 1.0f, false},
      QcOptions{0.05f, 0.1f, true},
      QcOptions{0.3f, 0.02f, false},
      QcOptions{-1.0f, -1.0f, true},
  };
  for (std::size_t n : {1u, 2u, 3u, 4u, 5u, 7u, 8u, 255u, 256u, 257u, 1001u, 4099u}) {
    for (int trial = 0; trial < 12; ++trial) {
      const double p_alt = (trial % 6) / 5.0;
      const double p_miss = trial >= 6 ? (trial == 11 ? 1.0 : 0.1) : 0.0;
      const auto row = random_row(rng, n, p_miss, p_alt);
      for (const QcOptions& qc : options) {
        std::vector<float> want;
        SiteInfo ref_site{"1", 5, "A", "G"};
        const bool keep = reference_site(row, n, qc, want, ref_site);
        const SitePlan plan = plan_site(row, n, qc);
        ASSERT_EQ(plan.keep, keep) << "n=" << n << " trial=" << trial;
        if (!keep) continue;
        EXPECT_EQ(plan.flip, ref_site.ref_allele == "G");
        std::vector<float> got(n + 4, 123.0f);
        decode_row(row, n, plan, got.data());
        for (std::size_t j = 0; j < n; ++j) ASSERT_EQ(got[j], want[j]) << "n=" << n << " j=" << j;
        for (std::size_t j = n; j < n + 4; ++j) ASSERT_EQ(got[j], 123.0f);  // nothing past n
        // Gather in reverse order with a stride, as a sample selection would.
        std::vector<std::size_t> idx;
        for (std::size_t j = n; j-- > 0;)
          if (j % 3 != 1) idx.push_back(j);
        std::vector<float> gathered(idx.size());
        decode_row_gather(row, plan, idx, gathered.data());
        for (std::size_t k = 0; k < idx.size(); ++k) ASSERT_EQ(gathered[k], want[idx[k]]);
      }
    }
  }
}

TEST(PlinkWindow, SitesPerWindowAndSaturation) {
  EXPECT_EQ(window_sites(1, 250000), 4u);
  EXPECT_EQ(window_sites(1, 1048577), 1u);  // never below one site
  EXPECT_EQ(window_sites(3, 1), 3u * 1048576u);
  EXPECT_EQ(window_sites(17592186044415ull, 1), 17592186044415ull * 1048576ull);
  EXPECT_EQ(window_sites(17592186044416ull, 1), ~0ull);  // saturates
  EXPECT_EQ(window_sites(~0ull, 7), ~0ull / 7);
}

TEST(PlinkWindow, PlanAlignsToPagesAndClipsAtTheEnd) {
  // B = 250,000, 10 complete sites plus 100 stray bytes; W = 4; pages of 4096.
  const std::uint64_t B = 250000, L = 3 + 10 * B + 100;
  auto w0 = plan_window(0, 4, B, L, 4096);
  ASSERT_TRUE(w0);
  EXPECT_EQ(w0->offset, 0u);
  EXPECT_EQ(w0->first, 0u);
  EXPECT_EQ(w0->count, 4u);
  EXPECT_EQ(w0->length, 3 + 4 * B);
  auto w1 = plan_window(4, 4, B, L, 4096);
  ASSERT_TRUE(w1);
  const std::uint64_t o = 3 + 4 * B;
  EXPECT_EQ(w1->offset, o - o % 4096);
  EXPECT_EQ(w1->length, (o - w1->offset) + 4 * B);
  auto w2 = plan_window(8, 4, B, L, 4096);  // only two sites left
  ASSERT_TRUE(w2);
  EXPECT_EQ(w2->count, 2u);
  const std::uint64_t o2 = 3 + 8 * B;
  EXPECT_EQ(w2->length, (o2 - w2->offset) + 2 * B);
  for (std::uint64_t i = 8; i < 10; ++i) EXPECT_TRUE(row_in_mapping(i, B, w2->offset, w2->length));
  EXPECT_FALSE(row_in_mapping(7, B, w2->offset, w2->length));
  EXPECT_FALSE(row_in_mapping(10, B, w2->offset, w2->length));

  // A window may be clipped by the file end (length = L - a) when the file stops mid-row.
  auto clipped = plan_window(0, 100, 1, 3 + 5, 4096);
  ASSERT_TRUE(clipped);
  EXPECT_EQ(clipped->count, 5u);
  EXPECT_EQ(clipped->length, 8u);
  // A page size below 1 falls back to 4096.
  auto odd = plan_window(5000, 1, 1, 10000, 0);
  ASSERT_TRUE(odd);
  EXPECT_EQ(odd->offset, 4096u);

  auto small = plan_window(0, 1, 1, 2, 4096);
  ASSERT_FALSE(small);
  EXPECT_EQ(small.error().message, "BED too small");
  auto past = plan_window(10, 4, B, L, 4096);
  ASSERT_FALSE(past);
  EXPECT_EQ(past.error().message, "window start SNP out of range");
  EXPECT_EQ(past.error().kind, ErrorKind::OperationFailed);
}

TEST(PlinkWindow, RowInMappingBoundaries) {
  // Row i of B = 10 spans [3 + 10 i, 13 + 10 i).
  EXPECT_TRUE(row_in_mapping(0, 10, 0, 13));
  EXPECT_FALSE(row_in_mapping(0, 10, 0, 12));
  EXPECT_TRUE(row_in_mapping(2, 10, 23, 10));
  EXPECT_FALSE(row_in_mapping(2, 10, 24, 100));
  EXPECT_FALSE(row_in_mapping(~0ull / 2, 10, 0, ~0ull));  // offset overflow is "not readable"
}

TEST(PlinkFileset, WholeWindowedAndFastPathsAgree) {
  TempDir dir;
  const std::string prefix = dir.file("set");
  const std::size_t n = 4097, m = 41;  // B = 1025: windows of 1 MiB hold 1023 sites
  const auto rows = write_fileset(prefix, n, m, 7, /*extra_bytes=*/5);
  const QcOptions qc{0.02f, 0.5f, true};

  auto whole = open_fileset(prefix, qc);
  ASSERT_TRUE(whole) << whole.error().message;
  const Read expected = read_all(*whole);
  EXPECT_EQ(whole->cursor(), m);
  ASSERT_GT(expected.values.size(), 10u);
  ASSERT_LT(expected.values.size(), m);  // some sites dropped

  // Reference through the scalar decode.
  std::size_t k = 0;
  for (std::size_t i = 0; i < m; ++i) {
    std::vector<float> v;
    SiteInfo s = whole->sites()[i];
    if (!reference_site(rows[i], n, qc, v, s)) continue;
    ASSERT_LT(k, expected.values.size());
    EXPECT_EQ(expected.values[k], v);
    EXPECT_TRUE(same_site(expected.sites[k], s));
    ++k;
  }
  EXPECT_EQ(k, expected.values.size());

  // One window holds every site here; ManyWindowsMatchWholeFile covers window changes.
  auto windowed = open_fileset_windowed(prefix, qc, 1);
  ASSERT_TRUE(windowed) << windowed.error().message;
  EXPECT_EQ(windowed->window_size_sites(), 1023u);
  const Read got = read_all(*windowed);
  EXPECT_EQ(got.values, expected.values);

  // next_into with all samples and with a gather, and read_at, give the same rows.
  auto again = open_fileset(prefix, qc);
  ASSERT_TRUE(again);
  std::vector<std::size_t> pick = {4096, 0, 17, 4095, 3};
  std::vector<float> buf(n), picked(pick.size());
  SiteInfo site;
  for (std::size_t r = 0; r < expected.values.size(); ++r) {
    auto idx = again->next_into(buf.data(), &site);
    ASSERT_TRUE(idx && *idx);
    EXPECT_EQ(buf, expected.values[r]);
    EXPECT_TRUE(same_site(site, expected.sites[r]));
    auto kept = whole->read_at(**idx, pick, picked.data(), nullptr);
    ASSERT_TRUE(kept && *kept);
    for (std::size_t q = 0; q < pick.size(); ++q) EXPECT_EQ(picked[q], expected.values[r][pick[q]]);
  }
  auto end = again->next_into(buf.data(), &site);
  ASSERT_TRUE(end);
  EXPECT_FALSE(end->has_value());
}

TEST(PlinkFileset, ManyWindowsMatchWholeFile) {
  // B = 262,145 bytes: a 1 MiB window holds 3 sites, and window starts are not page aligned.
  TempDir dir;
  const std::string prefix = dir.file("wide");
  const std::size_t n = 1048577, m = 8;
  write_fileset(prefix, n, m, 3);
  auto whole = open_fileset(prefix, QcOptions{});
  auto windowed = open_fileset_windowed(prefix, QcOptions{}, 1);
  ASSERT_TRUE(whole && windowed);
  EXPECT_EQ(windowed->window_size_sites(), 3u);
  const Read a = read_all(*whole);
  const Read b = read_all(*windowed);
  ASSERT_EQ(a.values.size(), m);
  EXPECT_EQ(a.values, b.values);
}

TEST(PlinkFileset, SiteAtIsPureAndThreadSafe) {
  TempDir dir;
  const std::string prefix = dir.file("set");
  const std::size_t n = 301, m = 64;
  write_fileset(prefix, n, m, 11);
  auto fs = open_fileset(prefix, QcOptions{0.01f, 0.9f, true});
  ASSERT_TRUE(fs);
  std::vector<std::optional<SiteRow>> serial(m);
  for (std::size_t i = 0; i < m; ++i) {
    auto r = fs->site_at(i);
    ASSERT_TRUE(r);
    serial[i] = *r;
  }
  EXPECT_EQ(fs->cursor(), 0u);
  auto past = fs->site_at(m);
  ASSERT_TRUE(past);
  EXPECT_FALSE(past->has_value());

  std::vector<std::thread> threads;
  std::vector<int> mismatches(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int rep = 0; rep < 20; ++rep)
        for (std::size_t i = 0; i < m; ++i) {
          auto r = fs->site_at((i * 7 + static_cast<std::size_t>(t)) % m);
          const auto& want = serial[(i * 7 + static_cast<std::size_t>(t)) % m];
          if (!r || r->has_value() != want.has_value() ||
              (want && ((*r)->values != want->values || !same_site((*r)->site, want->site))))
            ++mismatches[static_cast<std::size_t>(t)];
        }
    });
  }
  for (auto& th : threads) th.join();
  for (int c : mismatches) EXPECT_EQ(c, 0);
}

TEST(PlinkFileset, WindowedFailureKinds) {
  TempDir dir;
  const std::string prefix = dir.file("set");
  write_fileset(prefix, 9, 5, 1);
  auto windowed = open_fileset_windowed(prefix, QcOptions{}, 1);
  ASSERT_TRUE(windowed);
  auto random = windowed->site_at(0);
  ASSERT_FALSE(random);
  EXPECT_EQ(random.error().kind, ErrorKind::Fatal);
  EXPECT_EQ(random.error().message, "windowed mmap does not support random SNP access");
  std::vector<float> buf(9);
  auto random2 = windowed->read_at(0, buf.data(), nullptr);
  ASSERT_FALSE(random2);
  EXPECT_EQ(random2.error().kind, ErrorKind::Fatal);

  // A file that shrinks after opening: the next window cannot be planned, which is a broken
  // invariant reported as a fatal error, never a read past the end of the file.
  const std::string wide = dir.file("wide");
  write_fileset(wide, 1048577, 4, 2);  // 3 sites per 1 MiB window
  auto fs = open_fileset_windowed(wide, QcOptions{}, 1);
  ASSERT_TRUE(fs);
  ASSERT_EQ(truncate((wide + ".bed").c_str(), 3 + 3 * 262145), 0);
  int kept = 0;
  while (true) {
    auto r = fs->next_site();
    if (!r) {
      EXPECT_EQ(r.error().kind, ErrorKind::Fatal);
      EXPECT_EQ(r.error().message, "failed to remap BED window: window start SNP out of range");
      break;
    }
    ASSERT_TRUE(r->has_value()) << "reading ended without the remap failure";
    ++kept;
  }
  EXPECT_EQ(kept, 3);
}

TEST(PlinkFileset, OpenChecksTheBedLengthInBothModes) {
  TempDir dir;
  const std::string prefix = dir.file("set");
  write_fileset(prefix, 5, 3, 1);  // 3 + 3 * 2 = 9 bytes
  ASSERT_EQ(truncate((prefix + ".bed").c_str(), 8), 0);
  auto whole = open_fileset(prefix, QcOptions{});
  ASSERT_FALSE(whole);
  EXPECT_EQ(whole.error().message, "BED file is truncated: expected 9 bytes, found 8");
  auto windowed = open_fileset_windowed(prefix, QcOptions{}, 1);
  ASSERT_FALSE(windowed);
  EXPECT_EQ(windowed.error().message, "BED file is truncated: expected 9 bytes, found 8");
  EXPECT_EQ(windowed.error().kind, ErrorKind::OperationFailed);
}

TEST(Selection, LinearTimeOnLargeInputs) {
  // 200,000 distinct indices and IDs resolve quickly (a quadratic scan would take minutes).
  const std::size_t n = 200000;
  std::vector<std::string> fam(n);
  for (std::size_t k = 0; k < n; ++k) fam[k].append("s").append(std::to_string(k));
  std::vector<std::string> ids(fam.rbegin(), fam.rend());
  auto sel = resolve_sample_selection(fam, ids, std::nullopt);
  ASSERT_TRUE(sel);
  EXPECT_EQ(sel->indices.front(), n - 1);
  EXPECT_FALSE(sel->identity);
  std::vector<SiteInfo> sites(n);
  std::vector<std::uint64_t> idx(n);
  for (std::size_t k = 0; k < n; ++k) idx[k] = n - 1 - k;
  auto snp = resolve_snp_selection(sites, std::nullopt, idx, std::nullopt);
  ASSERT_TRUE(snp);
  EXPECT_EQ(snp->indices.size(), n);
  std::vector<std::uint64_t> iota(n);
  for (std::size_t k = 0; k < n; ++k) iota[k] = k;
  auto same = resolve_sample_selection(fam, std::nullopt, iota);
  ASSERT_TRUE(same);
  EXPECT_TRUE(same->identity);
}
