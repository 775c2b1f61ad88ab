// thread_scratch<Tag, T>(): this thread's own T, made on first use and kept for the
// thread's life: the scratch memory a worker reuses from one tree or tile to the next.
//
//     Scratch& s = thread_scratch<Scratch>();          // one per type
//     auto& keys = thread_scratch<struct SortKeys, std::vector<std::uint64_t>>();
//
// Why not a thread_local named in place: inside a shared library (each extension module
// links this core), the address of a thread_local comes from a call into the dynamic
// linker (__tls_get_addr), and the compiler may repeat that call wherever it needs the
// address again instead of keeping it, as it did twice per node in the snapshot's edge
// loop. A reference returned by a call that is never inlined cannot be recomputed, so it
// is taken once. Tag tells apart uses that share a type.
#pragma once

namespace kestrilune {

template <class Tag, class T = Tag>
[[gnu::noinline]] T& thread_scratch() {
    thread_local T value;
    return value;
}

}  // namespace kestrilune
