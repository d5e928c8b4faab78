# Finds Eigen (a system installation, header only), nlohmann-json and oneTBB, installed as Python packages (nlohmann-json, tbb-devel) in the
# environment whose interpreter runs the build; a system installation is used when present.
find_package(Python 3.9 REQUIRED COMPONENTS Interpreter Development.Module)

find_package(nlohmann_json 3.10 QUIET CONFIG)
if(NOT nlohmann_json_FOUND)
  execute_process(
    COMMAND "${Python_EXECUTABLE}" -c
      "import importlib.util as u; s = u.find_spec('nlohmann_json'); print(s.submodule_search_locations[0] + '/include')"
    OUTPUT_VARIABLE ZAREL_JSON_INCLUDE OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0 OR NOT EXISTS "${ZAREL_JSON_INCLUDE}/nlohmann/json.hpp")
    message(FATAL_ERROR "nlohmann-json not found: pip install nlohmann-json")
  endif()
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
  target_include_directories(nlohmann_json::nlohmann_json SYSTEM INTERFACE "${ZAREL_JSON_INCLUDE}")
endif()

# tbb-devel installs its CMake package below the environment's data prefix; ask the installed
# distribution where that is, since build isolation puts it outside sys.prefix.
execute_process(
  COMMAND "${Python_EXECUTABLE}" -c
    "import importlib.metadata as m; print(next(str(f.locate().parent) for f in m.distribution('tbb-devel').files if f.name == 'TBBConfig.cmake'))"
  OUTPUT_VARIABLE ZAREL_TBB_DIR OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc ERROR_QUIET)
if(rc EQUAL 0 AND EXISTS "${ZAREL_TBB_DIR}/TBBConfig.cmake")
  set(TBB_DIR "${ZAREL_TBB_DIR}" CACHE PATH "" FORCE)
endif()
find_package(TBB REQUIRED COMPONENTS tbb)

# Eigen's sparse LU factors the implicit methods' large matrices; only its headers are used.
find_package(Eigen3 3.3 QUIET NO_MODULE)
if(NOT TARGET Eigen3::Eigen)
  message(FATAL_ERROR "Eigen 3.3 or later not found (Debian: apt-get install libeigen3-dev)")
endif()
