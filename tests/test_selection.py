"""SNP and sample selection of BedChunkReader: messages, order rules, reading order, and
independence of the site QC from the sample subset."""

import numpy as np
import pytest

import korvex
from plink_fixtures import decode_codes, random_genotypes, read_all, reference_qc, write_fileset

BedChunkReader = korvex.BedChunkReader


@pytest.fixture
def ten_sites(tmp_prefix):
    """10 sites (positions 100..109 on chrom 1, site 7 on chrom 2, site 4 at 100 too), 6 samples
    A..F; every site kept by default QC; returns (prefix, expected QC'd matrix)."""
    rng = np.random.default_rng(11)
    g = random_genotypes(rng, 10, 6, missing_rate=0.1)
    sites = [("1", 100 + k, "A", "G") for k in range(10)]
    sites[7] = ("2", 107, "C", "T")
    sites[4] = ("1", 100, "A", "C")
    codes = write_fileset(tmp_prefix, g, ids=list("ABCDEF"), sites=sites)
    _, want, _ = reference_qc(decode_codes(codes))
    return tmp_prefix, want


# ---- SNP selection -------------------------------------------------------------------------------

@pytest.mark.parametrize("kwargs, rows", [
    ({"snp_range": (2, 5)}, [2, 3, 4]),
    ({"snp_range": (0, 10)}, list(range(10))),
    ({"snp_range": (9, 10)}, [9]),
    ({"snp_indices": [9, 0]}, [9, 0]),
    ({"snp_indices": [3]}, [3]),
    ({"snp_indices": [5, 1, 8, 2]}, [5, 1, 8, 2]),
    ({"bim_range": ("1", 100, 100)}, [0, 4]),
    ({"bim_range": ("1", 101, 108)}, [1, 2, 3, 5, 6, 8]),
    ({"bim_range": ("2", -5, 2**31 - 1)}, [7]),
])
def test_snp_selection_reads_rows_in_selection_order(ten_sites, kwargs, rows):
    prefix, want = ten_sites
    r = BedChunkReader(prefix, **kwargs)
    assert r.n_snps == len(rows)
    got, _ = read_all(r, chunk_size=2)
    np.testing.assert_array_equal(got, want[rows])


@pytest.mark.parametrize("bim_range", [("chr1", 0, 1_000_000), ("1", 200, 300), ("1 ", 100, 109),
                                       ("", 100, 109)])
def test_empty_bim_range_reads_nothing(ten_sites, bim_range):
    prefix, _ = ten_sites
    r = BedChunkReader(prefix, bim_range=bim_range)
    assert r.n_snps == 0
    assert r.next_chunk(5) is None
    assert r.next_chunk(5) is None


@pytest.mark.parametrize("kwargs, message", [
    ({"snp_range": (5, 5)}, "invalid snp_range: (5, 5)"),
    ({"snp_range": (6, 5)}, "invalid snp_range: (6, 5)"),
    ({"snp_range": (0, 11)}, "invalid snp_range: (0, 11)"),
    ({"snp_range": (10, 2**64 - 1)}, "invalid snp_range: (10, 18446744073709551615)"),
    ({"bim_range": ("1", 200, 100)}, "bim_range start > end"),
    ({"bim_range": ("nowhere", 1, 0)}, "bim_range start > end"),
    ({"snp_indices": []}, "snp_indices is empty"),
    ({"snp_indices": np.array([], dtype=np.int64)}, "snp_indices is empty"),
    ({"snp_indices": [7, 3, 7]}, "duplicate snp index: 7"),
    ({"snp_indices": [12, 3, 3]}, "snp index out of range: 12"),
    ({"snp_indices": [3, 3, 12]}, "duplicate snp index: 3"),
    ({"snp_indices": [0, 10]}, "snp index out of range: 10"),
    ({"snp_range": (0, 2), "bim_range": ("1", 5, 1)},
     "Provide only one of snp_range, snp_indices, or bim_range"),
    ({"snp_range": (7, 2), "snp_indices": [1]},
     "Provide only one of snp_range, snp_indices, or bim_range"),
    ({"snp_indices": [], "bim_range": ("1", 0, 1)},
     "Provide only one of snp_range, snp_indices, or bim_range"),
    ({"snp_range": (0, 1), "snp_indices": [0], "bim_range": ("1", 0, 1)},
     "Provide only one of snp_range, snp_indices, or bim_range"),
])
def test_snp_selection_errors(ten_sites, kwargs, message):
    prefix, _ = ten_sites
    with pytest.raises(RuntimeError) as e:
        BedChunkReader(prefix, **kwargs)
    assert e.value.args == (message,)


