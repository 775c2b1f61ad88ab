// NumPy arrays handed out by the engine's bindings.
//
//     return owned_array(std::move(sums), {rows, cols});   // the array owns the buffer
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstddef>
#include <initializer_list>
#include <utility>
#include <vector>

namespace kestrilune::engine {

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
