// One instance of an exported model: its document loaded by the engine, the values of its
// variables, their evaluation and the communication step of co-simulation.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "zarel/model.hpp"
#include "zarel/solver.hpp"

namespace zarel::fmu {

// The variables by value reference, in the order the exporter lists them in modelDescription.xml:
// states, their derivatives, inputs, parameters, named outputs, port outputs, energy, supplied power.
struct Layout {
    enum class Kind { State, Derivative, Input, Param, Output, PortOutput, Energy, SuppliedPower };

    std::size_t n = 0, m = 0, p = 0, q = 0, r = 0;

    static Layout of(const Model& model);
    std::size_t derivatives() const { return n; }
    std::size_t inputs() const { return 2 * n; }
    std::size_t params() const { return 2 * n + m; }
    std::size_t outputs() const { return 2 * n + m + p; }
    std::size_t ports() const { return outputs() + q; }
    std::size_t energy() const { return ports() + r; }
    std::size_t supplied_power() const { return energy() + 1; }
    std::size_t size() const { return energy() + 2; }
    // The kind of `vr` and its position among its kind; false for a reference beyond the last.
    bool find(std::size_t vr, Kind& kind, std::size_t& index) const;
};

const char* kind_name(Layout::Kind kind);

// What the exporter chose: the method of the communication step and its options, and which
// interfaces the FMU offers (resources/zarel_fmu.json).
struct Settings {
    std::string guid;
    Method method = Method::Midpoint;
    bool dense = true;  // the method chooses its own steps inside a communication step
    bool model_exchange = true, co_simulation = true;
    std::vector<double> x0;  // the states' start values
    SolverOptions options{1e-8, 1e-10, 1e-10, 50, 1000000, false, false};
    double exported_rtol = 1e-8;  // options.rtol until fmi2SetupExperiment gives a tolerance

    static Result<Settings> from_text(std::string_view text);
};

struct Snapshot;

class Instance {
public:
    Model model;
    Layout layout;
    Settings settings;
    double t = 0.0;
    std::vector<double> x, u, params;
    // the inputs' time derivatives over the next communication step: zero holds them, else each
    // input runs linearly from its value at the step's start
    std::vector<double> u_rate;

    static Result<std::unique_ptr<Instance>> load(std::string_view document, const Settings& settings);

    // Call after any change of t, x, u or params: the evaluated quantities are out of date.
    void changed() { fresh_ = false; }
    // The value of a variable (the layout's reference checked by the caller).
    double value(Layout::Kind kind, std::size_t index);
    // The derivatives at the current point into out (n values); allocates nothing.
    void derivatives_into(double* out);
    // The directional derivative of the unknowns (state derivatives or outputs, by value
    // reference) along `seed` for the knowns (states and inputs, by value reference), into out:
    // the Jacobian for states into derivatives, forward differences for the rest. An error names
    // the first reference that is neither, or a seed that is not finite.
    Status directional(std::span<const unsigned> unknowns, std::span<const unsigned> knowns, const double* seed,
                       double* out);
    // The start of a communication step of length h from `from`: t moves there when it is the
    // instance's own give or take round-off and h is finite and positive; else an error naming why.
    Status begin_step(double from, double h);
    // The communication step of length h from t, the inputs linear at their rates (held where
    // these are zero): x, t and the inputs advance to the step's end on success; on failure they
    // keep their values.
    Status step(double h);
    // The values a snapshot keeps, and back; the mode is the caller's.
    void save(Snapshot& snap) const;
    void restore(const Snapshot& snap);
    // Back to the values of instantiation: the start values, zero inputs, the exported parameters
    // and tolerance, t = 0, and no steps taken.
    void reset();

private:
    Scratch scratch_;
    Work work_;
    bool fresh_ = false;
    std::vector<double> rates_, outputs_, ports_;
    double energy_ = 0.0, power_ = 0.0;
    // the communication step's grid, held inputs and recorded states
    std::vector<double> grid_, series_, recorded_;
    // the directional derivatives' buffers: the seeds of the states and inputs, the unknowns
    std::vector<double> jac_, probe_x_, probe_u_, base_, moved_, seed_x_, seed_u_;
    std::vector<std::size_t> unknowns_;

    void refresh();
    // d(unknowns_) along seed_x_ and seed_u_ into out
    void differentiate(double* out);
    // named outputs, port outputs, energy and supplied power at (x, u) into out, at t and the
    // current parameters
    void all_outputs(const double* x, const double* u, double* out);
};

}  // namespace zarel::fmu
