// VcfChunkReader (QC'd sites of a VCF file in float32 chunks) and count_vcf_snps.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "gfcore/vcf.hpp"
#include "gfreader/py_site_info.hpp"

namespace korvex::py {
namespace {

const Signature kInit("VcfChunkReader", {{"path"},
                                         {"maf_threshold", "None"},
                                         {"max_missing_rate", "None"},
                                         {"fill_missing", "None"}});
const Signature kNextChunk("next_chunk", {{"chunk_size"}}, nullptr, true);
const Signature kCount("count_vcf_snps", {{"path"}});

struct VcfReader {
  VcfStream stream;
  // A failure met after some sites were gathered: those sites are returned first and the failure
  // is raised by the next call.
  std::optional<ModuleError> deferred;
};

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Args a(kInit);
    if (!a.bind(args, kwargs)) return nullptr;
    std::string path;
    F32 maf{0.0f};
    F32 miss{1.0f};
    bool fill = true;
    if (!a.get(0, path) || !a.get(1, maf) || !a.get(2, miss) || !a.get(3, fill)) return nullptr;
    auto stream = open_vcf(path, QcOptions{maf.value, miss.value, fill});
    if (!stream) return raise(with_kind(stream.error(), ErrorKind::OperationFailed));
    return box_new(type, std::make_unique<VcfReader>(VcfReader{std::move(*stream), std::nullopt}));
  });
}

// Gathers up to chunk_size kept sites. A failure of the stream (a read failure, OSError; a line
// with the wrong number of sample columns, RuntimeError) is raised at once when nothing was
// gathered; otherwise the sites gathered before it are returned and the next call raises it. A
// read failure keeps being raised after that; after a bad line, reading goes on past it.
PyObject* next_chunk(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Args a(kNextChunk);
    if (!a.bind(args, nargs, kwnames)) return nullptr;
    std::uint64_t chunk_size = 0;
    if (!a.get(0, chunk_size)) return nullptr;
    auto* box = reinterpret_cast<Box<VcfReader>*>(self);
    Exclusive exclusive(box->busy);
    if (!exclusive.ok()) return nullptr;
    if (chunk_size == 0) return raise(ModuleError{ErrorKind::InvalidValue, "chunk_size must be > 0"});

    VcfReader& reader = *box->native;
    if (raise_deferred(reader.deferred)) return nullptr;
    const std::size_t n = reader.stream.n_samples();
    return gather_dosage_chunk(chunk_size, n, reader.deferred, [&](float* row, SiteInfo& site) {
      return reader.stream.next_site(std::span<float>(row, n), site);
    });
  });
}

PyObject* get_sample_ids(PyObject* self, void*) {
  return guarded([&]() -> PyObject* { return to_python(native_of<VcfReader>(self).stream.sample_ids()); });
}

PyMethodDef kMethods[] = {
    {"next_chunk", fastcall(next_chunk), kFastcallFlags, kNextChunk.docstring()},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"sample_ids", get_sample_ids, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

ClassSpec reader_spec() {
  return ClassSpec{"VcfChunkReader", &kInit, reader_new, kMethods, kGetSet,
                   sizeof(Box<VcfReader>), box_dealloc<VcfReader>};
}

TypeHandle g_reader(reader_spec);

const Registered kRegisteredReader(g_reader);

// Open failure: RuntimeError; a read failure while counting: OSError.
PyObject* count_vcf_snps(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Args a(kCount);
    if (!a.bind(args, nargs, kwnames)) return nullptr;
    std::string path;
    if (!a.get(0, path)) return nullptr;
    auto count = count_vcf_data_lines(path);
    if (!count) return raise(count.error());
    return to_python(*count);
  });
}

PyMethodDef kCountDef = {"count_vcf_snps", fastcall(count_vcf_snps), kFastcallFlags,
                         kCount.docstring()};

const Registered kRegisteredCount("count_vcf_snps",
                                  [](PyObject* m) { return make_function(&kCountDef, m); });

}  // namespace
}  // namespace korvex::py
