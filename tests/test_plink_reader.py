"""BedChunkReader: .fam/.bim text rules, .bed layout and errors, decoding, site QC, windowed
reading, chunking, and the argument binding rules it exercises."""

import os

import numpy as np
import pytest

import korvex
from plink_fixtures import (BED_MAGIC, bim_text, decode_codes, default_sites, fam_text,
                            pack_codes, random_genotypes, read_all, reference_qc, write_fileset,
                            write_raw)

BedChunkReader = korvex.BedChunkReader


def small_fileset(prefix, n=5, m=3):
    g = np.zeros((m, n), dtype=np.int8)
    g[:, 0] = 1
    return write_fileset(prefix, g)


# ---- .fam / .bim text rules ----------------------------------------------------------------------

@pytest.mark.parametrize("fam, ids", [
    ("f a 0 0 0 -9\nf b 0 0 0 -9\n", ["a", "b"]),
    ("f a\r\nf b\r\n", ["a", "b"]),                                   # CRLF
    ("f a\nf b", ["a", "b"]),                                         # last line without \n
    ("  f\t\ta   extra cols\t\n\tf b  \n", ["a", "b"]),                # runs, leading/trailing
    ("f\u00a0a\nf\u3000b\u2003x\n", ["a", "b"]),                      # Unicode whitespace
    ("f\u2028é\nf\u0085ü\n", ["é", "ü"]),
    ("f a\x0bz\nf\x0cb\n", ["a", "b"]),                                # VT and FF split too
    ("f a\r\r\n", ["a"]),                                             # only one \r is the ending
], ids=["plain", "crlf", "no-final-newline", "runs", "unicode-ws", "unicode-ws2", "vt-ff",
        "double-cr"])
def test_fam_text_rules(tmp_prefix, fam, ids):
    n = len(ids)
    write_raw(tmp_prefix, fam=fam, bim=bim_text(default_sites(1)),
              bed=BED_MAGIC + pack_codes(np.zeros((1, n), np.uint8)).tobytes())
    r = BedChunkReader(tmp_prefix)
    assert r.sample_ids == ids
    assert r.n_samples == n


def test_bim_columns_and_positions(tmp_prefix):
    bim = ("1 rs1 0 12x A G\n"
           "chr2\trs2\t0.5\t+17\tAT\tC\textra\n"
           "X rs3 0 -5 a c\r\n"
           "1 rs4 0 2147483647 A G\n"
           "1 rs5 0 2147483648 A G\n"
           "1 rs6 0 -2147483648 A G\n"
           "MT\u00a0rs7 0 9 T\u3000C")
    write_raw(tmp_prefix, fam="f a\n", bim=bim, bed=BED_MAGIC + b"\x00" * 7)
    _, sites = read_all(BedChunkReader(tmp_prefix, fill_missing=False))
    assert sites == [("1", 0, "A", "G"), ("chr2", 17, "AT", "C"), ("X", -5, "a", "c"),
                     ("1", 2147483647, "A", "G"), ("1", 0, "A", "G"),
                     ("1", -2147483648, "A", "G"), ("MT", 9, "T", "C")]


def test_line_longer_than_the_read_buffer(tmp_prefix):
    # A CRLF at and across the end of the first 256 KiB read, and an ID far longer than the line
    # buffer (which then grows).
    buf = 256 * 1024
    long_id = "x" * (buf + 50000)
    first = "f " + "a" * (buf - 4)
    fam = first + "\r\n" + "f " + long_id + "\r\n"
    write_raw(tmp_prefix, fam=fam, bim="", bed=BED_MAGIC)
    r = BedChunkReader(tmp_prefix)
    assert r.sample_ids == ["a" * (buf - 4), long_id]
    # The first line's "\r" at the buffer's last byte and "\n" after it (shift 1), and both past it.
    for shift in range(1, 4):
        fam = "f " + "b" * (buf - 4 + shift) + "\r\n" + "f c\n"
        write_raw(tmp_prefix, fam=fam)
        assert BedChunkReader(tmp_prefix).sample_ids == ["b" * (buf - 4 + shift), "c"]


