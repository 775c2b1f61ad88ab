// NumPy arrays handed out by the engine's bindings.
//
//     return owned_array(std::move(sums), {rows, cols});   // the array owns the buffer
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

namespace kestrilune::engine {

// Arguments: read-only C-contiguous arrays in host memory, of one or two dimensions (leaf
// sets are rows of 64-bit words, bit l of word l / 64 for leaf l).
template <class T>
using InColumn = nanobind::ndarray<const T, nanobind::ndim<1>, nanobind::c_contig,
                                   nanobind::device::cpu>;
using InLeafSets = nanobind::ndarray<const std::uint64_t, nanobind::ndim<2>, nanobind::c_contig,
                                     nanobind::device::cpu>;

// A NumPy array that owns a vector's buffer (no copy); `shape` gives its dimensions.
template <class T>
nanobind::ndarray<nanobind::numpy, T> owned_array(std::vector<T>&& data,
                                                  std::initializer_list<std::size_t> shape) {
    auto* heap = new std::vector<T>(std::move(data));
    nanobind::capsule owner(heap,
                            [](void* p) noexcept { delete static_cast<std::vector<T>*>(p); });
    return nanobind::ndarray<nanobind::numpy, T>(heap->data(), shape.size(), shape.begin(),
                                                 owner);
}

}  // namespace kestrilune::engine