def test_none_counts_as_not_given(ten_sites):
    prefix, want = ten_sites
    r = BedChunkReader(prefix, snp_range=None, snp_indices=[1, 2], bim_range=None,
                       sample_ids=None, sample_indices=[0])
    got, _ = read_all(r)
    np.testing.assert_array_equal(got, want[[1, 2]][:, [0]])


def test_snp_selection_skips_sites_dropped_by_qc(tmp_prefix):
    g = np.zeros((6, 8), np.int8)
    g[:, :3] = 1
    g[5] = 0                          # monomorphic: dropped by a positive maf threshold
    g[1, :] = -9                      # all missing: dropped too
    codes = write_fileset(tmp_prefix, g)
    r = BedChunkReader(tmp_prefix, snp_indices=[5, 2, 1, 3], maf_threshold=0.01)
    assert r.n_snps == 4
    first = r.next_chunk(1)
    assert [s.pos for s in first[1]] == [1020]          # site 2: site 5 was skipped
    rest = r.next_chunk(10)
    assert [s.pos for s in rest[1]] == [1030]
    assert r.next_chunk(10) is None
    _, want, _ = reference_qc(decode_codes(codes), maf=0.01)
    np.testing.assert_array_equal(np.concatenate([first[0], rest[0]]), want[[2, 3]])


# ---- sample selection ----------------------------------------------------------------------------

@pytest.mark.parametrize("kwargs, cols, ids", [
    ({"sample_ids": ["B", "A"]}, [1, 0], ["B", "A"]),
    ({"sample_ids": ["F"]}, [5], ["F"]),
    ({"sample_indices": [1, 0]}, [1, 0], ["B", "A"]),
    ({"sample_indices": [5, 2, 3]}, [5, 2, 3], ["F", "C", "D"]),
    ({"sample_indices": range(6)}, list(range(6)), list("ABCDEF")),
    ({"sample_ids": list("ABCDEF")}, list(range(6)), list("ABCDEF")),
])
def test_sample_selection_columns_and_ids(ten_sites, kwargs, cols, ids):
    prefix, want = ten_sites
    for extra in ({}, {"snp_indices": [8, 1]}, {"mmap_window_mb": 1}):
        r = BedChunkReader(prefix, **kwargs, **extra)
        assert r.n_samples == len(cols)
        assert r.sample_ids == ids
        got, _ = read_all(r, chunk_size=3)
        rows = [8, 1] if extra.get("snp_indices") else list(range(10))
        np.testing.assert_array_equal(got, want[rows][:, cols])


@pytest.mark.parametrize("kwargs, message", [
    ({"sample_ids": ["A"], "sample_indices": [0]},
     "Provide only one of sample_ids or sample_indices"),
    ({"sample_ids": [], "sample_indices": []}, "Provide only one of sample_ids or sample_indices"),
    ({"sample_indices": []}, "sample_indices is empty"),
    ({"sample_indices": [6]}, "sample index out of range: 6"),
    ({"sample_indices": [0, 2, 0, 99]}, "duplicate sample index: 0"),
    ({"sample_indices": [99, 0, 0]}, "sample index out of range: 99"),
    ({"sample_ids": []}, "sample_ids is empty"),
    ({"sample_ids": ["A", "A"]}, "duplicate sample id: A"),
    ({"sample_ids": ["Z"]}, "sample id not found: Z"),
    ({"sample_ids": ["B", "a", "B"]}, "sample id not found: a"),           # case matters
    ({"sample_ids": ["C", "C", "Z"]}, "duplicate sample id: C"),
    ({"sample_ids": ["fam0"]}, "sample id not found: fam0"),               # column 1 is not the ID
])
def test_sample_selection_errors(ten_sites, kwargs, message):
    prefix, _ = ten_sites
    for extra in ({}, {"mmap_window_mb": 1}):
        with pytest.raises(RuntimeError) as e:
            BedChunkReader(prefix, **kwargs, **extra)
        assert e.value.args == (message,)


