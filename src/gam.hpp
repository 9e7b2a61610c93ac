// The model behind the Python class GAM: its smooths, its family and the
// stored results of the last successful fit; automatic set-up of one smooth
// per column, model-matrix and penalty assembly, the two fit pipelines,
// prediction, and the model's state as plain values (for saving and copying).
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "basis.hpp"
#include "error.hpp"
#include "family.hpp"
#include "matrix.hpp"
#include "pirls.hpp"
#include "smooth.hpp"

namespace vorna {

// What a successful fit reports (the Python layer turns it into the dict).
struct FitSummary {
  Vector lambda;
  double deviance = 0.0;
  Vector fitted_values;
  // What did not converge, one sentence each; the binding issues them as
  // ConvergenceWarning.
  std::vector<std::string> warnings;
};

// The model matrix and the scaled, embedded penalties of the current smooths.
struct ModelMatrix {
  Matrix x;                     // n × p, the smooths' basis blocks side by side
  std::vector<Matrix> penalty;  // one p × p matrix per smooth
};

// ---- A model as plain values ---------------------------------------------------
// What GamModel::state() exports and GamModel::from_state() rebuilds a model
// from: the Python layer pickles it, and copies of a model are made through it.
// Every number is kept as stored, so a rebuilt model gives bit-identical
// results.

enum class BasisKind : std::uint8_t { CubicRegression = 0, BSpline = 1 };  // "cr", "bs"

struct SmoothState {
  std::string name;
  BasisKind basis = BasisKind::BSpline;
  // The basis's knots(): k for "cr", k − 2 for "bs". The basis is rebuilt
  // from them, which repeats the arithmetic of its construction exactly.
  Vector knots;
  Matrix penalty;  // the raw k × k penalty, kept rather than recomputed
  double lambda = 1.0;
};

// The stored results of the last successful fit (n observations, p
// coefficients), and the version of the smooth list they belong to.
struct FitState {
  SmoothingParameter smoothing;  // the optimizer's record (method, λ, Fellner-Schall switch)
  Vector lambdas;                // what get_all_lambdas returns
  Vector coefficients;           // p
  Vector fitted_values;          // n
  Vector linear_predictor;       // n
  Vector working_weights;        // n
  Matrix design_matrix;          // n × p
  double deviance = 0.0;
  std::size_t smooths_version = 0;
};

struct GamState {
  Family family = Family::Gaussian;
  std::vector<SmoothState> smooths;
  // How many times the smooth list has changed; compared with
  // fit->smooths_version to tell whether the smooths changed after the fit.
  std::size_t smooths_version = 0;
  std::optional<FitState> fit;  // absent until a fit succeeds
};

// The model matrix of a fit: the matrix the fit made, or the inputs and
// bases it is a function of, made into the matrix on first use (with the
// values build_model_matrix() gives). Safe to read from several threads.
class StoredModelMatrix {
 public:
  explicit StoredModelMatrix(Matrix made);
  // x has one column per basis.
  StoredModelMatrix(Matrix x, std::vector<std::shared_ptr<const SplineBasis>> bases);
  // The matrix, made on the first call (and kept). Interrupted when Ctrl-C
  // stops the making (a later call starts again); may throw std::bad_alloc.
  Result<const Matrix*> get() const;
  // A copy of the matrix, made afresh (and not kept) when no call of get()
  // has made it yet; Interrupted as get().
  Result<Matrix> copy() const;
  // Whether `copies` more n × p matrices beside one made here fit in this
  // machine's memory: InvalidParameter naming the size if not. Succeeds at
  // once when the matrix exists.
  Result<void> check_room(std::size_t copies) const;

 private:
  Result<Matrix> make() const;  // a block of rows at a time, asking for a stop between blocks
  mutable std::mutex making_;
  mutable std::atomic<bool> ready_{false};  // set once matrix_ holds the matrix, which then never changes
  mutable Matrix matrix_;
  Matrix x_;
  std::vector<std::shared_ptr<const SplineBasis>> bases_;
  std::size_t p_ = 0;
};

// The level a Gaussian fit is made without, ȳ (`value`), and the
// coefficients [first, first + count) it goes to on storing (see
// level_carrier).
struct ResponseLevel {
  double value = 0.0;
  std::size_t first = 0, count = 0;
};

class GamModel {
 public:
  explicit GamModel(Family family) : family_(family) {}

