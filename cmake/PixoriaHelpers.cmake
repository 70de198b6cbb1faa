# Helpers that keep each module's CMakeLists.txt a flat list of sources,
# dependencies and tests.

# pxo_add_module(<name> SOURCES <files...> [DEPS <targets...>])
# Declares the static library pxo_<name> (alias pixoria::<name>) whose
# sources live in src/<name>/. Headers are included as "<name>/file.h".
function(pxo_add_module name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(pxo_${name} STATIC ${ARG_SOURCES})
  add_library(pixoria::${name} ALIAS pxo_${name})
  target_include_directories(pxo_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(pxo_${name} PUBLIC ${ARG_DEPS})
endfunction()

# pxo_add_test(<module> <name> [REALTIME] [LOCK <resource>] [DEPS <targets...>])
# Builds tests/<module>/<name>.cpp against pxo_<module> and registers each
# GoogleTest case with CTest as "<module>/<Suite>.<Case>".
function(pxo_add_test module name)
  cmake_parse_arguments(ARG "REALTIME" "LOCK" "DEPS" ${ARGN})
  set(target ${module}_${name})
  add_executable(${target} ${PROJECT_SOURCE_DIR}/tests/${module}/${name}.cpp)
  set(module_target)
  if(TARGET pxo_${module})
    set(module_target pxo_${module})
  endif()
  target_link_libraries(${target} PRIVATE ${module_target} ${ARG_DEPS}
                                          GTest::gtest_main GTest::gmock)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_compile_definitions(${target} PRIVATE
                             PXO_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  # Tests that film the virtual rig in real time run alone: a second camera
  # rendering and encoding, or another test decoding on every core, leaves
  # the camera too little of two cores to keep its frame rate (a real scan
  # does not share its machine with a second one).
  set(lock)
  # They carry the label "realtime": the quick tier and the sanitizer
  # builds leave most of them out (scripts/test.sh).
  if(ARG_REALTIME)
    set(lock RUN_SERIAL TRUE LABELS realtime)
  endif()
  # Tests that hold the same resource (a fixed port) take turns.
  if(ARG_LOCK)
    list(APPEND lock RESOURCE_LOCK ${ARG_LOCK})
  endif()
  # A cross build lists its tests when CTest runs (through the emulator),
  # not while building.
  set(discovery)
  if(CMAKE_CROSSCOMPILING)
    set(discovery DISCOVERY_MODE PRE_TEST)
  endif()
  # Restore records go to a state folder of the build's, never the user's.
  gtest_discover_tests(${target}
    TEST_PREFIX "${module}/"
    DISCOVERY_TIMEOUT 60
    ${discovery}
    PROPERTIES TIMEOUT 300 ${lock}
      ENVIRONMENT "XDG_STATE_HOME=${CMAKE_BINARY_DIR}/test-state")
endfunction()

# pxo_add_bench(<name> [DEPS <targets...>])
function(pxo_add_bench name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  add_executable(bench_${name} ${PROJECT_SOURCE_DIR}/bench/${name}.cpp)
  target_link_libraries(bench_${name} PRIVATE ${ARG_DEPS}
                                              benchmark::benchmark_main)
endfunction()

# pxo_add_fuzzer(<name> [DEPS <targets...>])
function(pxo_add_fuzzer name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  add_executable(fuzz_${name} ${PROJECT_SOURCE_DIR}/fuzz/${name}.cpp)
  target_compile_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(fuzz_${name} PRIVATE ${ARG_DEPS})
endfunction()

# pxo_add_version_resource(<target> <file name> <description> <VFT_DLL|VFT_APP>)
# Windows: a VERSIONINFO resource with the product name and version.
function(pxo_add_version_resource target file description type)
  set(PXO_RC_NAME "${file}")
  set(PXO_RC_DESCRIPTION "${description}")
  set(PXO_RC_FILETYPE "${type}")
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
