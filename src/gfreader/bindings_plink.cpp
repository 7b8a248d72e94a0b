// BedChunkReader: QC'd sites of a PLINK fileset in float32 chunks, with optional SNP and sample
// selections.
#include <algorithm>
#include <limits>
#include <memory>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>

#include "gfcore/plink.hpp"
#include "gfreader/py_site_info.hpp"
#include "gfreader/selection.hpp"

namespace korvex::py {
namespace {

struct BedReader {
  PlinkFileset fileset;
  SampleSelection samples;
  SnpSelection snps;
  std::size_t position = 0;  // next entry of snps.indices (SNP selection only)
  std::optional<ModuleError> deferred;  // a failure met after the sites of the last chunk

  std::size_t remaining_sites() const {
    return snps.all ? fileset.n_sites() - fileset.cursor() : snps.indices.size() - position;
  }
};

const Signature kInit("BedChunkReader", {{"prefix"},
                                         {"maf_threshold", "None"},
                                         {"max_missing_rate", "None"},
                                         {"fill_missing", "None"},
                                         {"snp_range", "None"},
                                         {"snp_indices", "None"},
                                         {"bim_range", "None"},
                                         {"sample_ids", "None"},
                                         {"sample_indices", "None"},
                                         {"mmap_window_mb", "None"}});
const Signature kNextChunk("next_chunk", {{"chunk_size"}}, nullptr, true);

ModuleError as_runtime_error(ModuleError error) {
  // Open and selection failures are RuntimeErrors; broken invariants keep their own kind.
  if (error.kind != ErrorKind::Fatal) error.kind = ErrorKind::OperationFailed;
  return error;
}

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Args a(kInit);
    if (!a.bind(args, kwargs)) return nullptr;
    std::string prefix;
    F32 maf{0.0f};
    F32 miss{1.0f};
    bool fill = true;
    std::optional<std::tuple<std::uint64_t, std::uint64_t>> snp_range;
    std::optional<std::vector<std::uint64_t>> snp_indices;
    std::optional<std::tuple<std::string, std::int32_t, std::int32_t>> bim_range;
    std::optional<std::vector<std::string>> sample_ids;
    std::optional<std::vector<std::uint64_t>> sample_indices;
    std::optional<std::uint64_t> window_mb;
    if (!a.get(0, prefix) || !a.get(1, maf) || !a.get(2, miss) || !a.get(3, fill) ||
        !a.get(4, snp_range) || !a.get(5, snp_indices) || !a.get(6, bim_range) ||
        !a.get(7, sample_ids) || !a.get(8, sample_indices) || !a.get(9, window_mb))
      return nullptr;
    const QcOptions qc{maf.value, miss.value, fill};

    if (window_mb && (snp_range || snp_indices || bim_range))
      return raise(ModuleError{ErrorKind::InvalidValue,
                               "mmap_window_mb does not support snp_range/snp_indices/bim_range"});

    auto fileset =
        window_mb ? open_fileset_windowed(prefix, qc, *window_mb) : open_fileset(prefix, qc);
    if (!fileset) return raise(as_runtime_error(fileset.error()));

    auto samples = resolve_sample_selection(fileset->sample_ids(), sample_ids, sample_indices);
    if (!samples) return raise(as_runtime_error(samples.error()));

    std::optional<std::pair<std::uint64_t, std::uint64_t>> range;
    if (snp_range) range.emplace(std::get<0>(*snp_range), std::get<1>(*snp_range));
    std::optional<BimRange> bim;
    if (bim_range)
      bim = BimRange{std::get<0>(*bim_range), std::get<1>(*bim_range), std::get<2>(*bim_range)};
    auto snps = resolve_snp_selection(fileset->sites(), range, snp_indices, bim);
    if (!snps) return raise(as_runtime_error(snps.error()));

    auto reader = std::make_unique<BedReader>(
        BedReader{std::move(*fileset), std::move(*samples), std::move(*snps), 0, std::nullopt});
    return box_new(type, std::move(reader));
  });
}

// Decodes the next kept site of the reader into `out` (selected samples, in selection order):
// true when a site was read, false at the end of the data.
Result<bool> read_next(BedReader& r, float* out, SiteInfo& site) {
  const bool whole_rows = r.samples.identity;
  const std::span<const std::size_t> picks(r.samples.indices);
  if (r.snps.all) {
    auto got =
        whole_rows ? r.fileset.next_into(out, &site) : r.fileset.next_into(picks, out, &site);
    if (!got) return std::unexpected(got.error());
    return got->has_value();
  }
  while (r.position < r.snps.indices.size()) {
    const std::size_t index = r.snps.indices[r.position++];
    auto kept = whole_rows ? r.fileset.read_at(index, out, &site)
                           : r.fileset.read_at(index, picks, out, &site);
    if (!kept) return std::unexpected(kept.error());
    if (*kept) return true;
  }
  return false;
}

PyObject* next_chunk(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Args a(kNextChunk);
    if (!a.bind(args, nargs, kwnames)) return nullptr;
    std::uint64_t chunk_size = 0;
    if (!a.get(0, chunk_size)) return nullptr;
    auto* box = reinterpret_cast<Box<BedReader>*>(self);
    Exclusive exclusive(box->busy);
    if (!exclusive.ok()) return nullptr;
    if (chunk_size == 0)
      return raise(ModuleError{ErrorKind::InvalidValue, "chunk_size must be > 0"});

    BedReader& r = *box->native;
    if (raise_deferred(r.deferred)) return nullptr;
    const std::size_t n = r.samples.indices.size();
    const std::uint64_t most_rows = std::min<std::uint64_t>(chunk_size, r.remaining_sites());
    if (n == 0 || most_rows == 0) Py_RETURN_NONE;
    return gather_dosage_chunk(most_rows, n, r.deferred,
                               [&](float* row, SiteInfo& site) { return read_next(r, row, site); });
  });
}

PyObject* get_n_samples(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    return to_python(std::uint64_t{native_of<BedReader>(self).samples.indices.size()});
  });
}

PyObject* get_n_snps(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const BedReader& r = native_of<BedReader>(self);
    return to_python(std::uint64_t{r.snps.all ? r.fileset.n_sites() : r.snps.indices.size()});
  });
}

PyObject* get_sample_ids(PyObject* self, void*) {
  return guarded([&]() -> PyObject* { return to_python(native_of<BedReader>(self).samples.ids); });
}

PyMethodDef kMethods[] = {
    {"next_chunk", fastcall(next_chunk), kFastcallFlags, kNextChunk.docstring()},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"n_samples", get_n_samples, nullptr, nullptr, nullptr},
    {"n_snps", get_n_snps, nullptr, nullptr, nullptr},
    {"sample_ids", get_sample_ids, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

ClassSpec reader_spec() {
  return ClassSpec{"BedChunkReader", &kInit, reader_new, kMethods, kGetSet,
                   sizeof(Box<BedReader>), box_dealloc<BedReader>};
}

TypeHandle g_reader(reader_spec);

const Registered kRegistered(g_reader);

}  // namespace
}  // namespace korvex::py