  Family family() const { return family_; }
  bool fitted() const { return fitted_; }
  const std::vector<SmoothTerm>& smooths() const { return smooths_; }

  // Stored results; absent until a fit succeeds.
  const std::optional<Vector>& lambdas() const { return lambdas_; }
  const std::optional<Vector>& fitted_values() const { return fitted_values_; }
  const std::optional<Vector>& coefficients() const { return coefficients_; }
  // Made on first use after a fit that did not need it (see StoredModelMatrix);
  // null until a fit succeeds. InvalidParameter when the matrix and one copy
  // of it would not fit in memory, Interrupted when Ctrl-C stops its making.
  Result<const Matrix*> design_matrix() const {
    if (!design_matrix_) return static_cast<const Matrix*>(nullptr);
    VORNA_CHECK(design_matrix_->check_room(1));
    return design_matrix_->get();
  }
  const std::optional<double>& deviance() const { return deviance_; }

  // Replaces the smooth list by one smooth per column of x ("cr" or "bs").
  // On failure the smooths made so far stay in the list.
  Result<void, Failure> setup_smooths(const Matrix& x, std::span<const std::size_t> k, std::string_view bs);
  void add_smooth(SmoothTerm smooth) {
    smooths_.push_back(std::move(smooth));
    ++smooths_version_;
  }
  void clear_smooths() {
    smooths_.clear();
    ++smooths_version_;
  }

  // The smooth list with its version, to be put back by restore_smooths()
  // when a fit that replaced it stops for Ctrl-C: an interrupted fit leaves
  // the model as it was (other failures keep the new smooths).
  struct SmoothList {
    std::vector<SmoothTerm> smooths;
    std::size_t version;
  };
  SmoothList smooth_list() const { return {smooths_, smooths_version_}; }
  void restore_smooths(SmoothList list) {
    smooths_ = std::move(list.smooths);
    smooths_version_ = list.version;
  }

  // The plain pipeline over the current smooths. x is consumed.
  Result<FitSummary, Failure> fit_model(Matrix x, const Vector& y, std::string_view method,
                                        std::optional<std::size_t> max_iter);
  // The cached pipeline: k check, set-up, then the fit (see gam_optimized.cpp).
  // Ctrl-C leaves the smooth list as it was.
  Result<FitSummary, Failure> fit_model_cached(Matrix x, const Vector& y, std::span<const std::size_t> k,
                                               std::string_view method, std::string_view bs,
                                               std::optional<std::size_t> max_iter);

  // Replaces the smooths by the formula's B-spline terms (knots from the named
  // columns) and runs the plain pipeline. The formula is parsed and checked
  // against x before the model changes; Ctrl-C leaves the smooth list as it was.
  Result<FitSummary, Failure> fit_formula(Matrix x, const Vector& y, std::string_view formula, std::string_view method,
                                          std::optional<std::size_t> max_iter);

  // Predicted means at new inputs (one column per smooth).
  Result<Vector> predict_response(const Matrix& x) const;

  // A copy of everything the model holds (n × p for the design matrix: the
  // cost of one copy of the stored fit). InvalidParameter only for a basis
  // that is neither of the two kinds, which no model built here has.
  Result<GamState> state() const;
  // The model a state describes; the state's arrays are moved in. Every
  // check runs before anything is built, and a failure is an InvalidParameter
  // naming the smooth or field at fault: a basis the knots cannot make (see
  // the two create()), a penalty that is not k × k for its basis, result
  // vectors whose lengths disagree with the design matrix or with each other,
  // a fit newer than the smooth list, or a fit of the current smooth list
  // whose coefficients or smoothing parameters do not match it in number.
  static Result<GamModel> from_state(GamState state);

