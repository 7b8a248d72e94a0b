"""VcfChunkReader and count_vcf_snps on VCF text written by the tests, plain and gzip-compressed."""
import gzip
import inspect
import zlib

import numpy as np
import pytest

import korvex

FIXED = "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT"


def vcf_text(samples, records, meta=("##fileformat=VCFv4.2",)):
    """A VCF text: meta lines, the header, then each record (a tuple of columns or a raw line)."""
    lines = list(meta) + [FIXED + "".join("\t" + s for s in samples)]
    for r in records:
        lines.append(r if isinstance(r, str) else "\t".join(str(c) for c in r))
    return "\n".join(lines) + "\n"


def record(chrom, pos, ref, alt, calls, fmt="GT"):
    return (chrom, pos, ".", ref, alt, ".", "PASS", ".", fmt, *calls)


def write_vcf(tmp_path, text, mode="plain", name=None):
    """Writes `text` as plain text, one gzip member ("gz"), two members split inside a line
    ("gz2"), or one member per two lines like bgzip blocks ("bgz")."""
    data = text.encode()
    if mode == "plain":
        path = tmp_path / (name or "in.vcf")
        path.write_bytes(data)
    else:
        path = tmp_path / (name or "in.vcf.gz")
        if mode == "gz":
            blob = gzip.compress(data)
        elif mode == "gz2":
            cut = len(data) // 2 + 3
            blob = gzip.compress(data[:cut]) + gzip.compress(data[cut:])
        else:
            lines = data.splitlines(keepends=True)
            blob = b"".join(gzip.compress(b"".join(lines[i:i + 2])) for i in range(0, len(lines), 2))
        path.write_bytes(blob)
    return str(path)


def read_all(reader, chunk_size):
    """Every chunk of a reader as (stacked values, [(chrom, pos, ref, alt)], chunk row counts)."""
    rows, sites, sizes = [], [], []
    while (chunk := reader.next_chunk(chunk_size)) is not None:
        g, s = chunk
        assert g.dtype == np.float32 and g.flags.c_contiguous and g.shape == (len(s), len(reader.sample_ids))
        rows.append(g)
        sizes.append(len(s))
        sites += [(x.chrom, x.pos, x.ref_allele, x.alt_allele) for x in s]
    values = np.concatenate(rows) if rows else np.empty((0, len(reader.sample_ids)), np.float32)
    return values, sites, sizes


def qc_reference(raw, ref, alt, maf=0.0, miss=1.0, fill=True):
    """The site QC done independently: drop by missing rate then minor-allele frequency, flip to
    the minor allele when the ALT frequency is above 0.5, fill missing calls with the site mean."""
    v = np.array(raw, dtype=np.float64)
    called = v >= 0
    c = int(called.sum())
    maf, miss = float(np.float32(maf)), float(np.float32(miss))  # thresholds are held in 32 bits
    if 1.0 - c / v.size > miss:
        return None
    if c == 0:
        if maf > 0:
            return None
        return np.full(v.size, 0.0 if fill else -9.0, np.float32), ref, alt
    s = v[called].sum()
    if s / (2 * c) > 0.5:
        v[called] = 2 - v[called]
        s = 2 * c - s
        ref, alt = alt, ref
    p = s / (2 * c)
    if min(p, 1 - p) < maf:
        return None
    out = v.astype(np.float32)
    if fill:
        out[~called] = np.float32(s / c)
    return out, ref, alt


# GT texts with their values from the GT table.
GT_CASES = [("0/0", 0), ("0|0", 0), ("0/1", 1), ("1/0", 1), ("0|1", 1), ("1|0", 1), ("1/1", 2),
            ("1|1", 2), ("./.", -9), (".", -9), ("0", -9), ("1", -9), ("1/2", -9), ("2|2", -9),
            ("0/.", -9), ("", -9), ("0/0/1", -9), ("1|1|1", -9), ("0/1 ", -9), (" 0/1", -9),
            ("0\\1", -9), ("O/1", -9)]


