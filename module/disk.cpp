// Disk image entries: sparse copy and sparse zstd decompression.
#include "disk/sparse_copy.hpp"
#include "disk/zstd_decompress.hpp"
#include "functions.hpp"
#include "gil.hpp"

namespace brindle::py {

namespace {
PyObject* disk_result(const Result<std::string>& result) {
  if (!result) return raise_os_error(result.error());
  return text_result(*result);
}
}  // namespace

BRINDLE_FASTCALL_ENTRY(clone_or_sparse_copy) {
  static constexpr Signature signature{"clone_or_sparse_copy()", {"source", "target"}};
  return call_with_arguments(signature, args, nargs, kwnames, [](Arguments& a) -> PyObject* {
    std::string_view source, target;
    if (!a.convert(0, source) || !a.convert(1, target)) return nullptr;
    return disk_result(without_gil([&] { return disk::clone_or_sparse_copy(source, target); }));
  });
}

BRINDLE_FASTCALL_ENTRY(decompress_zstd_sparse) {
  static constexpr Signature signature{
      "decompress_zstd_sparse()", {"source", "target", "chunk_size"}, 2};
  return call_with_arguments(signature, args, nargs, kwnames, [](Arguments& a) -> PyObject* {
    std::string_view source, target;
    std::uint64_t chunk_size = disk::DEFAULT_CHUNK_SIZE;
    if (!a.convert(0, source) || !a.convert(1, target) || !a.convert(2, chunk_size)) {
      return nullptr;
    }
    return disk_result(
        without_gil([&] { return disk::decompress_zstd_sparse(source, target, chunk_size); }));
  });
}

}  // namespace brindle::py
