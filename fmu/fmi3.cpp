// The FMI 3.0 C functions of an exported model, Model Exchange and Co-Simulation: each checks its
// instance, its mode and its arguments, reports a fault through the host's log message callback and
// returns fmi3Error (fmi3Fatal for exhausted memory), and never lets an exception reach the host.
// The model has Float64 variables only, no events and no clocks: the functions for the other types,
// clocks, Scheduled Execution and configuration are present and refuse, saying why.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <new>
#include <utility>
#include <string>
#include <vector>

#include "fmi3Functions.h"
#include "calls.hpp"
#include "instance.hpp"
#include "registry.hpp"
#include "resources.hpp"
#include "snapshot.hpp"

namespace zarel::fmu {
namespace {

enum class Phase : int { Instantiated, Initialization, Event, Continuous, Step, StepFailed, Terminated, Error, Count };

const char* phase_name(Phase p) {
    switch (p) {
    case Phase::Instantiated: return "the instantiated mode";
    case Phase::Initialization: return "initialization mode";
    case Phase::Event: return "event mode";
    case Phase::Continuous: return "continuous-time mode";
    case Phase::Step: return "step mode";
    case Phase::StepFailed: return "the step-failed mode (a step failed: reset, restore a saved state or terminate)";
    case Phase::Terminated: return "the terminated mode";
    case Phase::Error: return "the error mode (reset, restore a saved state or free the instance)";
    case Phase::Count: break;
    }
    return "an unknown mode";
}

struct Component {
    std::string name;
    fmi3InstanceEnvironment environment = nullptr;
    fmi3LogMessageCallback logger = nullptr;
    bool logging = false;
    Interface interface = Interface::ModelExchange;
    Phase phase = Phase::Instantiated;
    std::unique_ptr<Instance> inst;
    Snapshots snapshots;

    // FMI 3 messages are plain text, not format strings
    void log(fmi3Status status, const char* category, const std::string& message) const {
        if (logger) logger(environment, status, category, message.c_str());
    }
    fmi3Status error(const char* function, const std::string& message) const {
        log(fmi3Error, "logStatusError", std::string(function) + ": " + message);
        return fmi3Error;
    }
    // Whether `function` may run in the current mode; an error naming the mode where not.
    bool allowed(const char* function, std::initializer_list<Phase> phases) const {
        if (std::find(phases.begin(), phases.end(), phase) != phases.end()) return true;
        error(function, std::string("not allowed in ") + phase_name(phase));
        return false;
    }
    bool of(const char* function, Interface wanted) const {
        if (interface == wanted) return true;
        error(function, wanted == Interface::CoSimulation ? "this instance is for Model Exchange, not Co-Simulation"
                                                          : "this instance is for Co-Simulation, not Model Exchange");
        return false;
    }
};

Registry<Component> live;

// Runs `body` on the component behind `c`, turning every exception into a reported status.
template <class F>
fmi3Status guarded(fmi3Instance c, const char* function, F&& body) noexcept {
    return calls::guarded(live, c, function, std::forward<F>(body));
}

// Non-null arrays for `n` value references and their values, one value per reference: every
// variable is a scalar.
bool arrays(const Component& comp, const char* function, const void* refs, std::size_t n, const void* values,
            std::size_t n_values) {
    if (n > 0 && (!refs || !values)) {
        comp.error(function, "a null array for " + std::to_string(n) + " values");
        return false;
    }
    if (n_values != n) {
        comp.error(function, std::to_string(n_values) + " values for " + std::to_string(n) +
                                 " value references: every variable is a scalar");
        return false;
    }
    return true;
}

// The time, the independent variable, follows the layout's variables.
std::size_t time_reference(const Layout& l) { return l.size(); }

// The kind and position of `vr`; an error naming the references where it is none.
bool variable(const Component& comp, const char* function, fmi3ValueReference vr, Layout::Kind& kind,
              std::size_t& index) {
    if (comp.inst->layout.find(vr, kind, index)) return true;
    comp.error(function, "no Float64 variable has the value reference " + std::to_string(vr) +
                             " (the references are 0 to " + std::to_string(time_reference(comp.inst->layout)) + ")");
    return false;
}

// Which variables fmi3SetFloat64 may write in the current mode.
bool settable(const Component& comp, Layout::Kind kind) {
    const Phase p = comp.phase;
    const bool before_run = p == Phase::Instantiated || p == Phase::Initialization;
    switch (kind) {
    case Layout::Kind::State: return before_run;
    case Layout::Kind::Input: return before_run || p == Phase::Event || p == Phase::Continuous || p == Phase::Step;
    case Layout::Kind::Param: return before_run || p == Phase::Event || p == Phase::Step;
    default: return false;
    }
}

fmi3Instance instantiate(const char* function, fmi3String instanceName, fmi3String token, fmi3String resourcePath,
                         fmi3Boolean loggingOn, fmi3InstanceEnvironment environment, fmi3LogMessageCallback logger,
                         Interface interface, const char* refusal) {
    const auto refuse = [&](const std::string& message) -> fmi3Instance {
        if (logger) logger(environment, fmi3Error, "logStatusError", (std::string(function) + ": " + message).c_str());
        return nullptr;
    };
    try {
        if (refusal) return refuse(refusal);
        if (!instanceName || !*instanceName) return refuse("the instance needs a non-empty name");
        if (!resourcePath || !*resourcePath) return refuse("no resource path: the model is read from the resources");
        std::string folder(resourcePath);
        if (folder.back() != '/') folder.push_back('/');
        auto inst = load_resources(folder, token, "instantiation token", interface);
        if (!inst) return refuse(inst.error().display());
        auto comp = std::make_unique<Component>();
        comp->name = instanceName;
        comp->environment = environment;
        comp->logger = logger;
        comp->logging = loggingOn;
        comp->interface = interface;
        comp->inst = std::move(*inst);
        return live.add(std::move(comp));
    } catch (const std::bad_alloc&) {
        return refuse("out of memory");
    } catch (const std::exception& e) {
        return refuse(e.what());
    }
}

// A count of states, derivatives or nominals asked for against the model's.
bool states_count(const Component& comp, const char* function, const char* what, std::size_t asked, const void* array) {
    const std::size_t n = comp.inst->layout.n;
    if (asked != n) {
        comp.error(function, "asked for " + std::to_string(asked) + " " + what + ", the model has " +
                                 std::to_string(n) + " states");
        return false;
    }
    if (n > 0 && !array) {
        comp.error(function, std::string("null array for the ") + what);
        return false;
    }
    return true;
}

}  // namespace
}  // namespace zarel::fmu

