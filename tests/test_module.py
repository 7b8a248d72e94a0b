"""The module surface: namespace, init, classes, SiteInfo and argument conversion rules."""
import ctypes
import inspect
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import korvex

ORDER = [
    "BedChunkReader", "VcfChunkReader", "PlinkStreamWriter", "VcfStreamWriter", "SiteInfo",
    "PyMergeStats", "PyConvertStats", "merge_genotypes", "convert_genotypes", "count_vcf_snps",
    "glmf32", "lmm_reml_chunk_f32", "lmm_assoc_chunk_f32", "grm_pca_bed", "grm_pca_vcf",
    "block_randomized_svd", "block_randomized_svd_bed",
]
STANDARD = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}


def test_namespace_holds_registered_names_in_fixed_order():
    names = [n for n in vars(korvex) if n not in STANDARD]
    assert names == [n for n in ORDER if n in names]
    assert "SiteInfo" in names
    assert korvex.__doc__ == ""


def test_second_init_returns_the_same_module():
    lib = ctypes.PyDLL(korvex.__file__)
    lib.PyInit_korvex.restype = ctypes.py_object
    assert lib.PyInit_korvex() is korvex


def test_second_interpreter_is_refused():
    _testcapi = pytest.importorskip("_testcapi")
    if not hasattr(_testcapi, "run_in_subinterp"):
        pytest.skip("no run_in_subinterp")
    code = textwrap.dedent(f"""
        import sys
        sys.path[:0] = {sys.path!r}
        try:
            import korvex
            result = "imported"
        except ImportError as e:
            result = "ImportError"
        open({repr(str(__import__('tempfile').gettempdir()) + '/korvex_subinterp.txt')}, "w").write(result)
    """)
    _testcapi.run_in_subinterp(code)
    with open(__import__("tempfile").gettempdir() + "/korvex_subinterp.txt") as f:
        assert f.read() == "ImportError"


def test_site_info_fields_and_text_signature():
    s = korvex.SiteInfo("chr1", -5, "A", "G,T")
    assert (s.chrom, s.pos, s.ref_allele, s.alt_allele) == ("chr1", -5, "A", "G,T")
    assert str(inspect.signature(korvex.SiteInfo)) == "(chrom, pos, ref_allele, alt_allele)"
    assert korvex.SiteInfo.__module__ == "builtins"
    assert korvex.SiteInfo.__doc__ is None
    assert korvex.SiteInfo(pos=2**31 - 1, alt_allele="C", chrom="1", ref_allele="A").pos == 2**31 - 1


@pytest.mark.parametrize("attr", ["chrom", "pos", "ref_allele", "alt_allele"])
def test_site_info_is_read_only(attr):
    s = korvex.SiteInfo("1", 1, "A", "G")
    with pytest.raises(AttributeError):
        setattr(s, attr, 3)
    with pytest.raises(AttributeError):
        s.extra = 1  # no instance dictionary


def test_classes_are_final_with_identity_semantics():
    with pytest.raises(TypeError):
        class Sub(korvex.SiteInfo):
            pass
    a, b = korvex.SiteInfo("1", 1, "A", "G"), korvex.SiteInfo("1", 1, "A", "G")
    assert a != b and a == a
    assert type(a).__repr__ is object.__repr__


@pytest.mark.parametrize(
    "args, kwargs, exc, words",
    [
        (("1", 2**31, "A", "G"), {}, OverflowError, "pos"),
        (("1", -(2**31) - 1, "A", "G"), {}, OverflowError, "pos"),
        (("1", 2.0, "A", "G"), {}, TypeError, "'pos'"),
        (("1", "7", "A", "G"), {}, TypeError, "'pos'"),
        ((1, 2, "A", "G"), {}, TypeError, "'chrom'"),
        (("1", 2, "A", None), {}, TypeError, "'alt_allele'"),
        (("1", 2, "A"), {}, TypeError, "alt_allele"),
        (("1", 2, "A", "G", "X"), {}, TypeError, "at most 4"),
        (("1", 2, "A", "G"), {"chrom": "2"}, TypeError, "chrom"),
        (("1", 2, "A", "G"), {"strand": "+"}, TypeError, "strand"),
    ],
)
def test_site_info_argument_errors(args, kwargs, exc, words):
    with pytest.raises(exc, match=words):
        korvex.SiteInfo(*args, **kwargs)


