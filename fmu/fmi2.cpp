// The FMI 2.0 C functions of an exported model, Model Exchange and Co-Simulation: each checks its
// instance, its mode and its arguments, reports a fault through the host's logger and returns
// fmi2Error (fmi2Fatal for exhausted memory), and never lets an exception reach the host.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <initializer_list>
#include <memory>
#include <new>
#include <utility>
#include <string>
#include <vector>

#include "fmi2Functions.h"
#include "calls.hpp"
#include "instance.hpp"
#include "registry.hpp"
#include "resources.hpp"
#include "snapshot.hpp"

namespace zarel::fmu {
namespace {

enum class Phase : int { Instantiated, Initialization, Event, Continuous, StepComplete, StepFailed, Terminated, Error };

const char* phase_name(Phase p) {
    switch (p) {
    case Phase::Instantiated: return "the instantiated mode";
    case Phase::Initialization: return "initialization mode";
    case Phase::Event: return "event mode";
    case Phase::Continuous: return "continuous-time mode";
    case Phase::StepComplete: return "the step-complete mode";
    case Phase::StepFailed: return "the step-failed mode (a step failed: reset, restore a saved state or terminate)";
    case Phase::Terminated: return "the terminated mode";
    case Phase::Error: return "the error mode (reset, restore a saved state or free the instance)";
    }
    return "an unknown mode";
}

// A message as the logger's format string: '%' and '#' stand for themselves only doubled.
std::string escaped(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        out.push_back(c);
        if (c == '%' || c == '#') out.push_back(c);
    }
    return out;
}

struct Component {
    std::string name;
    fmi2CallbackFunctions functions{};
    bool logging = false;
    fmi2Type type = fmi2ModelExchange;
    Phase phase = Phase::Instantiated;
    std::unique_ptr<Instance> inst;
    Snapshots snapshots;

    void log(fmi2Status status, const char* category, const std::string& message) const {
        if (functions.logger)
            functions.logger(functions.componentEnvironment, name.c_str(), status, category, escaped(message).c_str());
    }
    fmi2Status error(const char* function, const std::string& message) const {
        log(fmi2Error, "logStatusError", std::string(function) + ": " + message);
        return fmi2Error;
    }
    // Whether `function` may run in the current mode; an error naming the mode where not.
    bool allowed(const char* function, std::initializer_list<Phase> phases) const {
        if (std::find(phases.begin(), phases.end(), phase) != phases.end()) return true;
        error(function, std::string("not allowed in ") + phase_name(phase));
        return false;
    }
    bool of_type(const char* function, fmi2Type wanted) const {
        if (type == wanted) return true;
        error(function, wanted == fmi2CoSimulation ? "this instance is for Model Exchange, not Co-Simulation"
                                                   : "this instance is for Co-Simulation, not Model Exchange");
        return false;
    }
};

Registry<Component> live;

// Runs `body` on the component behind `c`, turning every exception into a reported status.
template <class F>
fmi2Status guarded(fmi2Component c, const char* function, F&& body) noexcept {
    return calls::guarded(live, c, function, std::forward<F>(body));
}

bool arrays(const Component& comp, const char* function, const void* refs, std::size_t n, const void* values) {
    if (n > 0 && (!refs || !values)) {
        comp.error(function, "a null array for " + std::to_string(n) + " values");
        return false;
    }
    return true;
}

// The path a file: URI names (file:///a/b, file:/a/b or file://localhost/a/b), percent escapes decoded.
bool path_of(const char* uri, std::string& path) {
    std::string_view s(uri);
    if (s.starts_with("file://localhost/")) {
        s.remove_prefix(16);
    } else if (s.starts_with("file:///")) {
        s.remove_prefix(7);
    } else if (s.starts_with("file:/")) {
        s.remove_prefix(5);
    } else {
        return false;
    }
    path.clear();
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
            path.push_back(static_cast<char>(std::stoi(std::string(s.substr(i + 1, 2)), nullptr, 16)));
            i += 2;
        } else {
            path.push_back(s[i]);
        }
    }
    if (!path.empty() && path.back() != '/') path.push_back('/');
    return true;
}

