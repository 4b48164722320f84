// Disk image entries: sparse copy and sparse zstd decompression.
#include "disk/sparse_copy.hpp"
#include "disk/zstd_decompress.hpp"
#include "functions.hpp"
#include "gil.hpp"

namespace brindle::py {

BRINDLE_FASTCALL_ENTRY(clone_or_sparse_copy) {
  return call_with_arguments(
      signatures::clone_or_sparse_copy, args, nargs, kwnames, [](Arguments& a) -> PyObject* {
        std::string_view source, target;
        if (!a.convert_all(source, target)) return nullptr;
        return to_python(without_gil([&] { return disk::clone_or_sparse_copy(source, target); }));
      });
}

BRINDLE_FASTCALL_ENTRY(decompress_zstd_sparse) {
  return call_with_arguments(
      signatures::decompress_zstd_sparse, args, nargs, kwnames, [](Arguments& a) -> PyObject* {
        std::string_view source, target;
        std::uint64_t chunk_size = disk::DEFAULT_CHUNK_SIZE;
        if (!a.convert_all(source, target, chunk_size)) return nullptr;
        return to_python(
            without_gil([&] { return disk::decompress_zstd_sparse(source, target, chunk_size); }));
      });
}

}  // namespace brindle::py
