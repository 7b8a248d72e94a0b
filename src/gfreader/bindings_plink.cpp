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

// A chunk buffer starts at this many bytes (or the whole chunk when smaller) and doubles while
// kept sites keep coming, so a chunk_size far beyond the data reserves nothing it does not use.
constexpr std::size_t kInitialChunkBytes = std::size_t{256} << 20;

struct BedReader {
  PlinkFileset fileset;
  SampleSelection samples;
  SnpSelection snps;
  std::size_t position = 0;  // next entry of snps.indices (SNP selection only)

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
        BedReader{std::move(*fileset), std::move(*samples), std::move(*snps), 0});
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
    const std::size_t n = r.samples.indices.size();
    if (n == 0) Py_RETURN_NONE;
    const std::uint64_t most_rows = std::min<std::uint64_t>(chunk_size, r.remaining_sites());
    if (most_rows == 0) Py_RETURN_NONE;
    if (most_rows > std::numeric_limits<std::size_t>::max() / sizeof(float) / n)
      return PyErr_NoMemory();
    const std::uint64_t first_rows =
        std::max<std::size_t>(1, kInitialChunkBytes / (n * sizeof(float)));
    std::size_t cap_rows = static_cast<std::size_t>(std::min(most_rows, first_rows));

    auto values = Buffer<float>::uninitialized(cap_rows * n);
    std::vector<SiteInfo> sites;
    sites.reserve(std::min<std::size_t>(cap_rows, 4096));
    SiteInfo site;
    std::size_t rows = 0;
    while (rows < most_rows) {
      if (rows == cap_rows) {
        const auto grown = static_cast<std::size_t>(
            std::min<std::uint64_t>(most_rows, std::uint64_t{cap_rows} * 2));
        auto bigger = Buffer<float>::uninitialized(grown * n);
        std::copy_n(values.data.get(), rows * n, bigger.data.get());
        values = std::move(bigger);
        cap_rows = grown;
      }
      auto got = read_next(r, values.data.get() + rows * n, site);
      if (!got) return raise(got.error());
      if (!*got) break;
      sites.push_back(std::move(site));
      ++rows;
    }
    if (rows == 0) Py_RETURN_NONE;
    // Sites dropped by QC can leave much of the buffer unused; the array should not hold it.
    if ((cap_rows - rows) * n * sizeof(float) > (std::size_t{1} << 20)) {
      auto tight = Buffer<float>::uninitialized(rows * n);
      std::copy_n(values.data.get(), rows * n, tight.data.get());
      values = std::move(tight);
    }
    return dosage_chunk_to_python(std::move(values), rows, n, sites);
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