// Which variables fmi2SetReal may write in the current mode.
bool settable(const Component& comp, Layout::Kind kind) {
    const Phase p = comp.phase;
    const bool before_run = p == Phase::Instantiated || p == Phase::Initialization;
    switch (kind) {
    case Layout::Kind::State: return before_run;
    case Layout::Kind::Input:
        return before_run || p == Phase::Event || p == Phase::Continuous || p == Phase::StepComplete;
    case Layout::Kind::Param: return before_run || p == Phase::Event || p == Phase::StepComplete;
    default: return false;
    }
}

}  // namespace
}  // namespace zarel::fmu

using namespace zarel::fmu;

extern "C" {

const char* fmi2GetTypesPlatform(void) { return fmi2TypesPlatform; }
const char* fmi2GetVersion(void) { return fmi2Version; }

fmi2Status fmi2SetDebugLogging(fmi2Component c, fmi2Boolean loggingOn, size_t nCategories,
                               const fmi2String categories[]) {
    return guarded(c, "fmi2SetDebugLogging", [&](Component& comp) {
        return calls::debug_logging(comp, "fmi2SetDebugLogging", loggingOn != fmi2False, nCategories, categories);
    });
}

fmi2Component fmi2Instantiate(fmi2String instanceName, fmi2Type fmuType, fmi2String fmuGUID,
                              fmi2String fmuResourceLocation, const fmi2CallbackFunctions* functions,
                              fmi2Boolean visible, fmi2Boolean loggingOn) {
    (void)visible;
    const auto refuse = [&](const std::string& message) -> fmi2Component {
        if (functions && functions->logger)
            functions->logger(functions->componentEnvironment, instanceName ? instanceName : "", fmi2Error,
                              "logStatusError", escaped("fmi2Instantiate: " + message).c_str());
        return nullptr;
    };
    try {
        if (!functions || !functions->logger) return refuse("no logger among the callback functions");
        if (!instanceName || !*instanceName) return refuse("the instance needs a non-empty name");
        if (fmuType != fmi2ModelExchange && fmuType != fmi2CoSimulation)
            return refuse("unknown FMU type " + std::to_string(static_cast<int>(fmuType)));
        std::string folder;
        if (!fmuResourceLocation || !path_of(fmuResourceLocation, folder))
            return refuse(std::string("the resource location ") +
                          (fmuResourceLocation ? fmuResourceLocation : "(null)") +
                          " is not a file: URI");
        auto inst = load_resources(folder, fmuGUID, "GUID",
                                   fmuType == fmi2ModelExchange ? Interface::ModelExchange : Interface::CoSimulation);
        if (!inst) return refuse(inst.error().display());
        auto comp = std::make_unique<Component>();
        comp->name = instanceName;
        comp->functions = *functions;
        comp->logging = loggingOn != fmi2False;
        comp->type = fmuType;
        comp->inst = std::move(*inst);
        return live.add(std::move(comp));
    } catch (const std::bad_alloc&) {
        return refuse("out of memory");
    } catch (const std::exception& e) {
        return refuse(e.what());
    }
}

void fmi2FreeInstance(fmi2Component c) { live.remove(c); }

fmi2Status fmi2SetupExperiment(fmi2Component c, fmi2Boolean toleranceDefined, fmi2Real tolerance, fmi2Real startTime,
                               fmi2Boolean stopTimeDefined, fmi2Real stopTime) {
    return guarded(c, "fmi2SetupExperiment", [&](Component& comp) {
        if (!comp.allowed("fmi2SetupExperiment", {Phase::Instantiated})) return fmi2Error;
        if (toleranceDefined && !(std::isfinite(tolerance) && tolerance >= 0.0))
            return comp.error("fmi2SetupExperiment", "the tolerance " + zarel::format_number(tolerance) +
                                                         " is not a finite non-negative number");
        if (!std::isfinite(startTime))
            return comp.error("fmi2SetupExperiment",
                              "the start time " + zarel::format_number(startTime) + " is not finite");
        if (stopTimeDefined && !(stopTime >= startTime))
            return comp.error("fmi2SetupExperiment", "the stop time " + zarel::format_number(stopTime) +
                                                         " is before the start time " +
                                                         zarel::format_number(startTime));
        // the importer's tolerance is the relative tolerance of the communication step's method
        if (toleranceDefined) comp.inst->settings.options.rtol = tolerance;
        comp.inst->t = startTime;
        comp.inst->changed();
        return fmi2OK;
    });
}

fmi2Status fmi2EnterInitializationMode(fmi2Component c) {
    return guarded(c, "fmi2EnterInitializationMode", [&](Component& comp) {
        if (!comp.allowed("fmi2EnterInitializationMode", {Phase::Instantiated})) return fmi2Error;
        comp.phase = Phase::Initialization;
        return fmi2OK;
    });
}

fmi2Status fmi2ExitInitializationMode(fmi2Component c) {
    return guarded(c, "fmi2ExitInitializationMode", [&](Component& comp) {
        if (!comp.allowed("fmi2ExitInitializationMode", {Phase::Initialization})) return fmi2Error;
        comp.phase = comp.type == fmi2ModelExchange ? Phase::Event : Phase::StepComplete;
        return fmi2OK;
    });
}

fmi2Status fmi2Terminate(fmi2Component c) {
    return guarded(c, "fmi2Terminate", [&](Component& comp) {
        if (!comp.allowed("fmi2Terminate", {Phase::Event, Phase::Continuous, Phase::StepComplete, Phase::StepFailed}))
            return fmi2Error;
        comp.phase = Phase::Terminated;
        return fmi2OK;
    });
}

fmi2Status fmi2Reset(fmi2Component c) {
    return guarded(c, "fmi2Reset", [&](Component& comp) {
        comp.inst->reset();
        comp.phase = Phase::Instantiated;
        return fmi2OK;
    });
}

fmi2Status fmi2GetReal(fmi2Component c, const fmi2ValueReference vr[], size_t nvr, fmi2Real value[]) {
    return guarded(c, "fmi2GetReal", [&](Component& comp) {
        if (!arrays(comp, "fmi2GetReal", vr, nvr, value)) return fmi2Error;
        Instance& inst = *comp.inst;
        for (std::size_t k = 0; k < nvr; ++k) {
            Layout::Kind kind;
            std::size_t index;
            if (!inst.layout.find(vr[k], kind, index))
                return comp.error("fmi2GetReal", "no variable has the value reference " + std::to_string(vr[k]) +
                                                     " (the references are 0 to " +
                                                     std::to_string(inst.layout.size() - 1) + ")");
            value[k] = inst.value(kind, index);
        }
        return fmi2OK;
    });
}

fmi2Status fmi2SetReal(fmi2Component c, const fmi2ValueReference vr[], size_t nvr, const fmi2Real value[]) {
    return guarded(c, "fmi2SetReal", [&](Component& comp) {
        if (!arrays(comp, "fmi2SetReal", vr, nvr, value)) return fmi2Error;
        Instance& inst = *comp.inst;
        // every value is checked before any is written: a refused call changes nothing
        for (std::size_t k = 0; k < nvr; ++k) {
            Layout::Kind kind;
            std::size_t index;
            if (!inst.layout.find(vr[k], kind, index))
                return comp.error("fmi2SetReal", "no variable has the value reference " + std::to_string(vr[k]) +
                                                     " (the references are 0 to " +
                                                     std::to_string(inst.layout.size() - 1) + ")");
            if (!settable(comp, kind))
                return comp.error("fmi2SetReal", "the value reference " + std::to_string(vr[k]) + " is " +
                                                     kind_name(kind) + ", which cannot be set in " +
                                                     phase_name(comp.phase));
            if (!std::isfinite(value[k]))
                return comp.error("fmi2SetReal", "the value " + zarel::format_number(value[k]) + " for " +
                                                     kind_name(kind) + " (value reference " + std::to_string(vr[k]) +
                                                     ") is not finite");
        }
        for (std::size_t k = 0; k < nvr; ++k) {
            Layout::Kind kind;
            std::size_t index;
            inst.layout.find(vr[k], kind, index);
            if (kind == Layout::Kind::State) inst.x[index] = value[k];
            if (kind == Layout::Kind::Input) inst.u[index] = value[k];
            if (kind == Layout::Kind::Param) inst.params[index] = value[k];
        }
        if (nvr > 0) inst.changed();
        return fmi2OK;
    });
}

// The model has Real variables only.
#define ZAREL_NO_VARIABLES(function, type, constness)                                                              \
    fmi2Status function(fmi2Component c, const fmi2ValueReference vr[], size_t nvr, constness type value[]) {      \
        return guarded(c, #function, [&](Component& comp) {                                                        \
            if (!arrays(comp, #function, vr, nvr, value)) return fmi2Error;                                        \
            if (nvr == 0) return fmi2OK;                                                                           \
            return comp.error(#function, "the value reference " + std::to_string(vr[0]) + " is no " #type         \
                                         " variable: this model has fmi2Real variables only");                   \
        });                                                                                                        \
    }
ZAREL_NO_VARIABLES(fmi2GetInteger, fmi2Integer, )
ZAREL_NO_VARIABLES(fmi2GetBoolean, fmi2Boolean, )
ZAREL_NO_VARIABLES(fmi2GetString, fmi2String, )
ZAREL_NO_VARIABLES(fmi2SetInteger, fmi2Integer, const)
ZAREL_NO_VARIABLES(fmi2SetBoolean, fmi2Boolean, const)
ZAREL_NO_VARIABLES(fmi2SetString, fmi2String, const)
#undef ZAREL_NO_VARIABLES

fmi2Status fmi2GetFMUstate(fmi2Component c, fmi2FMUstate* FMUstate) {
    return guarded(c, "fmi2GetFMUstate", [&](Component& comp) { return calls::get_state(comp, "fmi2GetFMUstate", FMUstate); });
}

fmi2Status fmi2SetFMUstate(fmi2Component c, fmi2FMUstate FMUstate) {
    return guarded(c, "fmi2SetFMUstate", [&](Component& comp) { return calls::set_state(comp, "fmi2SetFMUstate", FMUstate); });
}

fmi2Status fmi2FreeFMUstate(fmi2Component c, fmi2FMUstate* FMUstate) {
    return guarded(c, "fmi2FreeFMUstate", [&](Component& comp) { return calls::free_state(comp, "fmi2FreeFMUstate", FMUstate); });
}

fmi2Status fmi2SerializedFMUstateSize(fmi2Component c, fmi2FMUstate FMUstate, size_t* size) {
    return guarded(c, "fmi2SerializedFMUstateSize",
                   [&](Component& comp) { return calls::state_size(comp, "fmi2SerializedFMUstateSize", FMUstate, size); });
}

fmi2Status fmi2SerializeFMUstate(fmi2Component c, fmi2FMUstate FMUstate, fmi2Byte serializedState[], size_t size) {
    return guarded(c, "fmi2SerializeFMUstate", [&](Component& comp) {
        return calls::serialize_state(comp, "fmi2SerializeFMUstate", FMUstate, serializedState, size);
    });
}

fmi2Status fmi2DeSerializeFMUstate(fmi2Component c, const fmi2Byte serializedState[], size_t size, fmi2FMUstate* FMUstate) {
    return guarded(c, "fmi2DeSerializeFMUstate", [&](Component& comp) {
        return calls::deserialize_state(comp, "fmi2DeSerializeFMUstate", serializedState, size, FMUstate,
                                         static_cast<int>(Phase::Error) + 1);
    });
}

fmi2Status fmi2GetDirectionalDerivative(fmi2Component c, const fmi2ValueReference vUnknown_ref[], size_t nUnknown,
                                        const fmi2ValueReference vKnown_ref[], size_t nKnown, const fmi2Real dvKnown[],
                                        fmi2Real dvUnknown[]) {
    return guarded(c, "fmi2GetDirectionalDerivative", [&](Component& comp) {
        const char* fn = "fmi2GetDirectionalDerivative";
        if (!comp.allowed(fn, {Phase::Initialization, Phase::Event, Phase::Continuous, Phase::StepComplete,
                               Phase::StepFailed, Phase::Terminated}))
            return fmi2Error;
        if (!arrays(comp, fn, vUnknown_ref, nUnknown, dvUnknown) || !arrays(comp, fn, vKnown_ref, nKnown, dvKnown))
            return fmi2Error;
        if (auto st = comp.inst->directional({vUnknown_ref, nUnknown}, {vKnown_ref, nKnown}, dvKnown, dvUnknown); !st)
            return comp.error(fn, st.error().display());
        return fmi2OK;
    });
}

// Model Exchange

fmi2Status fmi2EnterEventMode(fmi2Component c) {
    return guarded(c, "fmi2EnterEventMode", [&](Component& comp) {
        if (!comp.of_type("fmi2EnterEventMode", fmi2ModelExchange) ||
            !comp.allowed("fmi2EnterEventMode", {Phase::Continuous, Phase::Event}))
            return fmi2Error;
        comp.phase = Phase::Event;
        return fmi2OK;
    });
}

fmi2Status fmi2NewDiscreteStates(fmi2Component c, fmi2EventInfo* eventInfo) {
    return guarded(c, "fmi2NewDiscreteStates", [&](Component& comp) {
        if (!comp.of_type("fmi2NewDiscreteStates", fmi2ModelExchange) ||
            !comp.allowed("fmi2NewDiscreteStates", {Phase::Event}))
            return fmi2Error;
        if (!eventInfo) return comp.error("fmi2NewDiscreteStates", "null event info");
        // no events: nothing changes, nothing is scheduled
        *eventInfo = fmi2EventInfo{fmi2False, fmi2False, fmi2False, fmi2False, fmi2False, 0.0};
        return fmi2OK;
    });
}

fmi2Status fmi2EnterContinuousTimeMode(fmi2Component c) {
    return guarded(c, "fmi2EnterContinuousTimeMode", [&](Component& comp) {
        if (!comp.of_type("fmi2EnterContinuousTimeMode", fmi2ModelExchange) ||
            !comp.allowed("fmi2EnterContinuousTimeMode", {Phase::Event}))
            return fmi2Error;
        comp.phase = Phase::Continuous;
        return fmi2OK;
    });
}

fmi2Status fmi2CompletedIntegratorStep(fmi2Component c, fmi2Boolean noSetFMUStatePriorToCurrentPoint,
                                       fmi2Boolean* enterEventMode, fmi2Boolean* terminateSimulation) {
    (void)noSetFMUStatePriorToCurrentPoint;
    return guarded(c, "fmi2CompletedIntegratorStep", [&](Component& comp) {
        if (!comp.of_type("fmi2CompletedIntegratorStep", fmi2ModelExchange) ||
            !comp.allowed("fmi2CompletedIntegratorStep", {Phase::Continuous}))
            return fmi2Error;
        if (!enterEventMode || !terminateSimulation)
            return comp.error("fmi2CompletedIntegratorStep", "null pointer for a result");
        *enterEventMode = fmi2False;
        *terminateSimulation = fmi2False;
        return fmi2OK;
    });
}

fmi2Status fmi2SetTime(fmi2Component c, fmi2Real time) {
    return guarded(c, "fmi2SetTime", [&](Component& comp) {
        if (!comp.of_type("fmi2SetTime", fmi2ModelExchange) ||
            !comp.allowed("fmi2SetTime", {Phase::Event, Phase::Continuous}))
            return fmi2Error;
        if (!std::isfinite(time))
            return comp.error("fmi2SetTime", "the time " + zarel::format_number(time) + " is not finite");
        comp.inst->t = time;
        comp.inst->changed();
        return fmi2OK;
    });
}

fmi2Status fmi2SetContinuousStates(fmi2Component c, const fmi2Real x[], size_t nx) {
    return guarded(c, "fmi2SetContinuousStates", [&](Component& comp) {
        const char* fn = "fmi2SetContinuousStates";
        if (!comp.of_type(fn, fmi2ModelExchange) || !comp.allowed(fn, {Phase::Continuous})) return fmi2Error;
        Instance& inst = *comp.inst;
        if (nx != inst.layout.n)
            return comp.error(fn, "got " + std::to_string(nx) + " states, the model has " +
                                      std::to_string(inst.layout.n));
        if (nx > 0 && !x) return comp.error(fn, "null states");
        for (std::size_t k = 0; k < nx; ++k)
            if (!std::isfinite(x[k]))
                return comp.error(fn, "the state " + std::to_string(k) + " is " + zarel::format_number(x[k]));
        std::copy_n(x, nx, inst.x.data());
        inst.changed();
        return fmi2OK;
    });
}

fmi2Status fmi2GetDerivatives(fmi2Component c, fmi2Real derivatives[], size_t nx) {
    return guarded(c, "fmi2GetDerivatives", [&](Component& comp) {
        const char* fn = "fmi2GetDerivatives";
        if (!comp.of_type(fn, fmi2ModelExchange) ||
            !comp.allowed(fn, {Phase::Initialization, Phase::Event, Phase::Continuous, Phase::Terminated}))
            return fmi2Error;
        Instance& inst = *comp.inst;
        if (nx != inst.layout.n)
            return comp.error(fn, "asked for " + std::to_string(nx) + " derivatives, the model has " +
                                      std::to_string(inst.layout.n) + " states");
        if (nx > 0 && !derivatives) return comp.error(fn, "null array for the derivatives");
        inst.derivatives_into(derivatives);
        return fmi2OK;
    });
}

fmi2Status fmi2GetEventIndicators(fmi2Component c, fmi2Real eventIndicators[], size_t ni) {
    (void)eventIndicators;
    return guarded(c, "fmi2GetEventIndicators", [&](Component& comp) {
        if (!comp.of_type("fmi2GetEventIndicators", fmi2ModelExchange)) return fmi2Error;
        if (ni != 0)
            return comp.error("fmi2GetEventIndicators", "asked for " + std::to_string(ni) +
                                                            " event indicators, the model has none");
        return fmi2OK;
    });
}

fmi2Status fmi2GetContinuousStates(fmi2Component c, fmi2Real x[], size_t nx) {
    return guarded(c, "fmi2GetContinuousStates", [&](Component& comp) {
        const char* fn = "fmi2GetContinuousStates";
        if (!comp.of_type(fn, fmi2ModelExchange)) return fmi2Error;
        Instance& inst = *comp.inst;
        if (nx != inst.layout.n)
            return comp.error(fn, "asked for " + std::to_string(nx) + " states, the model has " +
                                      std::to_string(inst.layout.n));
        if (nx > 0 && !x) return comp.error(fn, "null array for the states");
        std::copy_n(inst.x.data(), nx, x);
        return fmi2OK;
    });
}

fmi2Status fmi2GetNominalsOfContinuousStates(fmi2Component c, fmi2Real x_nominal[], size_t nx) {
    return guarded(c, "fmi2GetNominalsOfContinuousStates", [&](Component& comp) {
        const char* fn = "fmi2GetNominalsOfContinuousStates";
        if (!comp.of_type(fn, fmi2ModelExchange)) return fmi2Error;
        if (nx != comp.inst->layout.n)
            return comp.error(fn, "asked for " + std::to_string(nx) + " nominals, the model has " +
                                      std::to_string(comp.inst->layout.n) + " states");
        if (nx > 0 && !x_nominal) return comp.error(fn, "null array for the nominals");
        std::fill_n(x_nominal, nx, 1.0);
        return fmi2OK;
    });
}

// Co-Simulation

fmi2Status fmi2SetRealInputDerivatives(fmi2Component c, const fmi2ValueReference vr[], size_t nvr,
                                       const fmi2Integer order[], const fmi2Real value[]) {
    return guarded(c, "fmi2SetRealInputDerivatives", [&](Component& comp) {
        const char* fn = "fmi2SetRealInputDerivatives";
        if (!comp.of_type(fn, fmi2CoSimulation) || !arrays(comp, fn, vr, nvr, value) ||
            !arrays(comp, fn, vr, nvr, order))
            return fmi2Error;
        Instance& inst = *comp.inst;
        // every value is checked before any is written: a refused call changes nothing
        for (std::size_t k = 0; k < nvr; ++k) {
            Layout::Kind kind;
            std::size_t index;
            if (!inst.layout.find(vr[k], kind, index) || kind != Layout::Kind::Input)
                return comp.error(fn, "the value reference " + std::to_string(vr[k]) + " is no input");
            if (!settable(comp, kind))
                return comp.error(fn, std::string("inputs cannot be set in ") + phase_name(comp.phase));
            if (order[k] != 1)
                return comp.error(fn, "order " + std::to_string(order[k]) + " for value reference " +
                                          std::to_string(vr[k]) +
                                          ": the inputs are linear over a step, only first derivatives are taken");
            if (!std::isfinite(value[k]))
                return comp.error(fn, "the derivative " + zarel::format_number(value[k]) +
                                          " for value reference " + std::to_string(vr[k]) + " is not finite");
        }
        for (std::size_t k = 0; k < nvr; ++k) {
            Layout::Kind kind;
            std::size_t index;
            inst.layout.find(vr[k], kind, index);
            inst.u_rate[index] = value[k];
        }
        return fmi2OK;
    });
}

fmi2Status fmi2GetRealOutputDerivatives(fmi2Component c, const fmi2ValueReference vr[], size_t nvr,
                                        const fmi2Integer order[], fmi2Real value[]) {
    (void)vr;
    (void)order;
    (void)value;
    return guarded(c, "fmi2GetRealOutputDerivatives", [&](Component& comp) {
        if (!comp.of_type("fmi2GetRealOutputDerivatives", fmi2CoSimulation)) return fmi2Error;
        if (nvr == 0) return fmi2OK;
        return comp.error("fmi2GetRealOutputDerivatives", "output derivatives are not provided");
    });
}

fmi2Status fmi2DoStep(fmi2Component c, fmi2Real currentCommunicationPoint, fmi2Real communicationStepSize,
                      fmi2Boolean noSetFMUStatePriorToCurrentCommunicationPoint) {
    (void)noSetFMUStatePriorToCurrentCommunicationPoint;
    return guarded(c, "fmi2DoStep", [&](Component& comp) {
        const char* fn = "fmi2DoStep";
        if (!comp.of_type(fn, fmi2CoSimulation) || !comp.allowed(fn, {Phase::StepComplete})) return fmi2Error;
        Instance& inst = *comp.inst;
        if (auto st = inst.begin_step(currentCommunicationPoint, communicationStepSize); !st)
            return comp.error(fn, st.error().display());
        if (auto st = inst.step(communicationStepSize); !st) {
            comp.phase = Phase::StepFailed;
            return comp.error(fn, st.error().display());
        }
        return fmi2OK;
    });
}

fmi2Status fmi2CancelStep(fmi2Component c) {
    return guarded(c, "fmi2CancelStep", [&](Component& comp) {
        return comp.error("fmi2CancelStep", "steps run to their end before fmi2DoStep returns: none to cancel");
    });
}

fmi2Status fmi2GetStatus(fmi2Component c, const fmi2StatusKind s, fmi2Status* value) {
    (void)s;
    (void)value;
    return guarded(c, "fmi2GetStatus", [&](Component& comp) {
        return comp.error("fmi2GetStatus", "no step runs asynchronously: no status to ask for");
    });
}

fmi2Status fmi2GetRealStatus(fmi2Component c, const fmi2StatusKind s, fmi2Real* value) {
    return guarded(c, "fmi2GetRealStatus", [&](Component& comp) {
        if (!comp.of_type("fmi2GetRealStatus", fmi2CoSimulation)) return fmi2Error;
        if (s != fmi2LastSuccessfulTime || !value)
            return comp.error("fmi2GetRealStatus", "only fmi2LastSuccessfulTime is a real status (non-null value)");
        *value = comp.inst->t;
        return fmi2OK;
    });
}

fmi2Status fmi2GetIntegerStatus(fmi2Component c, const fmi2StatusKind s, fmi2Integer* value) {
    (void)s;
    (void)value;
    return guarded(c, "fmi2GetIntegerStatus",
                   [&](Component& comp) { return comp.error("fmi2GetIntegerStatus", "no integer status exists"); });
}

fmi2Status fmi2GetBooleanStatus(fmi2Component c, const fmi2StatusKind s, fmi2Boolean* value) {
    return guarded(c, "fmi2GetBooleanStatus", [&](Component& comp) {
        if (!comp.of_type("fmi2GetBooleanStatus", fmi2CoSimulation)) return fmi2Error;
        if (s != fmi2Terminated || !value)
            return comp.error("fmi2GetBooleanStatus", "only fmi2Terminated is a boolean status (non-null value)");
        *value = fmi2False;
        return fmi2OK;
    });
}

fmi2Status fmi2GetStringStatus(fmi2Component c, const fmi2StatusKind s, fmi2String* value) {
    (void)s;
    (void)value;
    return guarded(c, "fmi2GetStringStatus",
                   [&](Component& comp) { return comp.error("fmi2GetStringStatus", "no string status exists"); });
}

}  // extern "C"