def test_index_objects_are_ints_but_bools_of_numpy_are_not_strings():
    assert korvex.SiteInfo("1", np.int64(12), "A", "G").pos == 12
    assert korvex.SiteInfo("1", np.int32(-3), "A", "G").pos == -3


def test_numpy_capsule_failure_is_a_fatal_base_exception():
    # With NumPy unimportable the first array conversion fails with the fatal-error type, which
    # derives from BaseException, not Exception.
    code = textwrap.dedent("""
        import sys
        sys.modules["numpy"] = None
        import korvex
        fn = getattr(korvex, "block_randomized_svd", None) or getattr(korvex, "glmf32", None)
        if fn is None:
            print("SKIP")
            raise SystemExit
        try:
            fn(object(), 1)
        except Exception as e:
            print("Exception", type(e).__name__, e)
        except BaseException as e:
            print("Base", e)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    if out.strip() == "SKIP":
        pytest.skip("no array-taking function registered yet")
    assert out.startswith("Base Failed to access NumPy array API capsule")


def test_fork_child_can_use_the_default_pool():
    fn = getattr(korvex, "glmf32", None)
    if fn is None:
        pytest.skip("glmf32 not registered yet")
    import os
    y = np.arange(6.0)
    x = np.ones((6, 1))
    ixx = np.array([[1 / 6]])
    g = np.tile(np.array([0, 1, 2, 1, 0, 2], dtype=np.float32), (50, 1))
    before = fn(y, x, ixx, g)
    pid = os.fork()
    if pid == 0:
        ok = np.array_equal(fn(y, x, ixx, g), before, equal_nan=True)
        os._exit(0 if ok else 1)
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0


def test_exports_exactly_one_dynamic_symbol():
    import shutil
    if shutil.which("nm") is None:
        pytest.skip("nm not installed")
    out = subprocess.run(["nm", "-D", "--defined-only", korvex.__file__], capture_output=True,
                         text=True, check=True).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit_korvex"]


def test_text_signatures_and_docstrings():
    sig = inspect.signature(korvex.block_randomized_svd)
    assert [p.default for p in sig.parameters.values()][2:] == [10, 2, 4096, 0]
    assert korvex.block_randomized_svd.__doc__.splitlines() == [
        "Blocked randomized SVD for a dense matrix.",
        "Returns (U, S, Vt) with shapes (m, k), (k,), (k, n).",
        "Non-contiguous inputs are copied into a row-major buffer.",
    ]
    assert korvex.count_vcf_snps.__doc__ is None
    assert korvex.glmf32.__doc__.startswith("Fast GLM interface:\ny: (n,) float64\n")
    assert korvex.lmm_assoc_chunk_f32.__text_signature__ == (
        "(s, xcov, y_rot, log10_lbd, g_rot_chunk, threads=0)")
    assert korvex.lmm_reml_chunk_f32.__doc__ is None
    assert korvex.BedChunkReader.next_chunk.__text_signature__ == "($self, chunk_size)"
    assert korvex.BedChunkReader.__text_signature__ == (
        "(prefix, maf_threshold=None, max_missing_rate=None, fill_missing=None, snp_range=None, "
        "snp_indices=None, bim_range=None, sample_ids=None, sample_indices=None, mmap_window_mb=None)")
    assert korvex.VcfChunkReader.__text_signature__ == (
        "(path, maf_threshold=None, max_missing_rate=None, fill_missing=None)")


@pytest.mark.parametrize("name", ["BedChunkReader", "VcfChunkReader", "SiteInfo"])
def test_reader_classes_are_final_and_dictless(name):
    cls = getattr(korvex, name)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert cls.__module__ == "builtins" and cls.__name__ == name