@pytest.mark.parametrize("fam, bim, message", [
    ("f a\n\nf b\n", "", "Malformed FAM line: "),
    ("f a\nlonely\n", "", "Malformed FAM line: lonely"),
    ("f a\n  lonely \r\n", "", "Malformed FAM line:   lonely "),
    ("f a\nlonely\r", "", "Malformed FAM line: lonely\r"),         # "\r" without "\n" stays
    ("f a\n \t\n", "", "Malformed FAM line:  \t"),
    ("f a\n", "1 rs1 0 100 A\n", "Malformed BIM line: 1 rs1 0 100 A"),
    ("f a\n", "1 rs1 0 100 A G\n\n", "Malformed BIM line: "),
    ("f a\n", "1 rs1 0 100 A G\n1\u00a0rs2 0 5 C\r\n", "Malformed BIM line: 1\u00a0rs2 0 5 C"),
    ("oops\n", "bad\n", "Malformed FAM line: oops"),                  # .fam before .bim
])
def test_malformed_lines(tmp_prefix, fam, bim, message):
    write_raw(tmp_prefix, fam=fam, bim=bim, bed=BED_MAGIC + b"\x00" * 100)
    for kwargs in ({}, {"mmap_window_mb": 1}):
        with pytest.raises(RuntimeError) as e:
            BedChunkReader(tmp_prefix, **kwargs)
        assert e.value.args == (message,)


@pytest.mark.parametrize("which", ["fam", "bim"])
def test_invalid_utf8_is_a_read_error(tmp_prefix, which):
    good_fam, good_bim = "f a\n", "1 rs1 0 1 A G\n"
    # The bad line is the second one, after a good line.
    bad = b"f a\nf \xff\xfe\n" if which == "fam" else b"1 rs1 0 1 A G\n1 rs2 0 1 A \xc0\xaf\n"
    write_raw(tmp_prefix, fam=bad if which == "fam" else good_fam,
              bim=bad if which == "bim" else good_bim, bed=BED_MAGIC + b"\x00" * 2)
    with pytest.raises(RuntimeError) as e:
        BedChunkReader(tmp_prefix)
    assert e.value.args == ("invalid UTF-8 in line 2",)


@pytest.mark.parametrize("missing", [".fam", ".bim", ".bed"])
@pytest.mark.parametrize("windowed", [False, True])
def test_missing_file_gives_the_os_text_without_path(tmp_prefix, missing, windowed):
    small_fileset(tmp_prefix)
    os.remove(tmp_prefix + missing)
    kwargs = {"mmap_window_mb": 1} if windowed else {}
    with pytest.raises(RuntimeError) as e:
        BedChunkReader(tmp_prefix, **kwargs)
    assert e.value.args == (os.strerror(2),)  # ENOENT, no path
    assert tmp_prefix not in str(e.value)


def test_unreadable_file_is_an_os_error_text(tmp_prefix):
    small_fileset(tmp_prefix)
    os.remove(tmp_prefix + ".fam")
    os.mkdir(tmp_prefix + ".fam")  # opening works, reading a directory fails
    with pytest.raises(RuntimeError) as e:
        BedChunkReader(tmp_prefix)
    assert e.value.args == (os.strerror(21),)  # EISDIR


@pytest.mark.parametrize("windowed", [False, True])
def test_embedded_nul_in_prefix_is_refused(tmp_prefix, windowed):
    # Without the check, "<prefix>\0x" + ".fam" would open "<prefix>" (the text before the NUL).
    small_fileset(tmp_prefix)
    with open(tmp_prefix, "w") as f:
        f.write("f a\n")
    kwargs = {"mmap_window_mb": 1} if windowed else {}
    with pytest.raises(RuntimeError) as e:
        BedChunkReader(tmp_prefix + "\0x", **kwargs)
    assert e.value.args == ("file name contained an unexpected NUL byte",)


def test_fam_error_comes_before_bim_and_bed_errors(tmp_prefix):
    write_raw(tmp_prefix, fam="x\n", bim="y\n", bed=b"")
    with pytest.raises(RuntimeError, match="^Malformed FAM line: x$"):
        BedChunkReader(tmp_prefix)
    write_raw(tmp_prefix, fam="f a\n")
    with pytest.raises(RuntimeError, match="^Malformed BIM line: y$"):
        BedChunkReader(tmp_prefix)


# ---- .bed errors ---------------------------------------------------------------------------------

