// Large result matrices from a small pool of reusable buffers.
//
// A fresh multi-megabyte array costs its pages: the kernel maps and zeroes each one on
// first touch, which for a large matrix is a good share of a fast kernel's whole time.
// Large results are therefore allocated through a NumPy memory handler of our own: the
// array owns its data as usual, and when it is freed, its buffer is kept (a few, up to a
// bounded total) for the next result of the same size instead of going back to the
// system. Everything else goes to NumPy's default handler, as does any block the pool
// does not keep.
#include "arrays.hpp"

#include <mutex>
#include <vector>

namespace ee {

namespace {

constexpr std::size_t kPooledMinBytes = std::size_t(8) << 20;  // smaller: the default path
constexpr std::size_t kPoolMaxBlocks = 2;
constexpr std::size_t kPoolMaxBytes = std::size_t(256) << 20;

struct Pool {
    std::mutex mutex;
    std::vector<std::pair<void *, std::size_t>> blocks;  // oldest first
    std::size_t bytes = 0;
    PyDataMem_Handler *fallback = nullptr;  // NumPy's default handler
};

// Never destroyed: arrays may be freed during interpreter shutdown.
Pool &pool() {
    static Pool *p = new Pool();
    return *p;
}

void *pool_malloc(void *, std::size_t size) {
    Pool &p = pool();
    {
        std::lock_guard<std::mutex> lock(p.mutex);
        for (auto it = p.blocks.begin(); it != p.blocks.end(); ++it) {
            if (it->second == size) {
                void *ptr = it->first;
                p.bytes -= size;
                p.blocks.erase(it);
                return ptr;
            }
        }
    }
    return p.fallback->allocator.malloc(p.fallback->allocator.ctx, size);
}

void *pool_calloc(void *, std::size_t nelem, std::size_t elsize) {
    Pool &p = pool();
    return p.fallback->allocator.calloc(p.fallback->allocator.ctx, nelem, elsize);
}

void *pool_realloc(void *, void *ptr, std::size_t new_size) {
    Pool &p = pool();
    return p.fallback->allocator.realloc(p.fallback->allocator.ctx, ptr, new_size);
}

void pool_free(void *, void *ptr, std::size_t size) {
    Pool &p = pool();
    if (ptr == nullptr) return;
    void *evicted = nullptr;
    std::size_t evicted_size = 0;
    if (size >= kPooledMinBytes && size <= kPoolMaxBytes) {
        std::lock_guard<std::mutex> lock(p.mutex);
        // Make room by letting the oldest kept block go.
        if (!p.blocks.empty() &&
            (p.blocks.size() >= kPoolMaxBlocks || p.bytes + size > kPoolMaxBytes)) {
            evicted = p.blocks.front().first;
            evicted_size = p.blocks.front().second;
            p.bytes -= evicted_size;
            p.blocks.erase(p.blocks.begin());
        }
        if (p.bytes + size <= kPoolMaxBytes) {
            p.blocks.emplace_back(ptr, size);
            p.bytes += size;
            ptr = nullptr;
        }
    }
    if (evicted) p.fallback->allocator.free(p.fallback->allocator.ctx, evicted, evicted_size);
    if (ptr) p.fallback->allocator.free(p.fallback->allocator.ctx, ptr, size);
}

PyDataMem_Handler handler = {
    "tessaline_reused_buffers",
    1,
    {nullptr, pool_malloc, pool_calloc, pool_realloc, pool_free},
};

PyObject *handler_capsule = nullptr;  // strong reference for the life of the process

}  // namespace

void init_buffer_pool() {
    PyObject *fallback = PyDataMem_DefaultHandler;
    auto *h = (PyDataMem_Handler *) PyCapsule_GetPointer(fallback, "mem_handler");
    if (h == nullptr) throw nb::python_error();
    pool().fallback = h;
    handler_capsule = check(PyCapsule_New(&handler, "mem_handler", nullptr)).release().ptr();
}

nb::object empty_f64_reused(int nd, npy_intp *dims) {
    npy_intp cells = 1;
    for (int i = 0; i < nd; ++i) cells *= dims[i];
    if (handler_capsule == nullptr || (std::size_t) cells * sizeof(double) < kPooledMinBytes)
        return check(PyArray_EMPTY(nd, dims, NPY_DOUBLE, 0));
    // The handler is set for this call only (it is a context variable of NumPy's).
    nb::object previous = check(PyDataMem_SetHandler(handler_capsule));
    PyObject *a = PyArray_EMPTY(nd, dims, NPY_DOUBLE, 0);
    nb::object restored = nb::steal(PyDataMem_SetHandler(previous.ptr()));
    if (a == nullptr) throw nb::python_error();
    nb::object array = nb::steal(a);
    if (!restored) throw nb::python_error();
    return array;
}

}  // namespace ee