 private:
  // The cached pipeline's Gaussian fit without the model matrix (see
  // gam_optimized.cpp); `rows` reads x, which is moved into the stored
  // results only at the end.
  template <class Rows>
  Result<FitSummary, Failure> fit_gaussian_by_rows(const Rows& rows, Matrix&& x, const Vector& y,
                                                   SmoothingMethod method, std::size_t iterations, ResponseLevel level);

  Result<FitSummary, Failure> fit_model_cached_once(Matrix x, const Vector& y, std::span<const std::size_t> k,
                                                    std::string_view method, std::string_view bs,
                                                    std::optional<std::size_t> max_iter);

  // Writes every result field and sets the fitted flag.
  // `level`: the ȳ the fit was made without and where it goes (see level_carrier).
  FitSummary store(std::shared_ptr<const StoredModelMatrix> design, SmoothingParameter smoothing, PirlsResult fit,
                   const Vector& y, std::vector<std::string> warnings, ResponseLevel level = {});

  Family family_;
  std::vector<SmoothTerm> smooths_;
  bool fitted_ = false;
  // Bumped by every change of the smooth list; the stored results belong to
  // the list of fitted_smooths_version_.
  std::size_t smooths_version_ = 0;
  std::size_t fitted_smooths_version_ = 0;
  std::optional<double> deviance_;
  std::optional<SmoothingParameter> smoothing_;
  std::optional<Vector> lambdas_;
  std::optional<Vector> coefficients_;
  std::optional<Vector> fitted_values_;
  // Empty after a fit whose PirlsResult left them empty (see
  // gaussian_pirls_from_products): then the fitted values and ones.
  std::optional<Vector> linear_predictor_;
  std::optional<Vector> working_weights_;
  std::shared_ptr<const StoredModelMatrix> design_matrix_;
};

// "method must be 'GCV' or 'REML'" unless method is exactly one of the two.
Result<SmoothingMethod, Failure> parse_method(std::string_view method);

// p: the number of basis functions of all smooths together.
std::size_t total_basis(const std::vector<SmoothTerm>& smooths);

// The model matrix of `smooths` evaluated at the columns of x (x has one
// column per smooth).
Matrix build_model_matrix(const std::vector<SmoothTerm>& smooths, const Matrix& x);
// The same into a zero-filled x.rows() × p matrix.
void fill_model_matrix(const std::vector<SmoothTerm>& smooths, const Matrix& x, Matrix& model);

// Each smooth's raw penalty scaled by ‖B_j‖∞² / ‖S_j‖∞ (unscaled when
// ‖S_j‖∞ ≤ 1e-10) and embedded at its block of a p × p matrix.
std::vector<Matrix> scaled_penalties(const std::vector<SmoothTerm>& smooths, const Matrix& model_matrix);
// The same from ‖B_j‖∞ (one per smooth) for p columns in all.
std::vector<Matrix> scaled_penalties(const std::vector<SmoothTerm>& smooths, std::span<const double> basis_norms,
                                     std::size_t p);

// The model matrix with each smooth's ‖B_j‖∞, the largest absolute row sum
// of its block: the values of build_model_matrix() and block by block the
// norms scaled_penalties() would take from it, in one pass. Interrupted when
// Ctrl-C stops the making.
struct NormedModelMatrix {
  Matrix matrix;
  std::vector<double> basis_norms;
};
Result<NormedModelMatrix> build_model_matrix_with_norms(const std::vector<SmoothTerm>& smooths, const Matrix& x);

// Each smooth's raw penalty embedded, unscaled, at its block of a p × p matrix.
std::vector<Matrix> embedded_penalties(const std::vector<SmoothTerm>& smooths, std::size_t p);

// Minimum and maximum of a column, NaN entries ignored (+inf and −inf when
// nothing is left).
std::pair<double, double> finite_range(VectorView column);

// XᵀX and Xᵀy of the model matrix for a family whose working weights are all
// exactly 1 (Gaussian): then they are XᵀWX and XᵀWy of every PiRLS iteration
// and every optimizer call of the fit, and are formed once. None otherwise.
std::optional<CrossProducts> unit_weight_cross_products(Family family, const Matrix& design, const Vector& y);

// The largest |ln a_j − ln b_j| over the shorter vector, NaN terms ignored, 0 when empty.
double max_log_change(const Vector& a, const Vector& b);

// Refuses a model whose n × p model matrix and m p × p penalties would not
// fit into the machine's physical memory (rather than let the system kill
// the process part-way).
Result<void> check_model_size(std::size_t n, std::size_t p, std::size_t m);

// Rejects data no fit can use: no observations, or NaN / infinite entries.
Result<void> check_data(const Matrix& x, const Vector& y);

// Rejects a response outside the family's domain (binomial 0 ≤ y ≤ 1,
// Poisson y ≥ 0, Gamma y > 0), naming the first offending index and value.
Result<void> check_response_domain(Family family, const Vector& y);

// The outer loop of both fit pipelines: PiRLS at the current λ, then λ chosen
// on the working model of that fit (for a Gaussian fit the data themselves),
// warm-started from the previous pass, until log λ moves by less than the
// tolerance (1e-6; 2e-6 after four passes when `loosen` is set) or
// `max_passes` passes have run; then the final PiRLS fit. `cache` carries the
// unit-weight cross products of a Gaussian fit.
struct SelectedFit {
  SmoothingParameter smoothing;
  PirlsResult fit;
  std::vector<std::string> warnings;
  double pirls_ms = 0.0;
  double optimize_ms = 0.0;
};
Result<SelectedFit, Failure> select_and_fit(Family family, const Matrix& design, const Vector& y,
                                            std::span<const Matrix> penalties, SmoothingParameter smoothing,
                                            std::size_t max_passes, const CrossProducts* cache, bool loosen);
// The warning of a search that stopped short, and the final fit with its own.
void add_search_warning(SelectedFit& out, const SelectionOutcome& report);
void add_final_fit(SelectedFit& out, PirlsResult fit);

// Σ f(v) over `values` in eight lanes added in a fixed order: the sums need
// not wait on each other, and the result is the same on every run.
template <class F>
double lane_sum(const double* values, std::size_t count, F f) {
  constexpr std::size_t kLanes = 8;
  std::array<double, kLanes> lanes{};
  const std::size_t whole = count - count % kLanes;
  for (std::size_t i = 0; i < whole; i += kLanes)
    for (std::size_t l = 0; l < kLanes; ++l) lanes[l] += f(values[i + l]);
  for (std::size_t i = whole; i < count; ++i) lanes[i - whole] += f(values[i]);
  double sum = 0.0;
  for (double lane : lanes) sum += lane;
  return sum;
}

// A Gaussian model is fitted to y − ȳ (`level` ȳ, 0 for other families or
// without smooths) and ȳ is added to one smooth's coefficients on storing
// (see level_carrier): its basis sums to 1 at every input, so the model is the same,
// but the fit's ridge, which pulls every coefficient towards 0, no longer
// pulls the level of y (at y ≈ 50 with noise 1 it moved predictions by 0.6).
double response_level(Family family, const Vector& y, std::size_t smooths);
// Where the level goes: ȳ (`value`) onto the coefficients [first, first +
// count) of the first smooth whose columns of the model matrix sum to 1 in
// every row (to 1e-9), as they must to carry it. A degenerate smooth (of a
// constant column) has columns of 0; with no smooth to carry it (value 0),
// the fit is made to y itself.
ResponseLevel level_carrier(Family family, const Vector& y, const Matrix& design,
                            const std::vector<SmoothTerm>& smooths);
Vector shifted(const Vector& y, double by);

// The "X has {n} rows but y has {n_y} elements" and "X has {d} columns but
// model has {m} smooth terms" checks.
Result<void> check_rows(const Matrix& x, const Vector& y);
Result<void> check_columns(const Matrix& x, std::size_t num_smooths);

}  // namespace vorna