@pytest.mark.parametrize("bed, whole_msg, windowed_msg", [
    (b"", "BED too small", "unexpected end of file"),
    (b"\x6c", "BED too small", "unexpected end of file"),
    (b"\x6c\x1b", "BED too small", "unexpected end of file"),
    (b"\x6c\x1b\x00" + b"\x00" * 6, "Only SNP-major BED supported", "Only SNP-major BED supported"),
    (b"\x6c\x1c\x01" + b"\x00" * 6, "Only SNP-major BED supported", "Only SNP-major BED supported"),
    (b"\x00\x1b\x01", "Only SNP-major BED supported", "Only SNP-major BED supported"),
    # Truncated data: the length is checked after the header (5 samples: B = 2, 3 sites: 9 bytes).
    (BED_MAGIC, "BED file is truncated: expected 9 bytes, found 3",
     "BED file is truncated: expected 9 bytes, found 3"),
    (BED_MAGIC + b"\x00" * 5, "BED file is truncated: expected 9 bytes, found 8",
     "BED file is truncated: expected 9 bytes, found 8"),
])
def test_bed_errors(tmp_prefix, bed, whole_msg, windowed_msg):
    small_fileset(tmp_prefix)
    write_raw(tmp_prefix, bed=bed)
    with pytest.raises(RuntimeError) as e:
        BedChunkReader(tmp_prefix)
    assert e.value.args == (whole_msg,)
    with pytest.raises(RuntimeError) as e:
        BedChunkReader(tmp_prefix, mmap_window_mb=1)
    assert e.value.args == (windowed_msg,)


def test_longer_bed_is_read_normally(tmp_prefix):
    codes = write_fileset(tmp_prefix, random_genotypes(np.random.default_rng(1), 4, 9),
                          extra=b"\xff" * 11)
    want = reference_qc(decode_codes(codes))[1]
    for kwargs in ({}, {"mmap_window_mb": 1}):
        got, _ = read_all(BedChunkReader(tmp_prefix, **kwargs))
        np.testing.assert_array_equal(got, want)


def test_header_only_bed_with_no_sites(tmp_prefix):
    write_raw(tmp_prefix, fam=fam_text(["a", "b"]), bim="", bed=BED_MAGIC)
    r = BedChunkReader(tmp_prefix)
    assert r.n_snps == 0
    assert r.next_chunk(10) is None
    with pytest.raises(RuntimeError) as e:
        BedChunkReader(tmp_prefix, mmap_window_mb=1)
    assert e.value.args == ("window start SNP out of range",)


def test_zero_samples(tmp_prefix):
    write_raw(tmp_prefix, fam="", bim=bim_text(default_sites(3)), bed=BED_MAGIC)
    r = BedChunkReader(tmp_prefix)
    assert (r.n_samples, r.n_snps, r.sample_ids) == (0, 3, [])
    assert r.next_chunk(5) is None
    with pytest.raises(RuntimeError) as e:
        BedChunkReader(tmp_prefix, mmap_window_mb=1)
    assert e.value.args == (
        "mmap_window_mb requires at least one sample (the .fam file lists none)",)


def test_window_mb_zero(tmp_prefix):
    # Checked before any file is touched.
    with pytest.raises(RuntimeError) as e:
        BedChunkReader(tmp_prefix + "-absent", mmap_window_mb=0)
    assert e.value.args == ("mmap_window_mb must be > 0",)


@pytest.mark.parametrize("selection", [{"snp_range": (0, 2)}, {"snp_indices": [0]},
                                       {"bim_range": ("1", 0, 10)}])
def test_window_with_snp_selection_is_a_value_error_before_files(tmp_prefix, selection):
    for prefix in (tmp_prefix + "-absent", tmp_prefix):
        with pytest.raises(ValueError) as e:
            BedChunkReader(prefix, mmap_window_mb=1, **selection)
        assert e.value.args == ("mmap_window_mb does not support snp_range/snp_indices/bim_range",)


# ---- decoding and QC -----------------------------------------------------------------------------

