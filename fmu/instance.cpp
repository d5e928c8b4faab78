// One instance of an exported model: loading, evaluation and the communication step.
#include "instance.hpp"

#include <algorithm>
#include <cmath>

#include "run.hpp"
#include "snapshot.hpp"

namespace zarel::fmu {

Layout Layout::of(const Model& model) {
    return {model.n_states, model.n_inputs, model.n_params, model.output_programs.size(),
            model.port_output_programs.size()};
}

bool Layout::find(std::size_t vr, Kind& kind, std::size_t& index) const {
    const std::pair<std::size_t, Kind> starts[] = {
        {supplied_power(), Kind::SuppliedPower}, {energy(), Kind::Energy}, {ports(), Kind::PortOutput},
        {outputs(), Kind::Output},        {params(), Kind::Param},  {inputs(), Kind::Input},
        {derivatives(), Kind::Derivative}, {0, Kind::State}};
    if (vr >= size()) return false;
    for (const auto& [start, k] : starts) {
        if (vr >= start) {
            kind = k;
            index = vr - start;
            return true;
        }
    }
    return false;
}

const char* kind_name(Layout::Kind kind) {
    switch (kind) {
    case Layout::Kind::State: return "a state";
    case Layout::Kind::Derivative: return "a state derivative";
    case Layout::Kind::Input: return "an input";
    case Layout::Kind::Param: return "a parameter";
    case Layout::Kind::Output: return "an output";
    case Layout::Kind::PortOutput: return "a port output";
    case Layout::Kind::Energy: return "the energy";
    case Layout::Kind::SuppliedPower: return "the supplied power";
    }
    return "a variable";
}

Result<Settings> Settings::from_text(std::string_view text) {
    auto doc = parse_json(text);
    if (!doc) return fail(std::move(doc.error()));
    if (!doc->is_object()) return invalid("zarel_fmu.json is not an object");
    Settings s;
    try {
        s.guid = doc->at("guid").get<std::string>();
        auto method = parse_package_method(doc->at("method").get<std::string>());
        if (!method) return fail(std::move(method.error()));
        s.method = *method;
        s.dense = doc->at("dense").get<bool>();
        s.model_exchange = doc->at("model_exchange").get<bool>();
        s.co_simulation = doc->at("co_simulation").get<bool>();
        s.options.rtol = s.exported_rtol = doc->at("rtol").get<double>();
        s.options.atol = doc->at("atol").get<double>();
        s.options.newton_tol = doc->at("newton_tol").get<double>();
        s.options.max_newton = doc->at("max_newton").get<std::uint64_t>();
        s.x0 = doc->at("x0").get<std::vector<double>>();
    } catch (const Json::exception& e) {
        return invalid(std::string("zarel_fmu.json: ") + e.what());
    }
    return s;
}

Result<std::unique_ptr<Instance>> Instance::load(std::string_view document, const Settings& settings) {
    auto model = Model::from_text(document);
    if (!model) return fail(std::move(model.error()));
    auto inst = std::make_unique<Instance>();
    Instance& i = *inst;
    i.model = std::move(*model);
    i.layout = Layout::of(i.model);
    i.settings = settings;
    const Layout& l = i.layout;
    if (settings.x0.size() != l.n)
        return invalid("zarel_fmu.json has " + std::to_string(settings.x0.size()) + " start values, the model has " +
                       std::to_string(l.n) + " states");
    i.x = settings.x0;
    i.u.assign(l.m, 0.0);
    i.u_rate.assign(l.m, 0.0);
    i.params = i.model.params;
    i.scratch_ = Scratch::for_model(i.model);
    i.scratch_.params = i.params.data();
    if (settings.co_simulation) i.work_ = Work::for_run(i.model, settings.method, i.params.data(), settings.dense);
    // each communication step goes on with the step sizes the one before it left
    i.work_.carry.on = true;
    i.rates_.assign(l.n, 0.0);
    i.outputs_.assign(l.q, 0.0);
    i.ports_.assign(l.r, 0.0);
    i.grid_.assign(2, 0.0);
    i.series_.assign(2 * l.m, 0.0);
    i.recorded_.assign(2 * l.n, 0.0);
    i.jac_.assign(l.n * l.n, 0.0);
    i.probe_x_.assign(l.n, 0.0);
    i.probe_u_.assign(l.m, 0.0);
    i.base_.assign(std::max(l.n, l.q + l.r + 2), 0.0);
    i.moved_.assign(i.base_.size(), 0.0);
    i.seed_x_.assign(l.n, 0.0);
    i.seed_u_.assign(l.m, 0.0);
    return inst;
}

void Instance::derivatives_into(double* out) { model.rhs_into(x.data(), u.data(), t, out, scratch_); }

void Instance::all_outputs(const double* xs, const double* us, double* out) {
    model.fill_params(scratch_);
    model.fill_point(xs, us, t, scratch_.env.data());
    Model::eval_into(model.native.outputs, model.output_programs, scratch_, out);
    model.fill_point(xs, us, t, scratch_.env.data());
    Model::eval_into(model.native.port_outputs, model.port_output_programs, scratch_, out + layout.q);
    out[layout.q + layout.r] = model.energy(xs, scratch_);
    out[layout.q + layout.r + 1] = model.supplied_power(xs, us, t, scratch_);
}

void Instance::refresh() {
    if (fresh_) return;
    derivatives_into(rates_.data());
    all_outputs(x.data(), u.data(), base_.data());
    std::copy_n(base_.data(), layout.q, outputs_.data());
    std::copy_n(base_.data() + layout.q, layout.r, ports_.data());
    energy_ = base_[layout.q + layout.r];
    power_ = base_[layout.q + layout.r + 1];
    fresh_ = true;
}

double Instance::value(Layout::Kind kind, std::size_t index) {
    using enum Layout::Kind;
    switch (kind) {
    case State: return x[index];
    case Input: return u[index];
    case Param: return params[index];
    default: break;
    }
    refresh();
    switch (kind) {
    case Derivative: return rates_[index];
    case Output: return outputs_[index];
    case PortOutput: return ports_[index];
    case Energy: return energy_;
    case SuppliedPower: return power_;
    default: return 0.0;
    }
}

namespace {

double largest(const double* v, std::size_t n) {
    double most = 0.0;
    for (std::size_t k = 0; k < n; ++k) most = std::max(most, std::fabs(v[k]));
    return most;
}

}  // namespace

Status Instance::directional(std::span<const unsigned> unknowns, std::span<const unsigned> knowns, const double* seed,
                             double* out) {
    using enum Layout::Kind;
    std::fill(seed_x_.begin(), seed_x_.end(), 0.0);
    std::fill(seed_u_.begin(), seed_u_.end(), 0.0);
    for (std::size_t k = 0; k < knowns.size(); ++k) {
        Layout::Kind kind;
        std::size_t index;
        if (!layout.find(knowns[k], kind, index) || (kind != State && kind != Input))
            return invalid("the known value reference " + std::to_string(knowns[k]) +
                           " is neither a state nor an input");
        if (!std::isfinite(seed[k])) return invalid("the seed " + format_number(seed[k]) + " is not finite");
        (kind == State ? seed_x_ : seed_u_)[index] += seed[k];
    }
    unknowns_.clear();
    for (unsigned vr : unknowns) {
        Layout::Kind kind;
        std::size_t index;
        if (!layout.find(vr, kind, index) || kind == State || kind == Input || kind == Param)
            return invalid("the unknown value reference " + std::to_string(vr) +
                           " is neither a state derivative nor an output");
        unknowns_.push_back(vr);
    }
    differentiate(out);
    return {};
}

void Instance::differentiate(double* out) {
    using enum Layout::Kind;
    const std::vector<std::size_t>& unknowns = unknowns_;
    const double* seed_x = seed_x_.data();
    const double* seed_u = seed_u_.data();
    const std::size_t n = layout.n, m = layout.m;
    const bool along_x = largest(seed_x, n) > 0.0, along_u = largest(seed_u, m) > 0.0;
    // The step of the differences: relative to the point, as the engine's own differences take it.
    const double seed_size = std::max(largest(seed_x, n), largest(seed_u, m));
    const double h = seed_size > 0.0 ? (std::max(largest(x.data(), n), largest(u.data(), m)) + 1.0) * 1e-7 / seed_size
                                     : 0.0;
    const auto probe = [&](bool states, bool inputs) {
        for (std::size_t j = 0; j < n; ++j) probe_x_[j] = states ? x[j] + h * seed_x[j] : x[j];
        for (std::size_t j = 0; j < m; ++j) probe_u_[j] = inputs ? u[j] + h * seed_u[j] : u[j];
    };
    bool jacobian = false, rates_along_u = false, outputs_along = false;
    for (std::size_t vr : unknowns) {
        Layout::Kind kind = State;
        std::size_t i = 0;
        layout.find(vr, kind, i);
        jacobian |= kind == Derivative && along_x;
        rates_along_u |= kind == Derivative && along_u;
        outputs_along |= kind != Derivative;
    }
    if (jacobian) model.jacobian_into(x.data(), u.data(), t, jac_.data(), scratch_);
    std::vector<double>& rate_diff = base_;  // n values: d(rates) along the inputs' seed
    if (rates_along_u) {
        probe(false, true);
        model.rhs_into(x.data(), u.data(), t, rate_diff.data(), scratch_);
        model.rhs_into(x.data(), probe_u_.data(), t, moved_.data(), scratch_);
        for (std::size_t i = 0; i < n; ++i) rate_diff[i] = (moved_[i] - rate_diff[i]) / h;
    }
    // the rates' part is read before the outputs' differences reuse base_
    for (std::size_t k = 0; k < unknowns.size(); ++k) {
        Layout::Kind kind = State;
        std::size_t i = 0;
        layout.find(unknowns[k], kind, i);
        if (kind != Derivative) continue;
        double sum = 0.0;
        if (along_x)
            for (std::size_t j = 0; j < n; ++j) sum += jac_[i * n + j] * seed_x[j];
        if (rates_along_u) sum += rate_diff[i];
        out[k] = sum;
    }
    if (outputs_along) {
        const bool moves = along_x || along_u;
        if (moves) {
            probe(true, true);
            all_outputs(x.data(), u.data(), base_.data());
            all_outputs(probe_x_.data(), probe_u_.data(), moved_.data());
        }
        for (std::size_t k = 0; k < unknowns.size(); ++k) {
            Layout::Kind kind = State;
            std::size_t i = 0;
            layout.find(unknowns[k], kind, i);
            if (kind == Derivative) continue;
            const std::size_t at = unknowns[k] - layout.outputs();
            out[k] = moves ? (moved_[at] - base_[at]) / h : 0.0;
        }
    }
}

Status Instance::begin_step(double from, double h) {
    if (!std::isfinite(from) || !std::isfinite(h) || !(h > 0.0))
        return invalid("the step from " + format_number(from) + " by " + format_number(h) +
                       " must start at a finite time and have a finite, positive size");
    if (std::fabs(from - t) > 1e-12 * std::max(1.0, std::fabs(t)))
        return invalid("the step starts at " + format_number(from) + " but the instance is at t = " +
                       format_number(t));
    t = from;
    return {};
}

Status Instance::step(double h) {
    const std::size_t n = layout.n, m = layout.m;
    grid_[0] = t;
    grid_[1] = t + h;
    if (!(grid_[1] > grid_[0])) return invalid("the step from t = " + format_number(t) + " by " + format_number(h) +
                                               " does not advance the time");
    bool ramps = false;
    for (std::size_t j = 0; j < m; ++j) {
        series_[j] = u[j];
        series_[m + j] = u_rate[j] != 0.0 ? u[j] + u_rate[j] * h : u[j];
        ramps |= u_rate[j] != 0.0;
    }
    if (!all_finite(series_.data() + m, m))
        return invalid("the inputs at the step's end, t = " + format_number(grid_[1]) + ", are not finite");
    const Inputs inputs{m > 0 ? series_.data() : nullptr, series_.size(), ramps ? Interp::Linear : Interp::Hold};
    // the run's parameters may have been set since the last step: the Work keeps them in its scratch
    model.fill_params(work_.scratch);
    const Method method = settings.method;
    if (method == Method::Euler || method == Method::Rk4 || (method == Method::Midpoint && !settings.dense)) {
        // one step, as the driver takes each grid interval, on the instance's buffers: nothing allocated
        double* next = recorded_.data() + n;
        std::copy_n(x.data(), n, next);
        const InputSource input = InputSource::of_series(inputs, 0, m);
        if (method == Method::Euler) euler_step(model, next, input, work_, grid_[0], grid_[1] - grid_[0]);
        if (method == Method::Rk4) rk4_step(model, next, input, work_, grid_[0], grid_[1] - grid_[0]);
        if (method == Method::Midpoint) {
            const double h = grid_[1] - grid_[0];
            if (auto st = midpoint_recursive(model, next, input, grid_[0], h, settings.options, work_, 0); !st)
                return st;
        }
        if (!all_finite(next, n)) return fail(NonFinite{"the state", grid_[1]});
    } else {
        const RecordTarget target{recorded_, {}, {}, {}, {}};
        if (auto st = run_into(model, x, grid_, inputs, method, settings.options, settings.dense, work_, target); !st)
            return st;
    }
    std::copy_n(recorded_.data() + n, n, x.data());
    std::copy_n(series_.data() + m, m, u.data());
    t = grid_[1];
    fresh_ = false;
    return {};
}

void Instance::save(Snapshot& snap) const {
    snap.t = t;
    snap.x = x;
    snap.u = u;
    snap.u_rate = u_rate;
    snap.params = params;
    snap.carry = work_.carry;
}

void Instance::restore(const Snapshot& snap) {
    t = snap.t;
    std::copy(snap.x.begin(), snap.x.end(), x.begin());
    std::copy(snap.u.begin(), snap.u.end(), u.begin());
    std::copy(snap.u_rate.begin(), snap.u_rate.end(), u_rate.begin());
    std::copy(snap.params.begin(), snap.params.end(), params.begin());
    work_.carry = snap.carry;
    changed();
}

void Instance::reset() {
    std::copy(settings.x0.begin(), settings.x0.end(), x.begin());
    std::fill(u.begin(), u.end(), 0.0);
    std::fill(u_rate.begin(), u_rate.end(), 0.0);
    params = model.params;
    settings.options.rtol = settings.exported_rtol;
    t = 0.0;
    work_.carry = {true};
    changed();
}

}  // namespace zarel::fmu
