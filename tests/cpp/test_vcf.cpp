// LineSource internals (buffer growth, CRLF, gzip members, sticky read failures, UTF-8), the shared
// UTF-8 validator, and the VCF line helpers shared by the reader, conversion and merge.
#include <gtest/gtest.h>

#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "gfcore/file_io.hpp"
#include "gfcore/line_source.hpp"
#include "gfcore/vcf.hpp"

using namespace korvex;

namespace {

std::string temp_path(const std::string& name) {
  return testing::TempDir() + "korvex_vcf_" + std::to_string(::getpid()) + "_" + name;
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// One complete gzip member holding `text` (zlib's deflate with the gzip wrapper).
std::string gzip_member(const std::string& text) {
  z_stream zs{};
  EXPECT_EQ(deflateInit2(&zs, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&zs, text.size()) + 64, '\0');
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  zs.avail_in = static_cast<uInt>(text.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

// Every line of the source, or the error text in place of the line that failed.
struct Lines {
  std::vector<std::string> lines;
  std::string error;
};

Lines read_all(const std::string& path) {
  Lines r;
  auto src = open_lines(path);
  if (!src) {
    r.error = "open: " + src.error().message;
    return r;
  }
  std::string_view line;
  for (;;) {
    auto got = src->next_line(line);
    if (!got) {
      r.error = got.error().message;
      EXPECT_EQ(got.error().kind, ErrorKind::IoFailure);
      return r;
    }
    if (!*got) return r;
    r.lines.emplace_back(line);
  }
}

std::string long_line(std::size_t n, char fill) {
  std::string s;
  s.reserve(n + 1);
  for (std::size_t i = 0; i < n; ++i) s += static_cast<char>(fill + static_cast<char>(i % 7));
  return s + "\n";
}

}  // namespace

TEST(LineSource, LongLinesCrlfAndMissingFinalNewlineInPlainAndGzip) {
  // Lines longer than the 8 KiB of a classic line buffer and longer than the initial 128 KiB
  // decode buffer, so the buffer has to grow while a line is unfinished.
  const std::vector<std::string> expected = {
      "first\r\n", long_line(9000, 'a'), "\n", long_line(300000, 'b'), "mid\r\n",
      long_line(140000, 'c'), "last line without newline"};
  std::string text;
  for (const auto& l : expected) text += l;

  const std::string plain = temp_path("long.vcf");
  write_file(plain, text);
  // The same text as three gzip members whose boundaries fall inside lines.
  const std::string gz = temp_path("long.vcf.gz");
  write_file(gz, gzip_member(text.substr(0, 3)) + gzip_member(text.substr(3, 150000)) +
                     gzip_member(text.substr(150003)));
  for (const auto& path : {plain, gz}) {
    const Lines got = read_all(path);
    EXPECT_EQ(got.error, "") << path;
    EXPECT_EQ(got.lines, expected) << path;
  }
  std::remove(plain.c_str());
  std::remove(gz.c_str());
}

TEST(LineSource, EveryByteOffsetAsAMemberBoundary) {
  // A member boundary at every position of a short text, including right before and after "\n".
  const std::string text = "##m\n#CHROM\tx\r\n1\t2\n\n";
  const std::string path = temp_path("split.gz");
  for (std::size_t cut = 0; cut <= text.size(); ++cut) {
    write_file(path, gzip_member(text.substr(0, cut)) + gzip_member(text.substr(cut)));
    const Lines got = read_all(path);
    EXPECT_EQ(got.error, "") << cut;
    EXPECT_EQ(got.lines, (std::vector<std::string>{"##m\n", "#CHROM\tx\r\n", "1\t2\n", "\n"}))
        << cut;
  }
  std::remove(path.c_str());
}

TEST(LineSource, EmptyFilesHaveNoLines) {
  for (const char* name : {"empty.vcf", "empty.vcf.gz"}) {
    const std::string path = temp_path(name);
    write_file(path, "");
    const Lines got = read_all(path);
    EXPECT_EQ(got.error, "") << name;
    EXPECT_TRUE(got.lines.empty()) << name;
    std::remove(path.c_str());
  }
}

TEST(LineSource, DecoderChosenByTheNameOnly) {
  for (const auto& [name, gz] : std::vector<std::pair<std::string, bool>>{
           {"a.vcf.gz", true}, {"dir/x.gz", true}, {"a.GZ", false}, {"a.gzip", false},
           {"a.vcf", false}, {"a.gz.vcf", false}, {"dir.gz/a", false}, {"gz", false}})
    EXPECT_EQ(has_gz_extension(name), gz) << name;

  // gzip bytes under a plain name are text (invalid UTF-8 at the first line); plain text under a
  // .gz name fails at the first read with the decoder's message.
  const std::string member = gzip_member("#CHROM\n");
  const std::string as_text = temp_path("gzip_as.vcf");
  write_file(as_text, member);
  EXPECT_EQ(read_all(as_text).error, "invalid UTF-8 in line 1");
  const std::string as_gz = temp_path("text_as.vcf.gz");
  write_file(as_gz, "#CHROM\tPOS\n");
  EXPECT_EQ(read_all(as_gz).error, "incorrect header check");
  std::remove(as_text.c_str());
  std::remove(as_gz.c_str());
}

TEST(LineSource, ReadFailuresAreStickyAndKeepTheLinesBefore) {
  const std::string text = "line1\nline2\n" + long_line(200000, 'd') + "tail\n";
  const std::string member = gzip_member(text);
  struct Case {
    const char* name;
    std::string bytes;
    std::string error;
    std::size_t lines_before;  // lines returned before the failure (at least)
  };
  std::string corrupt = member;
  corrupt[corrupt.size() - 6] ^= 0x55;  // inside the CRC-32 of the trailer
  const std::vector<Case> cases = {
      {"truncated.gz", member.substr(0, member.size() / 2), "unexpected end of gzip stream", 2},
      {"no_trailer.gz", member.substr(0, member.size() - 4), "unexpected end of gzip stream", 3},
      // The check fails in the decoding step that produced the member's last bytes: what that
      // step decoded is withheld, so how many lines come first depends on the buffer size.
      {"bad_crc.gz", corrupt, "incorrect data check", 0},
      {"garbage_after.gz", member + "xyz", "incorrect header check", 4},
      {"second_truncated.gz", member + member.substr(0, 30), "unexpected end of gzip stream", 4},
  };
  for (const auto& c : cases) {
    const std::string path = temp_path(c.name);
    write_file(path, c.bytes);
    auto src = open_lines(path);
    ASSERT_TRUE(src.has_value()) << c.name;
    std::string_view line;
    std::size_t n = 0;
    Result<bool> got;
    while ((got = src->next_line(line)) && *got) ++n;
    ASSERT_FALSE(got.has_value()) << c.name;
    EXPECT_EQ(got.error().message, c.error) << c.name;
    EXPECT_GE(n, c.lines_before) << c.name;
    EXPECT_LE(n, 4u) << c.name;
    // The failure stays: further reads report it again, never an end of input.
    for (int i = 0; i < 2; ++i) {
      auto again = src->next_line(line);
      ASSERT_FALSE(again.has_value()) << c.name;
      EXPECT_EQ(again.error().message, c.error) << c.name;
    }
    ASSERT_TRUE(src->failure().has_value());
    EXPECT_EQ(src->failure()->message, c.error);
    std::remove(path.c_str());
  }
}

TEST(LineSource, InvalidUtf8IsAReadFailureNamingTheLine) {
  const std::string path = temp_path("utf8.vcf");
  write_file(path, "ok \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\nsecond\nbad \xc3\x28 here\nafter\n");
  const Lines got = read_all(path);
  EXPECT_EQ(got.lines, (std::vector<std::string>{
                           "ok \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\n", "second\n"}));
  EXPECT_EQ(got.error, "invalid UTF-8 in line 3");
  std::remove(path.c_str());
}

TEST(LineSource, OpenAndReadErrorsCarryTheSystemText) {
  auto missing = open_lines(temp_path("does_not_exist.vcf"));
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().message, "No such file or directory");
  EXPECT_EQ(missing.error().kind, ErrorKind::OperationFailed);
  // A directory opens but cannot be read.
  EXPECT_EQ(read_all(testing::TempDir()).error, "Is a directory");
}

TEST(Utf8, ValidatorTable) {
  const std::string ascii_run(100, 'x');
  struct Case {
    std::string text;
    bool valid;
  };
  const std::vector<Case> cases = {
      {"", true},
      {ascii_run, true},
      {ascii_run + "\xc3\xa9" + ascii_run, true},
      {std::string("nul\0inside", 10), true},
      {"\xf4\x8f\xbf\xbf", true},           // U+10FFFF
      {"\xed\x9f\xbf", true},               // U+D7FF
      {"\xee\x80\x80", true},               // U+E000
      {ascii_run + "\x80", false},          // stray continuation
      {"\xc0\xaf", false},                  // overlong "/"
      {"\xc1\xbf", false},                  // overlong
      {"\xe0\x80\xaf", false},              // overlong 3-byte
      {"\xf0\x80\x80\xaf", false},          // overlong 4-byte
      {"\xed\xa0\x80", false},              // surrogate U+D800
      {"\xf4\x90\x80\x80", false},          // above U+10FFFF
      {"\xf5\x80\x80\x80", false},
      {"\xff", false},
      {ascii_run + "\xe2\x82", false},      // sequence cut at the end
      {"\xe2\x28\xa1", false},              // bad continuation
  };
  for (const auto& c : cases) EXPECT_EQ(is_valid_utf8(c.text), c.valid) << c.text.size();
}

TEST(VcfLines, GtTableFirstSubfieldOnly) {
  // One column per case; the expected values are the GT table's.
  const std::vector<std::pair<std::string, float>> cases = {
      {"0/0", 0}, {"0|0", 0}, {"0/1", 1}, {"1/0", 1}, {"0|1", 1}, {"1|0", 1}, {"1/1", 2},
      {"1|1", 2}, {"./.", -9}, {".", -9}, {"0", -9}, {"1", -9}, {"1/2", -9}, {"0/.", -9},
      {"", -9}, {"0/0/1", -9}, {"0/1:35", 1}, {":0/1", -9}, {"12:0|1", -9}, {"0\\1", -9},
      {"0/1 ", -9}, {"00/1", -9}, {"0/11", -9}, {"1|1:", 2}, {"0-1", -9}, {"o/1", -9}};
  std::string samples;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    if (i) samples += '\t';
    samples += cases[i].first;
    EXPECT_EQ(gt_value(cases[i].first.substr(0, cases[i].first.find(':'))), cases[i].second)
        << cases[i].first;
  }
  std::vector<float> out(cases.size(), 99.0f);
  ASSERT_EQ(decode_gt_row(samples, out), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(out[i], cases[i].second) << cases[i].first;

  // More columns than room: counted, not written.
  std::vector<float> two(2, 99.0f);
  EXPECT_EQ(decode_gt_row("0/1\t1/1\t0/0", two), 3u);
  EXPECT_EQ(two, (std::vector<float>{1, 2}));
  EXPECT_EQ(decode_gt_row("0/1", two), 1u);
}

TEST(VcfLines, LongRowsMatchTheTablePerColumnAtEveryCapacity) {
  // Long rows exercise the four-at-a-time path; odd columns are sprinkled in at random places so
  // that it falls back and resumes at every alignment.
  const std::vector<std::string> pool = {"0/0", "0/1", "1/0", "1/1", "0|0", "0|1", "1|0", "1|1",
                                         "./.", ".|.", "1/2", "0/1:7", "1|1:3:x", ".", "0",
                                         "", "0/0/1", "2|0", "0/1 "};
  std::uint32_t state = 12345;
  auto next = [&state]() {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
  };
  for (int trial = 0; trial < 200; ++trial) {
    const std::size_t n = 1 + next() % 70;
    const std::size_t common = 8 + next() % 12;  // share of the first eight (common) texts
    std::string samples;
    std::vector<float> expected;
    for (std::size_t i = 0; i < n; ++i) {
      const std::string& col = next() % 20 < common ? pool[next() % 8] : pool[next() % pool.size()];
      if (i) samples += '\t';
      samples += col;
      expected.push_back(gt_value(std::string_view(col).substr(0, col.find(':'))));
    }
    for (std::size_t cap : {n, n + 3, n > 1 ? n - 1 : 0, n / 2, std::size_t{0}}) {
      std::vector<float> out(cap + 8, 77.0f);  // 8 sentinels after the room given
      ASSERT_EQ(decode_gt_row(samples, std::span<float>(out.data(), cap)), n) << samples;
      const std::size_t written = std::min(cap, n);
      for (std::size_t i = 0; i < written; ++i) ASSERT_EQ(out[i], expected[i]) << samples << " @" << i;
      for (std::size_t i = written; i < out.size(); ++i) ASSERT_EQ(out[i], 77.0f) << samples;
    }
  }
}

TEST(VcfLines, RecordSplitSkipsMalformedLines) {
  VcfRecordView r;
  ASSERT_TRUE(split_vcf_record("chr1\t12a\trs1\tA\tG,T\t.\tFAIL\t.\tDP:GT\t0/1\t1/1\t\r\n", r));
  EXPECT_EQ(r.chrom, "chr1");
  EXPECT_EQ(r.pos, "12a");
  EXPECT_EQ(r.ref, "A");
  EXPECT_EQ(r.alt, "G,T");
  EXPECT_EQ(r.samples, "0/1\t1/1");  // the trailing tab and CRLF are gone
  for (const char* skipped : {
           "#comment\t1\t.\tA\tG\t.\t.\t.\tGT\t0/0\n",
           "\n", "   \t  \r\n", "",
           "1\t5\t.\tA\tG\t.\t.\t.\tGT\n",                 // 9 columns
           "1\t5\t.\tA\tG\t.\t.\t.\tGT\t\t\n",             // 9 columns once trailing tabs go
           "1\t5\t.\tA\tG\t.\t.\t.\tDP\t0/0\n",            // no GT key
           "1\t5\t.\tA\tG\t.\t.\t.\tGTX:DP\t0/0\n",        // GT must be a whole piece
           "1 5 . A G . . . GT 0/0\n",                     // spaces are not separators
       })
    EXPECT_FALSE(split_vcf_record(skipped, r)) << skipped;
  ASSERT_TRUE(split_vcf_record(" 1\t5\t.\tA\tG\t.\t.\t.\tDP:GQ:GT\t0/0", r));
  EXPECT_EQ(r.chrom, " 1");
  EXPECT_EQ(r.samples, "0/0");
}

TEST(VcfLines, HeaderRules) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<std::string> samples;  // empty: error expected
    std::string error;
  };
  const std::string fixed = "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT";
  const std::vector<Case> cases = {
      {"plain.vcf", "##a\n#CHRO\nx\n" + fixed + "\tS1\t\tS3 \t \n1\t1\n", {"S1", "", "S3"}, ""},
      {"chromosome.vcf", "#CHROMOSOME\tb\tc\td\te\tf\tg\th\ti\tj\r\n", {"j"}, ""},
      {"short.vcf", fixed + "\t\t\n", {}, "#CHROM header too short"},
      {"none.vcf", "##x\n1\t2\t.\tA\tG\t.\t.\t.\tGT\t0/0\n", {}, "No #CHROM header found in VCF"},
  };
  for (const auto& c : cases) {
    const std::string path = temp_path(c.name);
    write_file(path, c.text);
    auto src = open_lines(path);
    ASSERT_TRUE(src.has_value());
    auto samples = read_vcf_header(*src);
    if (c.error.empty()) {
      ASSERT_TRUE(samples.has_value()) << c.name << ": " << samples.error().message;
      EXPECT_EQ(*samples, c.samples) << c.name;
    } else {
      ASSERT_FALSE(samples.has_value()) << c.name;
      EXPECT_EQ(samples.error().message, c.error) << c.name;
      EXPECT_EQ(samples.error().kind, ErrorKind::OperationFailed) << c.name;
    }
    std::remove(path.c_str());
  }
}