@pytest.mark.parametrize("snp_kwargs", [
    {"snp_indices": [99]}, {"snp_range": (3, 1)}, {"snp_range": (0, 1), "snp_indices": [0]},
])
def test_sample_error_is_reported_before_snp_error(ten_sites, snp_kwargs):
    prefix, _ = ten_sites
    with pytest.raises(RuntimeError) as e:
        BedChunkReader(prefix, sample_indices=[], **snp_kwargs)
    assert e.value.args == ("sample_indices is empty",)


def test_duplicate_fam_ids_last_line_wins(tmp_prefix):
    g = np.array([[0, 1, 2, 0], [2, 2, 1, 0]], np.int8)
    codes = write_fileset(tmp_prefix, g, ids=["A", "B", "A", "C"])
    r = BedChunkReader(tmp_prefix, sample_ids=["A"], fill_missing=False)
    assert r.sample_ids == ["A"]
    got, _ = read_all(r)
    _, want, _ = reference_qc(decode_codes(codes), fill=False)
    np.testing.assert_array_equal(got, want[:, [2]])
    # By index both lines stay reachable, and the identity keeps the .fam IDs as they are.
    assert BedChunkReader(tmp_prefix, sample_indices=[0, 2]).sample_ids == ["A", "A"]
    assert BedChunkReader(tmp_prefix).sample_ids == ["A", "B", "A", "C"]
    with pytest.raises(RuntimeError, match="^duplicate sample id: A$"):
        BedChunkReader(tmp_prefix, sample_ids=["A", "C", "A"])


def test_sample_subset_does_not_change_qc(tmp_prefix):
    # Site 0 over all 8 samples: alternate frequency 5/14 (kept, not flipped, fill mean 5/7); over
    # the subset {0, 1, 2, 7} it would be 5/6 (flipped). Site 1 over all: 4/16, kept with maf 0.2;
    # over the subset {3, 4, 5} it would be monomorphic (dropped).
    g = np.array([[2, 2, 1, 0, 0, 0, 0, -9],
                  [0, 0, 0, 0, 0, 0, 2, 2]], np.int8)
    codes = write_fileset(tmp_prefix, g)
    whole, sites = read_all(BedChunkReader(tmp_prefix, maf_threshold=0.2))
    assert [s[2:] for s in sites] == [("A", "G"), ("A", "G")]
    np.testing.assert_array_equal(whole[0], np.float32([2, 2, 1, 0, 0, 0, 0, 5 / 7]))
    for kwargs in ({"sample_indices": [0, 1, 2, 7]}, {"sample_ids": ["s3", "s4", "s5"]},
                   {"sample_indices": [7, 2, 1, 0]}):
        r = BedChunkReader(tmp_prefix, maf_threshold=0.2, **kwargs)
        got, sub_sites = read_all(r)
        assert sub_sites == sites
        cols = r.sample_ids
        np.testing.assert_array_equal(got, whole[:, [int(c[1:]) for c in cols]])
    _, want, _ = reference_qc(decode_codes(codes), maf=0.2)
    np.testing.assert_array_equal(whole, want)


def test_selection_spans_chunks(ten_sites):
    prefix, want = ten_sites
    order = [9, 0, 4, 7, 2, 3, 8]
    r = BedChunkReader(prefix, snp_indices=order, sample_indices=[4, 1])
    shapes = []
    parts = []
    while (c := r.next_chunk(3)) is not None:
        shapes.append(c[0].shape)
        parts.append(c[0])
    assert shapes == [(3, 2), (3, 2), (1, 2)]
    np.testing.assert_array_equal(np.concatenate(parts), want[order][:, [4, 1]])