using namespace zarel::fmu;

extern "C" {

const char* fmi3GetVersion(void) { return fmi3Version; }

fmi3Status fmi3SetDebugLogging(fmi3Instance c, fmi3Boolean loggingOn, size_t nCategories,
                               const fmi3String categories[]) {
    return guarded(c, "fmi3SetDebugLogging", [&](Component& comp) {
        return calls::debug_logging(comp, "fmi3SetDebugLogging", loggingOn, nCategories, categories);
    });
}

fmi3Instance fmi3InstantiateModelExchange(fmi3String instanceName, fmi3String instantiationToken,
                                          fmi3String resourcePath, fmi3Boolean visible, fmi3Boolean loggingOn,
                                          fmi3InstanceEnvironment instanceEnvironment,
                                          fmi3LogMessageCallback logMessage) {
    (void)visible;
    return instantiate("fmi3InstantiateModelExchange", instanceName, instantiationToken, resourcePath, loggingOn,
                       instanceEnvironment, logMessage, Interface::ModelExchange, nullptr);
}

fmi3Instance fmi3InstantiateCoSimulation(fmi3String instanceName, fmi3String instantiationToken,
                                         fmi3String resourcePath, fmi3Boolean visible, fmi3Boolean loggingOn,
                                         fmi3Boolean eventModeUsed, fmi3Boolean earlyReturnAllowed,
                                         const fmi3ValueReference requiredIntermediateVariables[],
                                         size_t nRequiredIntermediateVariables,
                                         fmi3InstanceEnvironment instanceEnvironment, fmi3LogMessageCallback logMessage,
                                         fmi3IntermediateUpdateCallback intermediateUpdate) {
    (void)visible;
    (void)earlyReturnAllowed;  // a step never returns early
    (void)requiredIntermediateVariables;
    (void)intermediateUpdate;
    const char* refusal = nullptr;
    if (eventModeUsed) refusal = "this FMU has no event mode in Co-Simulation (hasEventMode is false)";
    if (nRequiredIntermediateVariables > 0)
        refusal = "no variable is updated inside a step: intermediate variables cannot be required";
    return instantiate("fmi3InstantiateCoSimulation", instanceName, instantiationToken, resourcePath, loggingOn,
                       instanceEnvironment, logMessage, Interface::CoSimulation, refusal);
}

fmi3Instance fmi3InstantiateScheduledExecution(fmi3String instanceName, fmi3String instantiationToken,
                                               fmi3String resourcePath, fmi3Boolean visible, fmi3Boolean loggingOn,
                                               fmi3InstanceEnvironment instanceEnvironment,
                                               fmi3LogMessageCallback logMessage, fmi3ClockUpdateCallback clockUpdate,
                                               fmi3LockPreemptionCallback lockPreemption,
                                               fmi3UnlockPreemptionCallback unlockPreemption) {
    (void)instanceName;
    (void)instantiationToken;
    (void)resourcePath;
    (void)visible;
    (void)loggingOn;
    (void)clockUpdate;
    (void)lockPreemption;
    (void)unlockPreemption;
    if (logMessage)
        logMessage(instanceEnvironment, fmi3Error, "logStatusError",
                   "fmi3InstantiateScheduledExecution: this FMU offers Model Exchange and Co-Simulation only");
    return nullptr;
}

void fmi3FreeInstance(fmi3Instance c) { live.remove(c); }

fmi3Status fmi3EnterInitializationMode(fmi3Instance c, fmi3Boolean toleranceDefined, fmi3Float64 tolerance,
                                       fmi3Float64 startTime, fmi3Boolean stopTimeDefined, fmi3Float64 stopTime) {
    return guarded(c, "fmi3EnterInitializationMode", [&](Component& comp) {
        const char* fn = "fmi3EnterInitializationMode";
        if (!comp.allowed(fn, {Phase::Instantiated})) return fmi3Error;
        if (toleranceDefined && !(std::isfinite(tolerance) && tolerance >= 0.0))
            return comp.error(fn, "the tolerance " + zarel::format_number(tolerance) +
                                      " is not a finite non-negative number");
        if (!std::isfinite(startTime))
            return comp.error(fn, "the start time " + zarel::format_number(startTime) + " is not finite");
        if (stopTimeDefined && !(stopTime >= startTime))
            return comp.error(fn, "the stop time " + zarel::format_number(stopTime) + " is before the start time " +
                                      zarel::format_number(startTime));
        // the importer's tolerance is the relative tolerance of the communication step's method
        if (toleranceDefined) comp.inst->settings.options.rtol = tolerance;
        comp.inst->t = startTime;
        comp.inst->changed();
        comp.phase = Phase::Initialization;
        return fmi3OK;
    });
}

fmi3Status fmi3ExitInitializationMode(fmi3Instance c) {
    return guarded(c, "fmi3ExitInitializationMode", [&](Component& comp) {
        if (!comp.allowed("fmi3ExitInitializationMode", {Phase::Initialization})) return fmi3Error;
        comp.phase = comp.interface == Interface::ModelExchange ? Phase::Event : Phase::Step;
        return fmi3OK;
    });
}

fmi3Status fmi3EnterEventMode(fmi3Instance c) {
    return guarded(c, "fmi3EnterEventMode", [&](Component& comp) {
        if (!comp.of("fmi3EnterEventMode", Interface::ModelExchange) ||
            !comp.allowed("fmi3EnterEventMode", {Phase::Continuous, Phase::Event}))
            return fmi3Error;
        comp.phase = Phase::Event;
        return fmi3OK;
    });
}

fmi3Status fmi3Terminate(fmi3Instance c) {
    return guarded(c, "fmi3Terminate", [&](Component& comp) {
        if (!comp.allowed("fmi3Terminate", {Phase::Event, Phase::Continuous, Phase::Step, Phase::StepFailed}))
            return fmi3Error;
        comp.phase = Phase::Terminated;
        return fmi3OK;
    });
}

fmi3Status fmi3Reset(fmi3Instance c) {
    return guarded(c, "fmi3Reset", [&](Component& comp) {
        comp.inst->reset();
        comp.phase = Phase::Instantiated;
        return fmi3OK;
    });
}

fmi3Status fmi3GetFloat64(fmi3Instance c, const fmi3ValueReference valueReferences[], size_t nValueReferences,
                          fmi3Float64 values[], size_t nValues) {
    return guarded(c, "fmi3GetFloat64", [&](Component& comp) {
        const char* fn = "fmi3GetFloat64";
        if (!arrays(comp, fn, valueReferences, nValueReferences, values, nValues)) return fmi3Error;
        Instance& inst = *comp.inst;
        for (std::size_t k = 0; k < nValueReferences; ++k) {
            if (valueReferences[k] == time_reference(inst.layout)) {
                values[k] = inst.t;
                continue;
            }
            Layout::Kind kind;
            std::size_t index;
            if (!variable(comp, fn, valueReferences[k], kind, index)) return fmi3Error;
            values[k] = inst.value(kind, index);
        }
        return fmi3OK;
    });
}

fmi3Status fmi3SetFloat64(fmi3Instance c, const fmi3ValueReference valueReferences[], size_t nValueReferences,
                          const fmi3Float64 values[], size_t nValues) {
    return guarded(c, "fmi3SetFloat64", [&](Component& comp) {
        const char* fn = "fmi3SetFloat64";
        if (!arrays(comp, fn, valueReferences, nValueReferences, values, nValues)) return fmi3Error;
        Instance& inst = *comp.inst;
        // every value is checked before any is written: a refused call changes nothing
        for (std::size_t k = 0; k < nValueReferences; ++k) {
            const fmi3ValueReference vr = valueReferences[k];
            if (vr == time_reference(inst.layout))
                return comp.error(fn, "the value reference " + std::to_string(vr) +
                                          " is the time, which moves by fmi3SetTime and fmi3DoStep");
            Layout::Kind kind;
            std::size_t index;
            if (!variable(comp, fn, vr, kind, index)) return fmi3Error;
            if (!settable(comp, kind))
                return comp.error(fn, "the value reference " + std::to_string(vr) + " is " + kind_name(kind) +
                                          ", which cannot be set in " + phase_name(comp.phase));
            if (!std::isfinite(values[k]))
                return comp.error(fn, "the value " + zarel::format_number(values[k]) + " for " + kind_name(kind) +
                                          " (value reference " + std::to_string(vr) + ") is not finite");
        }
        for (std::size_t k = 0; k < nValueReferences; ++k) {
            Layout::Kind kind;
            std::size_t index;
            inst.layout.find(valueReferences[k], kind, index);
            if (kind == Layout::Kind::State) inst.x[index] = values[k];
            if (kind == Layout::Kind::Input) inst.u[index] = values[k];
            if (kind == Layout::Kind::Param) inst.params[index] = values[k];
        }
        if (nValueReferences > 0) inst.changed();
        return fmi3OK;
    });
}

// The model has Float64 variables only.
#define ZAREL_NO_VARIABLES(function, type, constness)                                                              \
    fmi3Status function(fmi3Instance c, const fmi3ValueReference vr[], size_t nvr, constness type values[],       \
                        size_t nValues) {                                                                          \
        return guarded(c, #function, [&](Component& comp) {                                                        \
            if (!arrays(comp, #function, vr, nvr, values, nValues)) return fmi3Error;                              \
            if (nvr == 0) return fmi3OK;                                                                           \
            return comp.error(#function, "the value reference " + std::to_string(vr[0]) + " is no " #type          \
                                         " variable: this model has Float64 variables only");                      \
        });                                                                                                        \
    }
ZAREL_NO_VARIABLES(fmi3GetFloat32, fmi3Float32, )
ZAREL_NO_VARIABLES(fmi3GetInt8, fmi3Int8, )
ZAREL_NO_VARIABLES(fmi3GetUInt8, fmi3UInt8, )
ZAREL_NO_VARIABLES(fmi3GetInt16, fmi3Int16, )
ZAREL_NO_VARIABLES(fmi3GetUInt16, fmi3UInt16, )
ZAREL_NO_VARIABLES(fmi3GetInt32, fmi3Int32, )
ZAREL_NO_VARIABLES(fmi3GetUInt32, fmi3UInt32, )
ZAREL_NO_VARIABLES(fmi3GetInt64, fmi3Int64, )
ZAREL_NO_VARIABLES(fmi3GetUInt64, fmi3UInt64, )
ZAREL_NO_VARIABLES(fmi3GetBoolean, fmi3Boolean, )
ZAREL_NO_VARIABLES(fmi3GetString, fmi3String, )
ZAREL_NO_VARIABLES(fmi3SetFloat32, fmi3Float32, const)
ZAREL_NO_VARIABLES(fmi3SetInt8, fmi3Int8, const)
ZAREL_NO_VARIABLES(fmi3SetUInt8, fmi3UInt8, const)
ZAREL_NO_VARIABLES(fmi3SetInt16, fmi3Int16, const)
ZAREL_NO_VARIABLES(fmi3SetUInt16, fmi3UInt16, const)
ZAREL_NO_VARIABLES(fmi3SetInt32, fmi3Int32, const)
ZAREL_NO_VARIABLES(fmi3SetUInt32, fmi3UInt32, const)
ZAREL_NO_VARIABLES(fmi3SetInt64, fmi3Int64, const)
ZAREL_NO_VARIABLES(fmi3SetUInt64, fmi3UInt64, const)
ZAREL_NO_VARIABLES(fmi3SetBoolean, fmi3Boolean, const)
ZAREL_NO_VARIABLES(fmi3SetString, fmi3String, const)
#undef ZAREL_NO_VARIABLES

fmi3Status fmi3GetBinary(fmi3Instance c, const fmi3ValueReference valueReferences[], size_t nValueReferences,
                         size_t valueSizes[], fmi3Binary values[], size_t nValues) {
    (void)valueSizes;
    return guarded(c, "fmi3GetBinary", [&](Component& comp) {
        if (!arrays(comp, "fmi3GetBinary", valueReferences, nValueReferences, values, nValues)) return fmi3Error;
        if (nValueReferences == 0) return fmi3OK;
        return comp.error("fmi3GetBinary", "the value reference " + std::to_string(valueReferences[0]) +
                                               " is no Binary variable: this model has Float64 variables only");
    });
}

fmi3Status fmi3SetBinary(fmi3Instance c, const fmi3ValueReference valueReferences[], size_t nValueReferences,
                         const size_t valueSizes[], const fmi3Binary values[], size_t nValues) {
    (void)valueSizes;
    return guarded(c, "fmi3SetBinary", [&](Component& comp) {
        if (!arrays(comp, "fmi3SetBinary", valueReferences, nValueReferences, values, nValues)) return fmi3Error;
        if (nValueReferences == 0) return fmi3OK;
        return comp.error("fmi3SetBinary", "the value reference " + std::to_string(valueReferences[0]) +
                                               " is no Binary variable: this model has Float64 variables only");
    });
}

// The model has no clocks: every function of clocks, their intervals and shifts refuses.
#define ZAREL_NO_CLOCKS(function, ...)                                                                             \
    fmi3Status function(fmi3Instance c, const fmi3ValueReference valueReferences[], size_t nValueReferences,       \
                        __VA_ARGS__) {                                                                             \
        (void)valueReferences;                                                                                     \
        (void)nValueReferences;                                                                                    \
        return guarded(c, #function, [&](Component& comp) {                                                        \
            return comp.error(#function, "this model has no clocks");                                              \
        });                                                                                                        \
    }
ZAREL_NO_CLOCKS(fmi3GetClock, fmi3Clock*)
ZAREL_NO_CLOCKS(fmi3SetClock, const fmi3Clock*)
ZAREL_NO_CLOCKS(fmi3GetIntervalDecimal, fmi3Float64*, fmi3IntervalQualifier*)
ZAREL_NO_CLOCKS(fmi3GetIntervalFraction, fmi3UInt64*, fmi3UInt64*, fmi3IntervalQualifier*)
ZAREL_NO_CLOCKS(fmi3GetShiftDecimal, fmi3Float64*)
ZAREL_NO_CLOCKS(fmi3GetShiftFraction, fmi3UInt64*, fmi3UInt64*)
ZAREL_NO_CLOCKS(fmi3SetIntervalDecimal, const fmi3Float64*)
ZAREL_NO_CLOCKS(fmi3SetIntervalFraction, const fmi3UInt64*, const fmi3UInt64*)
ZAREL_NO_CLOCKS(fmi3SetShiftDecimal, const fmi3Float64*)
ZAREL_NO_CLOCKS(fmi3SetShiftFraction, const fmi3UInt64*, const fmi3UInt64*)
#undef ZAREL_NO_CLOCKS

fmi3Status fmi3GetNumberOfVariableDependencies(fmi3Instance c, fmi3ValueReference valueReference,
                                               size_t* nDependencies) {
    (void)valueReference;
    (void)nDependencies;
    return guarded(c, "fmi3GetNumberOfVariableDependencies", [&](Component& comp) {
        return comp.error("fmi3GetNumberOfVariableDependencies",
                          "not provided: modelDescription.xml lists every output's and derivative's dependencies");
    });
}

fmi3Status fmi3GetVariableDependencies(fmi3Instance c, fmi3ValueReference dependent,
                                       size_t elementIndicesOfDependent[], fmi3ValueReference independents[],
                                       size_t elementIndicesOfIndependents[], fmi3DependencyKind dependencyKinds[],
                                       size_t nDependencies) {
    (void)dependent;
    (void)elementIndicesOfDependent;
    (void)independents;
    (void)elementIndicesOfIndependents;
    (void)dependencyKinds;
    (void)nDependencies;
    return guarded(c, "fmi3GetVariableDependencies", [&](Component& comp) {
        return comp.error("fmi3GetVariableDependencies",
                          "not provided: modelDescription.xml lists every output's and derivative's dependencies");
    });
}

fmi3Status fmi3GetFMUState(fmi3Instance c, fmi3FMUState* FMUState) {
    return guarded(c, "fmi3GetFMUState", [&](Component& comp) { return calls::get_state(comp, "fmi3GetFMUState", FMUState); });
}

fmi3Status fmi3SetFMUState(fmi3Instance c, fmi3FMUState FMUState) {
    return guarded(c, "fmi3SetFMUState", [&](Component& comp) { return calls::set_state(comp, "fmi3SetFMUState", FMUState); });
}

fmi3Status fmi3FreeFMUState(fmi3Instance c, fmi3FMUState* FMUState) {
    return guarded(c, "fmi3FreeFMUState", [&](Component& comp) { return calls::free_state(comp, "fmi3FreeFMUState", FMUState); });
}

fmi3Status fmi3SerializedFMUStateSize(fmi3Instance c, fmi3FMUState FMUState, size_t* size) {
    return guarded(c, "fmi3SerializedFMUStateSize",
                   [&](Component& comp) { return calls::state_size(comp, "fmi3SerializedFMUStateSize", FMUState, size); });
}

fmi3Status fmi3SerializeFMUState(fmi3Instance c, fmi3FMUState FMUState, fmi3Byte serializedState[], size_t size) {
    return guarded(c, "fmi3SerializeFMUState", [&](Component& comp) {
        return calls::serialize_state(comp, "fmi3SerializeFMUState", FMUState, serializedState, size);
    });
}

fmi3Status fmi3DeserializeFMUState(fmi3Instance c, const fmi3Byte serializedState[], size_t size, fmi3FMUState* FMUState) {
    return guarded(c, "fmi3DeserializeFMUState", [&](Component& comp) {
        return calls::deserialize_state(comp, "fmi3DeserializeFMUState", serializedState, size, FMUState,
                                         static_cast<int>(Phase::Count));
    });
}

fmi3Status fmi3GetDirectionalDerivative(fmi3Instance c, const fmi3ValueReference unknowns[], size_t nUnknowns,
                                        const fmi3ValueReference knowns[], size_t nKnowns, const fmi3Float64 seed[],
                                        size_t nSeed, fmi3Float64 sensitivity[], size_t nSensitivity) {
    return guarded(c, "fmi3GetDirectionalDerivative", [&](Component& comp) {
        const char* fn = "fmi3GetDirectionalDerivative";
        if (!comp.allowed(fn, {Phase::Initialization, Phase::Event, Phase::Continuous, Phase::Step,
                               Phase::StepFailed, Phase::Terminated}))
            return fmi3Error;
        if (!arrays(comp, fn, unknowns, nUnknowns, sensitivity, nSensitivity) ||
            !arrays(comp, fn, knowns, nKnowns, seed, nSeed))
            return fmi3Error;
        if (auto st = comp.inst->directional({unknowns, nUnknowns}, {knowns, nKnowns}, seed, sensitivity); !st)
            return comp.error(fn, st.error().display());
        return fmi3OK;
    });
}

fmi3Status fmi3GetAdjointDerivative(fmi3Instance c, const fmi3ValueReference unknowns[], size_t nUnknowns,
                                    const fmi3ValueReference knowns[], size_t nKnowns, const fmi3Float64 seed[],
                                    size_t nSeed, fmi3Float64 sensitivity[], size_t nSensitivity) {
    (void)unknowns;
    (void)nUnknowns;
    (void)knowns;
    (void)nKnowns;
    (void)seed;
    (void)nSeed;
    (void)sensitivity;
    (void)nSensitivity;
    return guarded(c, "fmi3GetAdjointDerivative", [&](Component& comp) {
        return comp.error("fmi3GetAdjointDerivative",
                          "adjoint derivatives are not provided; fmi3GetDirectionalDerivative is");
    });
}

fmi3Status fmi3EnterConfigurationMode(fmi3Instance c) {
    return guarded(c, "fmi3EnterConfigurationMode", [&](Component& comp) {
        return comp.error("fmi3EnterConfigurationMode", "this model has no structural parameters to configure");
    });
}

fmi3Status fmi3ExitConfigurationMode(fmi3Instance c) {
    return guarded(c, "fmi3ExitConfigurationMode", [&](Component& comp) {
        return comp.error("fmi3ExitConfigurationMode", "this model has no structural parameters to configure");
    });
}

fmi3Status fmi3EvaluateDiscreteStates(fmi3Instance c) {
    return guarded(c, "fmi3EvaluateDiscreteStates", [&](Component& comp) {
        return comp.error("fmi3EvaluateDiscreteStates", "this model has no discrete states and no clocks");
    });
}

fmi3Status fmi3UpdateDiscreteStates(fmi3Instance c, fmi3Boolean* discreteStatesNeedUpdate,
                                    fmi3Boolean* terminateSimulation, fmi3Boolean* nominalsOfContinuousStatesChanged,
                                    fmi3Boolean* valuesOfContinuousStatesChanged, fmi3Boolean* nextEventTimeDefined,
                                    fmi3Float64* nextEventTime) {
    return guarded(c, "fmi3UpdateDiscreteStates", [&](Component& comp) {
        const char* fn = "fmi3UpdateDiscreteStates";
        if (!comp.of(fn, Interface::ModelExchange) || !comp.allowed(fn, {Phase::Event})) return fmi3Error;
        if (!discreteStatesNeedUpdate || !terminateSimulation || !nominalsOfContinuousStatesChanged ||
            !valuesOfContinuousStatesChanged || !nextEventTimeDefined || !nextEventTime)
            return comp.error(fn, "null pointer for a result");
        // no events: nothing changes, nothing is scheduled
        *discreteStatesNeedUpdate = *terminateSimulation = false;
        *nominalsOfContinuousStatesChanged = *valuesOfContinuousStatesChanged = *nextEventTimeDefined = false;
        *nextEventTime = 0.0;
        return fmi3OK;
    });
}

// Model Exchange

fmi3Status fmi3EnterContinuousTimeMode(fmi3Instance c) {
    return guarded(c, "fmi3EnterContinuousTimeMode", [&](Component& comp) {
        if (!comp.of("fmi3EnterContinuousTimeMode", Interface::ModelExchange) ||
            !comp.allowed("fmi3EnterContinuousTimeMode", {Phase::Event}))
            return fmi3Error;
        comp.phase = Phase::Continuous;
        return fmi3OK;
    });
}

fmi3Status fmi3CompletedIntegratorStep(fmi3Instance c, fmi3Boolean noSetFMUStatePriorToCurrentPoint,
                                       fmi3Boolean* enterEventMode, fmi3Boolean* terminateSimulation) {
    (void)noSetFMUStatePriorToCurrentPoint;
    return guarded(c, "fmi3CompletedIntegratorStep", [&](Component& comp) {
        const char* fn = "fmi3CompletedIntegratorStep";
        if (!comp.of(fn, Interface::ModelExchange) || !comp.allowed(fn, {Phase::Continuous})) return fmi3Error;
        if (!enterEventMode || !terminateSimulation) return comp.error(fn, "null pointer for a result");
        *enterEventMode = false;
        *terminateSimulation = false;
        return fmi3OK;
    });
}

fmi3Status fmi3SetTime(fmi3Instance c, fmi3Float64 time) {
    return guarded(c, "fmi3SetTime", [&](Component& comp) {
        if (!comp.of("fmi3SetTime", Interface::ModelExchange) ||
            !comp.allowed("fmi3SetTime", {Phase::Event, Phase::Continuous}))
            return fmi3Error;
        if (!std::isfinite(time))
            return comp.error("fmi3SetTime", "the time " + zarel::format_number(time) + " is not finite");
        comp.inst->t = time;
        comp.inst->changed();
        return fmi3OK;
    });
}

fmi3Status fmi3SetContinuousStates(fmi3Instance c, const fmi3Float64 continuousStates[], size_t nContinuousStates) {
    return guarded(c, "fmi3SetContinuousStates", [&](Component& comp) {
        const char* fn = "fmi3SetContinuousStates";
        if (!comp.of(fn, Interface::ModelExchange) || !comp.allowed(fn, {Phase::Continuous})) return fmi3Error;
        if (!states_count(comp, fn, "states", nContinuousStates, continuousStates)) return fmi3Error;
        for (std::size_t k = 0; k < nContinuousStates; ++k)
            if (!std::isfinite(continuousStates[k]))
                return comp.error(fn, "the state " + std::to_string(k) + " is " +
                                          zarel::format_number(continuousStates[k]));
        std::copy_n(continuousStates, nContinuousStates, comp.inst->x.data());
        comp.inst->changed();
        return fmi3OK;
    });
}

fmi3Status fmi3GetContinuousStateDerivatives(fmi3Instance c, fmi3Float64 derivatives[], size_t nContinuousStates) {
    return guarded(c, "fmi3GetContinuousStateDerivatives", [&](Component& comp) {
        const char* fn = "fmi3GetContinuousStateDerivatives";
        if (!comp.of(fn, Interface::ModelExchange) ||
            !comp.allowed(fn, {Phase::Initialization, Phase::Event, Phase::Continuous, Phase::Terminated}) ||
            !states_count(comp, fn, "derivatives", nContinuousStates, derivatives))
            return fmi3Error;
        comp.inst->derivatives_into(derivatives);
        return fmi3OK;
    });
}

fmi3Status fmi3GetEventIndicators(fmi3Instance c, fmi3Float64 eventIndicators[], size_t nEventIndicators) {
    (void)eventIndicators;
    return guarded(c, "fmi3GetEventIndicators", [&](Component& comp) {
        if (!comp.of("fmi3GetEventIndicators", Interface::ModelExchange)) return fmi3Error;
        if (nEventIndicators != 0)
            return comp.error("fmi3GetEventIndicators", "asked for " + std::to_string(nEventIndicators) +
                                                            " event indicators, the model has none");
        return fmi3OK;
    });
}

fmi3Status fmi3GetContinuousStates(fmi3Instance c, fmi3Float64 continuousStates[], size_t nContinuousStates) {
    return guarded(c, "fmi3GetContinuousStates", [&](Component& comp) {
        const char* fn = "fmi3GetContinuousStates";
        if (!comp.of(fn, Interface::ModelExchange) ||
            !states_count(comp, fn, "states", nContinuousStates, continuousStates))
            return fmi3Error;
        std::copy_n(comp.inst->x.data(), nContinuousStates, continuousStates);
        return fmi3OK;
    });
}

fmi3Status fmi3GetNominalsOfContinuousStates(fmi3Instance c, fmi3Float64 nominals[], size_t nContinuousStates) {
    return guarded(c, "fmi3GetNominalsOfContinuousStates", [&](Component& comp) {
        const char* fn = "fmi3GetNominalsOfContinuousStates";
        if (!comp.of(fn, Interface::ModelExchange) || !states_count(comp, fn, "nominals", nContinuousStates, nominals))
            return fmi3Error;
        std::fill_n(nominals, nContinuousStates, 1.0);
        return fmi3OK;
    });
}

fmi3Status fmi3GetNumberOfEventIndicators(fmi3Instance c, size_t* nEventIndicators) {
    return guarded(c, "fmi3GetNumberOfEventIndicators", [&](Component& comp) {
        if (!nEventIndicators) return comp.error("fmi3GetNumberOfEventIndicators", "null pointer for the number");
        *nEventIndicators = 0;
        return fmi3OK;
    });
}

fmi3Status fmi3GetNumberOfContinuousStates(fmi3Instance c, size_t* nContinuousStates) {
    return guarded(c, "fmi3GetNumberOfContinuousStates", [&](Component& comp) {
        if (!nContinuousStates) return comp.error("fmi3GetNumberOfContinuousStates", "null pointer for the number");
        *nContinuousStates = comp.inst->layout.n;
        return fmi3OK;
    });
}

// Co-Simulation

fmi3Status fmi3EnterStepMode(fmi3Instance c) {
    return guarded(c, "fmi3EnterStepMode", [&](Component& comp) {
        return comp.error("fmi3EnterStepMode",
                          "this FMU has no event mode in Co-Simulation: fmi3ExitInitializationMode enters step mode");
    });
}

fmi3Status fmi3GetOutputDerivatives(fmi3Instance c, const fmi3ValueReference valueReferences[],
                                    size_t nValueReferences, const fmi3Int32 orders[], fmi3Float64 values[],
                                    size_t nValues) {
    (void)valueReferences;
    (void)orders;
    (void)values;
    (void)nValues;
    return guarded(c, "fmi3GetOutputDerivatives", [&](Component& comp) {
        if (!comp.of("fmi3GetOutputDerivatives", Interface::CoSimulation)) return fmi3Error;
        if (nValueReferences == 0) return fmi3OK;
        return comp.error("fmi3GetOutputDerivatives", "output derivatives are not provided");
    });
}

fmi3Status fmi3DoStep(fmi3Instance c, fmi3Float64 currentCommunicationPoint, fmi3Float64 communicationStepSize,
                      fmi3Boolean noSetFMUStatePriorToCurrentPoint, fmi3Boolean* eventHandlingNeeded,
                      fmi3Boolean* terminateSimulation, fmi3Boolean* earlyReturn, fmi3Float64* lastSuccessfulTime) {
    (void)noSetFMUStatePriorToCurrentPoint;
    return guarded(c, "fmi3DoStep", [&](Component& comp) {
        const char* fn = "fmi3DoStep";
        if (!comp.of(fn, Interface::CoSimulation)) return fmi3Error;
        if (!eventHandlingNeeded || !terminateSimulation || !earlyReturn || !lastSuccessfulTime)
            return comp.error(fn, "null pointer for a result");
        Instance& inst = *comp.inst;
        // no events, never early: a step ends at its end or fails, leaving the instance where it was
        *eventHandlingNeeded = *terminateSimulation = *earlyReturn = false;
        *lastSuccessfulTime = inst.t;
        if (!comp.allowed(fn, {Phase::Step})) return fmi3Error;
        if (auto st = inst.begin_step(currentCommunicationPoint, communicationStepSize); !st)
            return comp.error(fn, st.error().display());
        *lastSuccessfulTime = inst.t;
        if (auto st = inst.step(communicationStepSize); !st) {
            comp.phase = Phase::StepFailed;
            return comp.error(fn, st.error().display());
        }
        *lastSuccessfulTime = inst.t;
        return fmi3OK;
    });
}

// Scheduled Execution

fmi3Status fmi3ActivateModelPartition(fmi3Instance c, fmi3ValueReference clockReference,
                                      fmi3Float64 activationTime) {
    (void)clockReference;
    (void)activationTime;
    return guarded(c, "fmi3ActivateModelPartition", [&](Component& comp) {
        return comp.error("fmi3ActivateModelPartition",
                          "this FMU offers Model Exchange and Co-Simulation only: no model partitions");
    });
}

}  // extern "C"
