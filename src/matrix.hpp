// Dense row-major matrices and strided read-only views.
//
// Routines read inputs through views (any strides, so a NumPy column or a
// transposed array can be passed without a copy) and return new contiguous
// row-major matrices owned by the caller.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <memory>
#include <utility>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace vorna {

// Asks for huge pages for the 2 MB-aligned part of a buffer where the system
// gives them on request (Linux's transparent huge pages in "madvise" mode,
// as NumPy asks for its large arrays): its first writes then fault once per
// 2 MB rather than once per 4 kB, which for the three n-vectors of a fit at
// n = 10⁶ took several milliseconds. Only advice: the memory stays the
// allocator's.
inline void advise_huge_pages(void* data, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
  const auto start = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (start + kHugePage - 1) & ~(kHugePage - 1), last = (start + bytes) & ~(kHugePage - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  static_cast<void>(data), static_cast<void>(bytes);
#endif
}

// std::allocator with huge pages for large buffers (see advise_huge_pages):
// a model matrix, a copy of the data, the n-vectors of a fit. The first
// writes into the 24 MB of a vorna_core fit's copies at n = 10⁶ cost about a
// tenth of the fit in page faults.
template <class T>
struct LargePageAllocator : std::allocator<T> {
  using value_type = T;
  LargePageAllocator() = default;
  template <class U>
  LargePageAllocator(const LargePageAllocator<U>&) noexcept {}
  template <class U>
  struct rebind {
    using other = LargePageAllocator<U>;
  };
  T* allocate(std::size_t n) {
    T* data = std::allocator<T>::allocate(n);
    advise_huge_pages(data, n * sizeof(T));
    return data;
  }
};
template <class T, class U>
bool operator==(const LargePageAllocator<T>&, const LargePageAllocator<U>&) noexcept {
  return true;
}

using Vector = std::vector<double, LargePageAllocator<double>>;

// An allocator whose value-initialization of an element does nothing: a
// buffer whose every entry is written later (by the threads of a row pass,
// which then also touch its memory first) takes no pass of zeros. Large
// buffers get huge pages (see advise_huge_pages).
template <class T>
struct UninitializedAllocator : std::allocator<T> {
  using value_type = T;
  T* allocate(std::size_t n) {
    T* data = std::allocator<T>::allocate(n);
    advise_huge_pages(data, n * sizeof(T));
    return data;
  }
  template <class U>
  struct rebind {
    using other = UninitializedAllocator<U>;
  };
  UninitializedAllocator() = default;
  template <class U>
  UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

// Per-row results a pass writes in full (η, μ, weights of every row).
using RowBuffer = std::vector<double, UninitializedAllocator<double>>;

// A strided, read-only view of n doubles. Strides are in elements and may be
// negative.
class VectorView {
 public:
  VectorView() = default;
  VectorView(const double* data, std::size_t size, std::ptrdiff_t stride = 1)
      : data_(data), size_(size), stride_(stride) {}
  VectorView(const Vector& v) : data_(v.data()), size_(v.size()), stride_(1) {}            // NOLINT
  VectorView(std::span<const double> s) : data_(s.data()), size_(s.size()), stride_(1) {}  // NOLINT

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const double* data() const { return data_; }
  std::ptrdiff_t stride() const { return stride_; }
  double operator[](std::size_t i) const {
    assert(i < size_);
    return data_[static_cast<std::ptrdiff_t>(i) * stride_];
  }
  Vector to_vector() const {
    Vector out(size_);
    for (std::size_t i = 0; i < size_; ++i) out[i] = (*this)[i];
    return out;
  }

 private:
  const double* data_ = nullptr;
  std::size_t size_ = 0;
  std::ptrdiff_t stride_ = 1;
};

class Matrix;

// A strided, read-only view of a rows × cols block of doubles.
class ConstMatrixView {
 public:
  ConstMatrixView() = default;
  ConstMatrixView(const double* data, std::size_t rows, std::size_t cols, std::ptrdiff_t row_stride,
                  std::ptrdiff_t col_stride)
      : data_(data), rows_(rows), cols_(cols), row_stride_(row_stride), col_stride_(col_stride) {}
  ConstMatrixView(const Matrix& m);  // NOLINT: implicit by design

  std::size_t rows() const { return rows_; }
  std::size_t cols() const { return cols_; }
  double operator()(std::size_t i, std::size_t j) const {
    assert(i < rows_ && j < cols_);
    return data_[static_cast<std::ptrdiff_t>(i) * row_stride_ + static_cast<std::ptrdiff_t>(j) * col_stride_];
  }
  VectorView row(std::size_t i) const {
    return {data_ + static_cast<std::ptrdiff_t>(i) * row_stride_, cols_, col_stride_};
  }
  VectorView col(std::size_t j) const {
    return {data_ + static_cast<std::ptrdiff_t>(j) * col_stride_, rows_, row_stride_};
  }
  bool is_row_major_contiguous() const {
    return (cols_ <= 1 || col_stride_ == 1) && (rows_ <= 1 || row_stride_ == static_cast<std::ptrdiff_t>(cols_));
  }
  const double* data() const { return data_; }
  std::ptrdiff_t row_stride() const { return row_stride_; }
  std::ptrdiff_t col_stride() const { return col_stride_; }

 private:
  const double* data_ = nullptr;
  std::size_t rows_ = 0;
  std::size_t cols_ = 0;
  std::ptrdiff_t row_stride_ = 0;
  std::ptrdiff_t col_stride_ = 1;
};

// An owned, contiguous, row-major matrix.
class Matrix {
 public:
  Matrix() = default;
  Matrix(std::size_t rows, std::size_t cols, double fill = 0.0)
      : rows_(rows), cols_(cols), data_(checked_size(rows, cols), fill) {}
  // Takes rows × cols entries, row-major (std::invalid_argument otherwise).
  Matrix(std::size_t rows, std::size_t cols, Vector&& entries) : rows_(rows), cols_(cols), data_(std::move(entries)) {
    if (data_.size() != checked_size(rows, cols)) throw std::invalid_argument("matrix entries do not match its size");
  }
  explicit Matrix(ConstMatrixView view) : Matrix(view.rows(), view.cols()) {
    for (std::size_t i = 0; i < rows_; ++i)
      for (std::size_t j = 0; j < cols_; ++j) (*this)(i, j) = view(i, j);
  }

  static Matrix identity(std::size_t n) {
    Matrix m(n, n);
    for (std::size_t i = 0; i < n; ++i) m(i, i) = 1.0;
    return m;
  }

  std::size_t rows() const { return rows_; }
  std::size_t cols() const { return cols_; }
  bool is_square() const { return rows_ == cols_; }

  double& operator()(std::size_t i, std::size_t j) {
    assert(i < rows_ && j < cols_);
    return data_[i * cols_ + j];
  }
  double operator()(std::size_t i, std::size_t j) const {
    assert(i < rows_ && j < cols_);
    return data_[i * cols_ + j];
  }
  double* row_ptr(std::size_t i) { return data_.data() + i * cols_; }
  const double* row_ptr(std::size_t i) const { return data_.data() + i * cols_; }
  VectorView row(std::size_t i) const { return {row_ptr(i), cols_, 1}; }
  VectorView col(std::size_t j) const { return {data_.data() + j, rows_, static_cast<std::ptrdiff_t>(cols_)}; }

  double* data() { return data_.data(); }
  const double* data() const { return data_.data(); }
  Vector& storage() { return data_; }
  const Vector& storage() const { return data_; }

  ConstMatrixView view() const { return {data_.data(), rows_, cols_, static_cast<std::ptrdiff_t>(cols_), 1}; }
  ConstMatrixView transposed_view() const {
    return {data_.data(), cols_, rows_, 1, static_cast<std::ptrdiff_t>(cols_)};
  }

  // rows × cols, refusing sizes whose product overflows (std::length_error).
  static std::size_t checked_size(std::size_t rows, std::size_t cols) {
    if (cols != 0 && rows > Vector().max_size() / cols) throw std::length_error("matrix too large");
    return rows * cols;
  }

 private:
  std::size_t rows_ = 0;
  std::size_t cols_ = 0;
  Vector data_;
};

inline ConstMatrixView::ConstMatrixView(const Matrix& m) : ConstMatrixView(m.view()) {}

}  // namespace vorna