@pytest.mark.parametrize("n", [1, 2, 3, 4, 5, 7, 255, 257, 258, 1023])
def test_two_bit_decoding(tmp_prefix, n):
    rng = np.random.default_rng(n)
    m = 6
    codes = rng.integers(0, 4, size=(m, n), dtype=np.uint8)
    codes[0] = np.arange(n) % 4  # every code in every slot position
    # Unused slots of the last byte hold codes that would change every statistic if read.
    write_fileset(tmp_prefix, codes=codes, pad_code=3)
    got, sites = read_all(BedChunkReader(tmp_prefix, fill_missing=False, maf_threshold=-1.0),
                          chunk_size=4)
    values = decode_codes(codes)
    _, want, flipped = reference_qc(values, maf=-1.0, fill=False)
    np.testing.assert_array_equal(got, want)
    assert [s[2:] for s in sites] == [("G", "A") if f else ("A", "G") for f in flipped]
    # Unflipped rows are the raw decode.
    np.testing.assert_array_equal(got[~flipped], values[~flipped])
    # Padding with a different code changes nothing.
    write_fileset(tmp_prefix, codes=codes, pad_code=1)
    got2, _ = read_all(BedChunkReader(tmp_prefix, fill_missing=False, maf_threshold=-1.0))
    np.testing.assert_array_equal(got2, got)


def test_five_samples_ignore_the_unused_slots(tmp_prefix):
    # Byte 2 of each row: sample 4 in bits 0-1, slots 5..7 full of "missing"/"alt" garbage.
    write_raw(tmp_prefix, fam=fam_text("abcde"), bim=bim_text(default_sites(3)),
              bed=BED_MAGIC + bytes([0b11100100, 0b01010111, 0b11111100, 0b01010110,
                                     0b00000000, 0b01010100]))
    got, sites = read_all(BedChunkReader(tmp_prefix, fill_missing=False), chunk_size=10)
    # Site 0: 0, -9, 1, 2 | 2 (p = 5/8, flipped); site 1: 0, 2, 2, 2 | 1; site 2: all 0.
    raw = np.array([[0, -9, 1, 2, 2], [0, 2, 2, 2, 1], [0, 0, 0, 0, 0]], np.float32)
    _, want, flipped = reference_qc(raw, fill=False)
    np.testing.assert_array_equal(got, want)
    np.testing.assert_array_equal(got[0], [2, -9, 1, 0, 0])
    assert list(flipped) == [True, True, False]
    assert got.shape == (3, 5)


@pytest.mark.parametrize("maf, miss, fill", [
    (None, None, None),
    (0.05, None, True),
    (0.1, 0.02, False),
    (0.3, 0.2, True),
    (-1.0, -0.5, True),           # negative max missing rate drops every site
    (float("nan"), float("nan"), False),
    (0.0, 1.5, np.bool_(True)),
])
def test_qc_matches_numpy_reference(tmp_prefix, maf, miss, fill):
    rng = np.random.default_rng(3)
    g = random_genotypes(rng, 60, 301, missing_rate=0.04)
    g[5] = -9                         # all missing
    g[6] = 2                          # all alternate: flipped to all 0
    g[7] = 0
    g[8, :] = 2
    g[8, :30] = -9                    # flipped with fill
    g[9, :100] = -9                   # high missing rate
    codes = write_fileset(tmp_prefix, g)
    kwargs = {k: v for k, v in (("maf_threshold", maf), ("max_missing_rate", miss),
                                ("fill_missing", fill)) if v is not None}
    idx, want, flipped = reference_qc(decode_codes(codes), maf=0.0 if maf is None else maf,
                                      miss=1.0 if miss is None else miss,
                                      fill=True if fill is None else bool(fill))
    for extra in ({}, {"mmap_window_mb": 1}):
        got, sites = read_all(BedChunkReader(tmp_prefix, **kwargs, **extra), chunk_size=7)
        np.testing.assert_array_equal(got, want)
        assert [s[1] for s in sites] == [1000 + 10 * i for i in idx]
        assert [s[2:] for s in sites] == [("G", "A") if f else ("A", "G") for f in flipped]
    if fill is None or fill:
        assert not (got == -9).any()


def test_threshold_is_narrowed_to_float32(tmp_prefix):
    # One alternate allele among 20 (10 calls): minor allele frequency 0.05 in float64, below
    # the threshold 0.05 held as float32 (0.0500000007...). Likewise 4 of 20 against 0.2; 0.25
    # is exact in float32 and equality keeps.
    g = np.zeros((3, 10), np.int8)
    g[0, 0] = 1
    g[1, :4] = 1
    g[2, :5] = 1
    write_fileset(tmp_prefix, g)

    def kept(maf):
        return [s[1] for s in read_all(BedChunkReader(tmp_prefix, maf_threshold=maf))[1]]

    assert kept(0.05) == [1010, 1020]
    assert kept(0.04) == [1000, 1010, 1020]
    assert kept(0.2) == [1020]
    assert kept(0.25) == [1020]


