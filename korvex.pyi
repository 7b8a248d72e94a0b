from typing import Callable, Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt

class SiteInfo:
    def __init__(self, chrom: str, pos: int, ref_allele: str, alt_allele: str) -> None: ...
    @property
    def chrom(self) -> str: ...
    @property
    def pos(self) -> int: ...
    @property
    def ref_allele(self) -> str: ...
    @property
    def alt_allele(self) -> str: ...

DosageChunk = Tuple[npt.NDArray[np.float32], list[SiteInfo]]

class BedChunkReader:
    def __init__(
        self,
        prefix: str,
        maf_threshold: Optional[float] = None,
        max_missing_rate: Optional[float] = None,
        fill_missing: Optional[bool] = None,
        snp_range: Optional[Tuple[int, int]] = None,
        snp_indices: Optional[Sequence[int]] = None,
        bim_range: Optional[Tuple[str, int, int]] = None,
        sample_ids: Optional[Sequence[str]] = None,
        sample_indices: Optional[Sequence[int]] = None,
        mmap_window_mb: Optional[int] = None,
    ) -> None: ...
    def next_chunk(self, chunk_size: int) -> Optional[DosageChunk]: ...
    @property
    def n_samples(self) -> int: ...
    @property
    def n_snps(self) -> int: ...
    @property
    def sample_ids(self) -> list[str]: ...

class VcfChunkReader:
    def __init__(
        self,
        path: str,
        maf_threshold: Optional[float] = None,
        max_missing_rate: Optional[float] = None,
        fill_missing: Optional[bool] = None,
    ) -> None: ...
    def next_chunk(self, chunk_size: int) -> Optional[DosageChunk]: ...
    @property
    def sample_ids(self) -> list[str]: ...

def count_vcf_snps(path: str) -> int: ...
def glmf32(
    y: npt.NDArray[np.float64],
    x: npt.NDArray[np.float64],
    ixx: npt.NDArray[np.float64],
    g: npt.NDArray[np.float32],
    step: int = 10000,
    threads: int = 0,
) -> npt.NDArray[np.float64]: ...
def lmm_reml_chunk_f32(
    s: npt.NDArray[np.float64],
    xcov: npt.NDArray[np.float64],
    y_rot: npt.NDArray[np.float64],
    low: float,
    high: float,
    g_rot_chunk: npt.NDArray[np.float32],
    max_iter: int = 50,
    tol: float = 1e-2,
    threads: int = 0,
) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...
def lmm_assoc_chunk_f32(
    s: npt.NDArray[np.float64],
    xcov: npt.NDArray[np.float64],
    y_rot: npt.NDArray[np.float64],
    log10_lbd: float,
    g_rot_chunk: npt.NDArray[np.float32],
    threads: int = 0,
) -> npt.NDArray[np.float64]: ...
def block_randomized_svd(
    a: npt.NDArray[np.float64],
    k: int,
    oversample: int = 10,
    n_iter: int = 2,
    block_rows: int = 4096,
    seed: int = 0,
) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...
