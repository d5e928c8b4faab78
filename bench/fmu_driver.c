/* A Model Exchange FMU's derivatives timed from C, with no interpreter between the caller and the
 * library: per call, fmi2GetDerivatives alone, fmi2SetContinuousStates then fmi2GetDerivatives,
 * and fmi2GetReal of no variables (the cost of entering the library and its checks).
 *
 *     fmu_driver LIBRARY RESOURCE_URI GUID N_STATES CALLS
 *
 * prints the three figures in ns per call, one line each; the states are 0.001 k for state k. */
#include <dlfcn.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "fmi2Functions.h"

static void logger(fmi2ComponentEnvironment env, fmi2String name, fmi2Status status, fmi2String category,
                   fmi2String message, ...) {
    (void)env;
    (void)status;
    (void)category;
    va_list args;
    va_start(args, message);
    fprintf(stderr, "%s: ", name);
    vfprintf(stderr, message, args);
    fputc('\n', stderr);
    va_end(args);
}

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + 1e-9 * ts.tv_nsec;
}

static void *symbol(void *lib, const char *name) {
    void *f = dlsym(lib, name);
    if (!f) {
        fprintf(stderr, "no %s in the library\n", name);
        exit(1);
    }
    return f;
}

static void check(fmi2Status status, const char *what) {
    if (status != fmi2OK) {
        fprintf(stderr, "%s returned %d\n", what, (int)status);
        exit(1);
    }
}

int main(int argc, char **argv) {
    if (argc != 6) {
        fprintf(stderr, "usage: %s LIBRARY RESOURCE_URI GUID N_STATES CALLS\n", argv[0]);
        return 2;
    }
    size_t n = (size_t)atol(argv[4]);
    long calls = atol(argv[5]);
    void *lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        fprintf(stderr, "%s\n", dlerror());
        return 1;
    }
    fmi2InstantiateTYPE *instantiate = (fmi2InstantiateTYPE *)symbol(lib, "fmi2Instantiate");
    fmi2SetupExperimentTYPE *setup = (fmi2SetupExperimentTYPE *)symbol(lib, "fmi2SetupExperiment");
    fmi2EnterInitializationModeTYPE *enter =
        (fmi2EnterInitializationModeTYPE *)symbol(lib, "fmi2EnterInitializationMode");
    fmi2ExitInitializationModeTYPE *leave = (fmi2ExitInitializationModeTYPE *)symbol(lib, "fmi2ExitInitializationMode");
    fmi2EnterContinuousTimeModeTYPE *continuous =
        (fmi2EnterContinuousTimeModeTYPE *)symbol(lib, "fmi2EnterContinuousTimeMode");
    fmi2SetContinuousStatesTYPE *set_states = (fmi2SetContinuousStatesTYPE *)symbol(lib, "fmi2SetContinuousStates");
    fmi2GetDerivativesTYPE *derivatives = (fmi2GetDerivativesTYPE *)symbol(lib, "fmi2GetDerivatives");
    fmi2GetRealTYPE *get_real = (fmi2GetRealTYPE *)symbol(lib, "fmi2GetReal");
    fmi2FreeInstanceTYPE *free_instance = (fmi2FreeInstanceTYPE *)symbol(lib, "fmi2FreeInstance");

    fmi2CallbackFunctions callbacks = {logger, calloc, free, NULL, NULL};
    fmi2Component c = instantiate("driver", fmi2ModelExchange, argv[3], argv[2], &callbacks, fmi2False, fmi2False);
    if (!c) return 1;
    check(setup(c, fmi2False, 0.0, 0.0, fmi2False, 0.0), "fmi2SetupExperiment");
    check(enter(c), "fmi2EnterInitializationMode");
    check(leave(c), "fmi2ExitInitializationMode");
    check(continuous(c), "fmi2EnterContinuousTimeMode");
    double *x = malloc(n * sizeof(double)), *dx = malloc(n * sizeof(double));
    for (size_t k = 0; k < n; ++k) x[k] = 1e-3 * (double)k;
    check(set_states(c, x, n), "fmi2SetContinuousStates");

    double sink = 0.0, none = 0.0;
    fmi2ValueReference no_reference = 0;
    double start = now();
    for (long i = 0; i < calls; ++i) {
        derivatives(c, dx, n);
        sink += dx[n - 1];
    }
    double get_only = (now() - start) / calls;
    start = now();
    for (long i = 0; i < calls; ++i) {
        set_states(c, x, n);
        derivatives(c, dx, n);
        sink += dx[n - 1];
    }
    double set_and_get = (now() - start) / calls;
    start = now();
    for (long i = 0; i < calls; ++i) get_real(c, &no_reference, 0, &none);
    double empty = (now() - start) / calls;
    free_instance(c);
    printf("%.3f\n%.3f\n%.3f\n", get_only * 1e9, set_and_get * 1e9, empty * 1e9);
    if (sink == 42.0) fputs("", stderr); /* keeps the loops' results alive */
    free(x);
    free(dx);
    return 0;
}