@pytest.fixture(scope="module")
def random_vcf():
    """60 sites x 7 samples drawn from the GT table, with the expected output computed from the
    drawn values (not by parsing the text)."""
    rng = np.random.default_rng(11)
    texts = np.array([t for t, _ in GT_CASES[:14]], dtype=object)
    values = np.array([v for _, v in GT_CASES[:14]], dtype=np.float32)
    idx = rng.integers(0, len(texts), size=(60, 7))
    idx[5] = 6  # all 1/1: flipped to 0 with swapped alleles
    idx[9] = 8  # all missing
    samples = [f"S{i}" for i in range(7)]
    records = [record("chr" + str(1 + i // 30), 1000 + 7 * i, "ACGT"[i % 4], "TGCA"[i % 4], texts[idx[i]])
               for i in range(60)]
    return vcf_text(samples, records), samples, records, values[idx]


def test_surface(tmp_path):
    assert str(inspect.signature(korvex.VcfChunkReader)) == (
        "(path, maf_threshold=None, max_missing_rate=None, fill_missing=None)")
    assert korvex.VcfChunkReader.next_chunk.__text_signature__ == "($self, chunk_size)"
    assert korvex.VcfChunkReader.next_chunk.__doc__ is None
    assert str(inspect.signature(korvex.count_vcf_snps)) == "(path)"
    assert korvex.count_vcf_snps.__doc__ is None
    path = write_vcf(tmp_path, vcf_text(["a"], [record("1", 1, "A", "G", ["0/1"])]))
    with pytest.raises(TypeError, match="fill_missing"):
        korvex.VcfChunkReader(path, fill_missing=1)
    reader = korvex.VcfChunkReader(path=path, fill_missing=np.bool_(False), maf_threshold=0)
    with pytest.raises(AttributeError):
        reader.sample_ids = ["b"]


@pytest.mark.parametrize("mode", ["plain", "gz", "gz2", "bgz"])
def test_every_encoding_gives_the_same_chunks_as_the_reference(tmp_path, random_vcf, mode):
    text, samples, records, raw = random_vcf
    path = write_vcf(tmp_path, text, mode)
    reader = korvex.VcfChunkReader(path)
    assert reader.sample_ids == samples
    values, sites, sizes = read_all(reader, 16)
    assert sizes == [16, 16, 16, 12]
    expected_rows, expected_sites = [], []
    for r, row in zip(records, raw):
        out, ref, alt = qc_reference(row, r[3], r[4])
        expected_rows.append(out)
        expected_sites.append((r[0], r[1], ref, alt))
    np.testing.assert_array_equal(values, np.array(expected_rows))
    assert sites == expected_sites
    assert sites[5][2:] == (records[5][4], records[5][3]) and not values[5].any()
    assert not values[9].any()
    assert reader.next_chunk(16) is None and reader.next_chunk(1) is None
    assert korvex.count_vcf_snps(path) == 60


def test_gt_table_uses_the_first_subfield_only(tmp_path):
    # Each GT text sits beside two 0/0 calls, so no site is flipped; fill is off to keep -9.
    records = [record("1", i + 1, "A", "G", [t, "0/0", "0/0"]) for i, (t, _) in enumerate(GT_CASES)]
    records += [record("2", 1, "A", "G", ["0|1:12", "0/0:1", "1/1"], fmt="GT:DP"),
                record("2", 2, "A", "G", ["12:0|1", "0/0", "1:1/1"], fmt="DP:GT"),
                record("2", 3, "A", "G", ["0/1:", "0/0:5:x", ":0/1"], fmt="GQ:GT:DP")]
    path = write_vcf(tmp_path, vcf_text(["a", "b", "c"], records))
    values, sites, _ = read_all(korvex.VcfChunkReader(path, fill_missing=False), 100)
    np.testing.assert_array_equal(values[:len(GT_CASES), 0], [v for _, v in GT_CASES])
    assert not values[:len(GT_CASES), 1:].any()
    np.testing.assert_array_equal(values[len(GT_CASES):], [[1, 0, 2], [-9, 0, -9], [1, 0, -9]])
    assert all(s[2:] == ("A", "G") for s in sites)


def test_qc_flip_multiallelic_alt_and_options(tmp_path):
    records = [
        record("1", 10, "A", "T,C", ["1/1", "1/1", "1/2", "0/1"]),  # p = 5/6: flipped
        record("1", 20, "G", "C", ["0/1", "0/0", "0/0", "0/0"]),    # maf 1/8
        record("1", 30, "G", "C", ["0/1", "1/1", "./.", "0/0"]),    # 1/4 missing, p = 1/2
        record("1", 40, "T", "A", ["./.", "./.", "./.", "./."]),    # all missing
    ]
    path = write_vcf(tmp_path, vcf_text(["a", "b", "c", "d"], records))
    values, sites, _ = read_all(korvex.VcfChunkReader(path), 10)
    np.testing.assert_array_equal(values, np.array(
        [[0, 0, np.float32(1 / 3), 1], [1, 0, 0, 0], [1, 2, 1, 0], [0, 0, 0, 0]], np.float32))
    assert sites == [("1", 10, "T,C", "A"), ("1", 20, "G", "C"), ("1", 30, "G", "C"), ("1", 40, "T", "A")]
    # None for any option is the default.
    same, same_sites, _ = read_all(korvex.VcfChunkReader(path, None, None, None), 10)
    np.testing.assert_array_equal(same, values)
    assert same_sites == sites
    # Thresholds are passed through to the QC: maf 0.125 keeps site 20 (equality keeps) but drops
    # the all-missing site; missing rate 0.25 keeps a quarter missing, 0.2 does not; fill off
    # keeps -9.
    _, s, _ = read_all(korvex.VcfChunkReader(path, maf_threshold=0.125), 10)
    assert [x[1] for x in s] == [10, 20, 30]
    _, s, _ = read_all(korvex.VcfChunkReader(path, maf_threshold=0.13), 10)
    assert [x[1] for x in s] == [10, 30]
    _, s, _ = read_all(korvex.VcfChunkReader(path, max_missing_rate=0.25), 10)
    assert [x[1] for x in s] == [10, 20, 30]
    _, s, _ = read_all(korvex.VcfChunkReader(path, max_missing_rate=0.2), 10)
    assert [x[1] for x in s] == [20]
    v, _, _ = read_all(korvex.VcfChunkReader(path, fill_missing=False), 10)
    np.testing.assert_array_equal(v[[0, 3]], [[0, 0, -9, 1], [-9, -9, -9, -9]])


@pytest.mark.parametrize("mode", ["plain", "gz2"])
def test_malformed_lines_skipped_and_line_ends(tmp_path, mode):
    text = (
        "##meta\r\n"
        "junk before the header\n"
        "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\ta\tb\t \r\n"  # trailing tab + space
        "1\t12a\t.\tA\tG\t.\t.\t.\tGT\t0/1\t0/0\t\r\n"    # POS 0; trailing tab dropped
        "1\t5\t.\tA\tG\t.\t.\t.\tGT\n"                    # 9 columns
        "1\t6\t.\tA\tG\t.\t.\t.\tDP\t0/1\t0/0\n"          # no GT key
        "1\t7\t.\tA\tG\t.\t.\t.\tGTX:DP\t0/1\t0/0\n"      # no GT piece
        "\n"
        "   \t \n"
        "#a comment among the data\n"
        "1\t+8\t.\tA\tG\t.\t.\t.\tGT\t0/0\t0|1\n"
        "1\t2147483648\t.\tA\tG\t.\t.\t.\tGT\t0/0\t0|1\n"  # overflow: 0
        "X\t-3\t.\tAT\t<DEL>\t.\t.\t.\tGT\t0/0\t0|1"      # no final newline
    )
    path = write_vcf(tmp_path, text, mode)
    reader = korvex.VcfChunkReader(path)
    assert reader.sample_ids == ["a", "b"]
    values, sites, _ = read_all(reader, 3)
    assert sites == [("1", 0, "A", "G"), ("1", 8, "A", "G"), ("1", 0, "A", "G"), ("X", -3, "AT", "<DEL>")]
    np.testing.assert_array_equal(values, [[1, 0], [0, 1], [0, 1], [0, 1]])
    # Counted: every line that is neither "#" first nor blank, whatever its columns.
    assert korvex.count_vcf_snps(path) == 8


def test_count_and_reader_on_the_worked_example(tmp_path):
    text = ("##a\n##b\n" + FIXED + "\tS1\tS2\n"
            "1\t1\t.\tA\tG\t.\t.\t.\tGT\t0/1\t0/0\n"
            "1\t2\t.\tA\tG\t.\t.\t.\n"
            "1\t3\t.\tA\tG\t.\t.\t.\tGT\t1/1\t0/0\n"
            "\n")
    path = write_vcf(tmp_path, text)
    assert korvex.count_vcf_snps(path) == 3
    assert korvex.count_vcf_snps(path=path) == 3
    _, sites, _ = read_all(korvex.VcfChunkReader(path), 10)
    assert len(sites) == 2


@pytest.mark.parametrize("header, message", [
    (FIXED + "\n", "#CHROM header too short"),
    (FIXED + "\t\t \n", "#CHROM header too short"),
    ("#CHROM\n", "#CHROM header too short"),
    ("##fileformat=VCFv4.2\n#CHRO\tPOS\n1\t2\t.\tA\tG\t.\t.\t.\tGT\t0/0\n", "No #CHROM header found in VCF"),
    ("", "No #CHROM header found in VCF"),
])
@pytest.mark.parametrize("mode", ["plain", "gz"])
def test_header_errors(tmp_path, header, message, mode):
    path = write_vcf(tmp_path, header, mode)
    with pytest.raises(RuntimeError) as e:
        korvex.VcfChunkReader(path)
    assert e.value.args == (message,)


def test_header_prefix_and_empty_ids(tmp_path):
    path = write_vcf(tmp_path, "#CHROMOSOME\tP\tI\tR\tA\tQ\tF\tI\tFMT\tx\t\ty\n1\t1\t.\tA\tG\t.\t.\t.\tGT\t0/1\t1/1\t0/0\n")
    reader = korvex.VcfChunkReader(path)
    ids = reader.sample_ids
    assert ids == ["x", "", "y"]
    ids.append("z")
    assert reader.sample_ids == ["x", "", "y"]  # a new list on each access


def test_open_failures(tmp_path):
    missing = str(tmp_path / "nope.vcf.gz")
    for call in (korvex.VcfChunkReader, korvex.count_vcf_snps):
        with pytest.raises(RuntimeError, match="^No such file or directory$"):
            call(missing)
    # Text under a .gz name fails at its first read; gzip under a plain name is invalid UTF-8.
    text = vcf_text(["a"], [record("1", 1, "A", "G", ["0/1"])])
    as_gz = write_vcf(tmp_path, text, "plain", name="text.vcf.gz")
    with pytest.raises(RuntimeError, match="^incorrect header check$"):
        korvex.VcfChunkReader(as_gz)
    with pytest.raises(OSError, match="^incorrect header check$"):
        korvex.count_vcf_snps(as_gz)
    as_text = write_vcf(tmp_path, text, "gz", name="gzip.vcf")
    with pytest.raises(RuntimeError, match="^invalid UTF-8 in line 1$"):
        korvex.VcfChunkReader(as_text)
    # .GZ and .gzip are not gzip names.
    for name in ("upper.vcf.GZ", "long.vcf.gzip"):
        path = write_vcf(tmp_path, text, "plain", name=name)
        assert korvex.count_vcf_snps(path) == 1
    with pytest.raises(RuntimeError, match="^Is a directory$"):
        korvex.VcfChunkReader(str(tmp_path))


def test_embedded_nul_in_path_is_refused(tmp_path):
    # The name up to the NUL is a readable VCF: it must not be read in place of the name given.
    path = write_vcf(tmp_path, vcf_text(["a"], [record("1", 1, "A", "G", ["0/1"])]))
    for call in (korvex.VcfChunkReader, korvex.count_vcf_snps):
        with pytest.raises(RuntimeError, match="^file name contained an unexpected NUL byte$"):
            call(path + "\0.gz")


def damaged_inputs(tmp_path, n_good):
    """(path, error text) pairs whose first n_good records are intact and whose later data is
    damaged: a gzip member cut in the middle, a second member with a wrong CRC, invalid UTF-8 in a
    plain file."""
    good = [record("1", i + 1, "A", "G", ["0/1", "0/0", "1/1"]) for i in range(n_good)]
    head = vcf_text(["a", "b", "c"], good).encode()
    tail = "".join("\t".join(map(str, record("2", i + 1, "A", "G", ["0/1", "0/0", "0/0"]))) + "\n"
                   for i in range(500)).encode()
    # One member, flushed after the good records so that they decode from its first part.
    z = zlib.compressobj(6, zlib.DEFLATED, 31)
    first = z.compress(head) + z.flush(zlib.Z_FULL_FLUSH)
    rest = z.compress(tail) + z.flush()
    truncated = tmp_path / "trunc.vcf.gz"
    truncated.write_bytes(first + rest[:len(rest) // 2])
    member2 = bytearray(gzip.compress(tail))
    member2[-6] ^= 0xFF  # inside the CRC-32 of the trailer
    corrupt = tmp_path / "corrupt.vcf.gz"
    corrupt.write_bytes(gzip.compress(head) + bytes(member2))
    utf8 = tmp_path / "utf8.vcf"
    utf8.write_bytes(head + b"2\t1\t.\tA\tG\t.\t.\t.\tGT\t0/1\t0/0\t\xff\n" + tail)
    return [(str(truncated), "unexpected end of gzip stream"), (str(corrupt), "incorrect data check"),
            (str(utf8), f"invalid UTF-8 in line {2 + n_good + 1}")]


@pytest.mark.parametrize("case", range(3))
def test_read_failure_returns_earlier_sites_then_raises(tmp_path, case):
    path, message = damaged_inputs(tmp_path, 5)[case]
    reader = korvex.VcfChunkReader(path)
    g, sites = reader.next_chunk(10_000)
    # The good records come back (and, for the gzip cases, whatever was decoded of the rest).
    assert [s.chrom for s in sites[:5]] == ["1"] * 5
    np.testing.assert_array_equal(g[:5], np.tile(np.float32([1, 0, 2]), (5, 1)))
    for _ in range(3):  # the failure stays
        with pytest.raises(OSError) as e:
            reader.next_chunk(10_000)
        assert type(e.value) is OSError and e.value.args == (message,)
    with pytest.raises(OSError) as e2:
        korvex.count_vcf_snps(path)
    assert e2.value.args == e.value.args


def test_read_failure_at_a_chunk_boundary(tmp_path):
    path, message = damaged_inputs(tmp_path, 4)[2]
    reader = korvex.VcfChunkReader(path)
    assert len(reader.next_chunk(2)[1]) == 2
    assert len(reader.next_chunk(2)[1]) == 2
    with pytest.raises(OSError, match=f"^{message}$"):
        reader.next_chunk(2)  # never None before the failure
    with pytest.raises(OSError, match=f"^{message}$"):
        reader.next_chunk(2)


def test_sample_column_mismatch_raises_after_earlier_sites(tmp_path):
    records = [record("1", 10, "A", "G", ["0/1", "0/0", "0/0"]),
               record("1", 11, "A", "G", ["0/1", "0/0", "0/0"] + ["1/1"] * 20),  # 20 too many
               record("1", 12, "A", "G", ["0/1", "0/0"]),
               record("1", 13, "A", "G", ["1/1", "0/1", "0/0"])]
    path = write_vcf(tmp_path, vcf_text(["a", "b", "c"], records))
    reader = korvex.VcfChunkReader(path)
    g, sites = reader.next_chunk(10)
    assert [s.pos for s in sites] == [10]
    np.testing.assert_array_equal(g, [[1, 0, 0]])
    # Each bad line is reported once, by the call after the sites gathered before it; reading
    # then goes on past it, so no good line is lost.
    with pytest.raises(RuntimeError) as e:
        reader.next_chunk(10)
    assert e.value.args == ("VCF line at 1:11 has 23 sample columns, header has 3",)
    with pytest.raises(RuntimeError) as e:
        reader.next_chunk(10)
    assert e.value.args == ("VCF line at 1:12 has 2 sample columns, header has 3",)
    g, sites = reader.next_chunk(10)
    assert [s.pos for s in sites] == [13]
    np.testing.assert_array_equal(g, [[2, 1, 0]])  # p = 0.5 exactly: not flipped
    assert reader.next_chunk(10) is None
    # Two lines that offset each other (one column too many, one too few) are not let through.
    offset = write_vcf(tmp_path, vcf_text(["a", "b", "c"], [
        record("1", 1, "A", "G", ["0/1", "0/0", "0/0", "1/1"]), record("1", 2, "A", "G", ["0/1", "0/0"])]),
        name="offset.vcf")
    with pytest.raises(RuntimeError, match="^VCF line at 1:1 has 4 sample columns, header has 3$"):
        korvex.VcfChunkReader(offset).next_chunk(10)
    # Checked before QC: a short line that the maf threshold would drop is still reported.
    short = write_vcf(tmp_path, vcf_text(["a", "b", "c"], [record("X", "7x", "A", "G", ["0/0", "0/0"])]),
                      name="short.vcf")
    with pytest.raises(RuntimeError, match=r"^VCF line at X:7x has 2 sample columns, header has 3$"):
        korvex.VcfChunkReader(short, maf_threshold=0.1).next_chunk(1)


def test_chunk_size_rules(tmp_path, random_vcf):
    path = write_vcf(tmp_path, random_vcf[0])
    reader = korvex.VcfChunkReader(path)
    with pytest.raises(ValueError, match="^chunk_size must be > 0$"):
        reader.next_chunk(0)
    with pytest.raises(OverflowError):
        reader.next_chunk(-1)
    with pytest.raises(TypeError):
        reader.next_chunk(2.0)
    with pytest.raises(OverflowError):
        reader.next_chunk(2**64)
    g, sites = reader.next_chunk(chunk_size=1)
    assert g.shape == (1, 7) and len(sites) == 1
    g, sites = reader.next_chunk(2**63)  # far beyond the data: sized by what is read
    assert g.shape == (59, 7) and len(sites) == 59
    assert g.base is not None and g.flags.writeable
    assert reader.next_chunk(2**63) is None


def test_long_lines_gzip_matches_plain(tmp_path):
    # 3,000 samples: each line is about 12 KB, longer than an 8 KiB buffer.
    rng = np.random.default_rng(5)
    n, m = 3000, 40
    codes = rng.integers(0, 4, size=(m, n))
    texts = np.array(["0/0", "0|1", "1/1", "./."], dtype=object)[codes]
    raw = np.array([0, 1, 2, -9], np.float32)[codes]
    samples = [f"id{i}" for i in range(n)]
    records = [record("5", i, "C", "T", texts[i], fmt="GT:DP") for i in range(m)]
    text = vcf_text(samples, records)
    expected = np.array([qc_reference(r, "C", "T", fill=False)[0] for r in raw])
    for mode in ("plain", "bgz"):
        path = write_vcf(tmp_path, text, mode)
        values, sites, _ = read_all(korvex.VcfChunkReader(path, fill_missing=False), 7)
        np.testing.assert_array_equal(values, expected)
        assert len(sites) == m