TEST(VcfStream, MismatchedSampleCountIsReportedOnceBeforeQc) {
  const std::string path = temp_path("mismatch.vcf");
  const std::string fixed = "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tA\tB\n";
  write_file(path, fixed + "1\t10\t.\tA\tG\t.\t.\t.\tGT\t1/1\t0/1\n" +
                       "1\t11\t.\tC\tT\t.\t.\t.\tGT\t0/0\t0/0\t0/0\n" +
                       "1\t12\t.\tC\tT\t.\t.\t.\tGT\t0/1\t0/0\n");
  // A maf threshold that would drop the bad (monomorphic) line still reports it.
  auto stream = open_vcf(path, QcOptions{0.01f, 1.0f, true});
  ASSERT_TRUE(stream.has_value());
  SiteRow row;
  auto first = stream->next_site(row);
  ASSERT_TRUE(first.has_value() && *first);
  EXPECT_EQ(row.values, (std::vector<float>{0, 1}));
  EXPECT_EQ(row.site.ref_allele, "G");
  EXPECT_EQ(row.site.alt_allele, "A");
  auto bad = stream->next_site(row);
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().kind, ErrorKind::OperationFailed);
  EXPECT_EQ(bad.error().message, "VCF line at 1:11 has 3 sample columns, header has 2");
  // Reported once: the stream reads on after the bad line.
  auto next = stream->next_site(row);
  ASSERT_TRUE(next.has_value() && *next);
  EXPECT_EQ(row.site.pos, 12);
  std::remove(path.c_str());
}