def test_missing_rate_boundary_and_fill_values(tmp_prefix):
    g = np.array([[0, 1, -9, 2, 0, 1, 1, 2, -9, 0],        # 2 of 10 missing: kept at 0.2
                  [0, 1, -9, 2, 0, 1, -9, 2, -9, 0],       # 3 missing: dropped
                  [0, 0, -9, 1, 0, 0, 1, 0, 0, 0],
                  [2, 2, -9, 1, 2, 2, 2, 2, 2, 2]], np.int8)
    write_fileset(tmp_prefix, g)
    got, sites = read_all(BedChunkReader(tmp_prefix, max_missing_rate=0.2))
    assert [s[1] for s in sites] == [1000, 1020, 1030]
    assert got[0, 2] == got[0, 8] == np.float32(7 / 8)
    assert got[1, 2] == np.float32(2 / 9)
    assert sites[2][2:] == ("G", "A")
    np.testing.assert_array_equal(got[2], np.float32([0, 0, 1 / 9, 1, 0, 0, 0, 0, 0, 0]))


# ---- windowed reading ----------------------------------------------------------------------------

def test_many_windows_on_a_million_samples(tmp_path):
    # B = 250,000 bytes per site, so a 1 MiB window holds 4 sites: 10 sites need 3 windows, and
    # windows after the first start at offsets that are not page aligned.
    prefix = str(tmp_path / "wide")
    n, m = 1_000_000, 10
    rng = np.random.default_rng(5)
    rows = rng.integers(0, 256, size=(m, n // 4), dtype=np.uint8)
    rows[3] = 0x55                                        # an all-missing site
    write_raw(prefix, fam="".join(f"0 {j}\n" for j in range(n)),
              bim=bim_text(default_sites(m)), bed=BED_MAGIC + rows.tobytes())
    whole = read_all(BedChunkReader(prefix, maf_threshold=0.0), chunk_size=3)
    windowed = read_all(BedChunkReader(prefix, mmap_window_mb=1), chunk_size=3)
    assert windowed[1] == whole[1]
    assert len(whole[1]) == m
    np.testing.assert_array_equal(windowed[0], whole[0])
    # Spot-check two sites against the NumPy reference.
    codes = np.stack([(rows[[0, 3]] >> s) & 3 for s in (0, 2, 4, 6)], axis=-1).reshape(2, n)
    _, want, _ = reference_qc(decode_codes(codes))
    np.testing.assert_array_equal(whole[0][[0, 3]], want)
    # Sample selection works with windows.
    r = BedChunkReader(prefix, mmap_window_mb=1, sample_indices=[999_999, 0])
    g, _ = read_all(r, chunk_size=100)
    np.testing.assert_array_equal(g, whole[0][:, [999_999, 0]])


def test_windowed_remap_failure_is_fatal(tmp_prefix):
    n, m = 1_048_580, 6            # B = 262,145: 3 sites per 1 MiB window
    rows = np.random.default_rng(9).integers(0, 256, size=(m, (n + 3) // 4), dtype=np.uint8)
    write_raw(tmp_prefix, fam="".join(f"0 {j}\n" for j in range(n)),
              bim=bim_text(default_sites(m)), bed=BED_MAGIC + rows.tobytes())
    r = BedChunkReader(tmp_prefix, mmap_window_mb=1)
    os.truncate(tmp_prefix + ".bed", 3 + 4 * rows.shape[1])   # the file shrinks after opening
    g, sites = r.next_chunk(10)       # the sites still in the file come first, nothing read is lost
    assert [s.pos for s in sites] == [pos for _, pos, _, _ in default_sites(m)[:4]]
    with pytest.raises(BaseException) as e:
        r.next_chunk(10)
    assert not isinstance(e.value, Exception)
    assert e.value.args == ("failed to remap BED window: window start SNP out of range",)


# ---- chunking ------------------------------------------------------------------------------------

def test_chunks_then_none_forever(tmp_prefix):
    small_fileset(tmp_prefix, n=5, m=3)
    r = BedChunkReader(tmp_prefix)
    g, sites = r.next_chunk(10)
    assert g.shape == (3, 5) and g.dtype == np.float32 and g.flags.c_contiguous
    assert g.flags.writeable and g.base is not None
    assert type(sites) is list and len(sites) == 3
    assert all(type(s) is korvex.SiteInfo for s in sites)
    assert r.next_chunk(10) is None
    assert r.next_chunk(1) is None


@pytest.mark.parametrize("windowed", [False, True])
def test_chunk_sizes_split_the_sites(tmp_prefix, windowed):
    g = random_genotypes(np.random.default_rng(2), 10, 13)
    codes = write_fileset(tmp_prefix, g)
    _, want, _ = reference_qc(decode_codes(codes))
    r = BedChunkReader(tmp_prefix, **({"mmap_window_mb": 1} if windowed else {}))
    with pytest.raises(ValueError) as e:
        r.next_chunk(0)
    assert e.value.args == ("chunk_size must be > 0",)
    shapes = []
    rows = []
    while (chunk := r.next_chunk(3)) is not None:
        shapes.append(chunk[0].shape)
        rows.append(chunk[0])
    assert shapes == [(3, 13), (3, 13), (3, 13), (1, 13)]
    np.testing.assert_array_equal(np.concatenate(rows), want)  # chunk_size 0 consumed nothing


@pytest.mark.parametrize("kwargs", [{}, {"snp_indices": [4, 1, 3]}, {"sample_indices": [2, 0]},
                                    {"mmap_window_mb": 1}, {"maf_threshold": 0.4}])
def test_huge_chunk_size_reads_everything(tmp_prefix, kwargs):
    write_fileset(tmp_prefix, random_genotypes(np.random.default_rng(8), 6, 9))
    r = BedChunkReader(tmp_prefix, **kwargs)
    want, _ = read_all(BedChunkReader(tmp_prefix, **kwargs), chunk_size=1)
    chunk = r.next_chunk(2**40)
    if len(want) == 0:
        assert chunk is None
    else:
        np.testing.assert_array_equal(chunk[0], want)
    assert r.next_chunk(2**40) is None
    assert r.next_chunk(2**64 - 1) is None


def test_results_do_not_alias(tmp_prefix):
    write_fileset(tmp_prefix, random_genotypes(np.random.default_rng(4), 4, 8))
    r = BedChunkReader(tmp_prefix)
    a, _ = r.next_chunk(2)
    a[:] = 7
    b, _ = r.next_chunk(2)
    assert not np.shares_memory(a, b) and not (b == 7).all()


# ---- argument binding ----------------------------------------------------------------------------

def test_signature_and_attributes(tmp_prefix):
    small_fileset(tmp_prefix)
    assert BedChunkReader.__text_signature__ == (
        "(prefix, maf_threshold=None, max_missing_rate=None, fill_missing=None, snp_range=None, "
        "snp_indices=None, bim_range=None, sample_ids=None, sample_indices=None, "
        "mmap_window_mb=None)")
    assert BedChunkReader.next_chunk.__text_signature__ == "($self, chunk_size)"
    r = BedChunkReader(tmp_prefix)
    assert (r.n_samples, r.n_snps) == (5, 3)
    ids = r.sample_ids
    assert ids == ["s0", "s1", "s2", "s3", "s4"] and r.sample_ids is not ids
    for attr in ("n_samples", "n_snps", "sample_ids"):
        with pytest.raises(AttributeError):
            setattr(r, attr, 1)
    with pytest.raises(TypeError):
        class Sub(BedChunkReader):  # noqa: F841  (not subclassable)
            pass


@pytest.mark.parametrize("args, kwargs, exc", [
    ((), {}, TypeError),                                              # missing prefix
    (("p",), {"prefix": "p"}, TypeError),                             # duplicate
    (("p",), {"bogus": 1}, TypeError),                                # unknown keyword
    (("p",) + (None,) * 10, {}, TypeError),                           # too many positionals
    (("p",), {"fill_missing": 1}, TypeError),                         # strict bool
    (("p",), {"fill_missing": "yes"}, TypeError),
    (("p",), {"maf_threshold": "0.1"}, TypeError),
    (("p",), {"snp_indices": "123"}, TypeError),                      # str where a list goes
    (("p",), {"sample_ids": "ab"}, TypeError),
    (("p",), {"snp_indices": {1, 2}}, TypeError),                     # sets are not sequences
    (("p",), {"snp_indices": iter([1])}, TypeError),
    (("p",), {"snp_indices": [1.0]}, TypeError),
    (("p",), {"sample_ids": [1]}, TypeError),
    (("p",), {"snp_range": [0, 2]}, TypeError),                       # list where a tuple goes
    (("p",), {"bim_range": ["1", 0, 2]}, TypeError),
    (("p",), {"snp_range": (0, 1, 2)}, ValueError),                   # tuple of wrong length
    (("p",), {"bim_range": ("1", 0)}, ValueError),
    (("p",), {"snp_range": (-1, 2)}, OverflowError),                  # negative int
    (("p",), {"snp_indices": [3, -1]}, OverflowError),
    (("p",), {"sample_indices": [-5]}, OverflowError),
    (("p",), {"mmap_window_mb": -1}, OverflowError),
    (("p",), {"snp_range": (0, 2**64)}, OverflowError),
    (("p",), {"bim_range": ("1", 0, 2**31)}, OverflowError),          # beyond i32
    (("p",), {"bim_range": ("1", -2**31 - 1, 5)}, OverflowError),
    (("p",), {"bim_range": (1, 0, 5)}, TypeError),
    (("p",), {"mmap_window_mb": 1.0}, TypeError),
    ((b"p",), {}, TypeError),
])
def test_argument_errors(args, kwargs, exc):
    with pytest.raises(exc) as e:
        BedChunkReader(*args, **kwargs)
    assert type(e.value) is exc


def test_type_errors_name_the_argument():
    with pytest.raises(TypeError, match="snp_indices"):
        BedChunkReader("p", snp_indices="12")
    with pytest.raises(TypeError, match="fill_missing"):
        BedChunkReader("p", fill_missing=0)


def test_conversion_stops_at_the_first_bad_argument():
    # maf_threshold is converted before snp_range, so its TypeError wins.
    with pytest.raises(TypeError, match="maf_threshold"):
        BedChunkReader("p", maf_threshold="x", snp_range=[1])


def test_accepted_argument_forms(tmp_prefix):
    g = random_genotypes(np.random.default_rng(6), 8, 10)
    codes = write_fileset(tmp_prefix, g)
    base, _ = read_all(BedChunkReader(tmp_prefix))
    same = [
        dict(maf_threshold=None, max_missing_rate=None, fill_missing=None, snp_range=None,
             snp_indices=None, bim_range=None, sample_ids=None, sample_indices=None,
             mmap_window_mb=None),
        dict(fill_missing=np.bool_(True)),
        dict(fill_missing=True, maf_threshold=0, max_missing_rate=1),    # ints are floats
        dict(snp_indices=range(8)),
        dict(snp_indices=np.arange(8)),
        dict(snp_indices=tuple(range(8))),
        dict(sample_indices=np.arange(10, dtype=np.uint8)),
        dict(sample_ids=tuple(f"s{j}" for j in range(10))),
        dict(snp_range=(np.int64(0), 8)),
        dict(mmap_window_mb=np.uint16(3)),
        dict(mmap_window_mb=2**64 - 1),                                   # window bytes saturate
        dict(bim_range=("1", -(2**31), 2**31 - 1)),
    ]
    for kwargs in same:
        got, _ = read_all(BedChunkReader(tmp_prefix, **kwargs))
        np.testing.assert_array_equal(got, base, err_msg=str(kwargs))
    filled_off, _ = read_all(BedChunkReader(tmp_prefix, fill_missing=np.bool_(False)))
    _, want, _ = reference_qc(decode_codes(codes), fill=False)
    np.testing.assert_array_equal(filled_off, want)


@pytest.mark.parametrize("bad, exc", [(0, ValueError), (-1, OverflowError), (2.0, TypeError),
                                      (None, TypeError), (2**64, OverflowError)])
def test_next_chunk_arguments(tmp_prefix, bad, exc):
    small_fileset(tmp_prefix)
    r = BedChunkReader(tmp_prefix)
    with pytest.raises(exc):
        r.next_chunk(bad)
    with pytest.raises(TypeError):
        r.next_chunk()
    with pytest.raises(TypeError):
        r.next_chunk(1, 2)
    assert r.next_chunk(chunk_size=10)[0].shape == (3, 5)   # nothing was consumed
